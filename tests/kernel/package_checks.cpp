// The Debian package on a real system: dpkg installs it, the helper it installs does its job
// from /usr/bin, its maintainer scripts have a running udev apply the rule (and cope without
// one) and enable the uinput broker's socket, and removing and purging it leave behind nothing
// it touched. The machine's root is an
// overlay in memory, so installing here changes nothing outside it.
#include "KernelSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

using namespace kcheck;
using Frames = std::vector<Frame>;

namespace {

namespace fs = std::filesystem;
using Listing = std::map<std::string, std::set<std::string>>;

const std::string kDeb = CORVASSEL_DEB;
const std::string kDpkgInfo = "/var/lib/dpkg/info";
const char *const kSocketEnabled =
    "/etc/systemd/system/sockets.target.wants/corvassel-uinputd.socket";

// The folders the package's entries sit in, and dpkg's own record of packages. The root folder
// is left out: the package puts nothing there but /usr, and the host's root, which this
// machine sees live, may gain entries from others meanwhile.
std::set<std::string> TouchedFolders() {
  std::set<std::string> folders = {kDpkgInfo};
  std::istringstream names(ShellOutput("dpkg-deb --fsys-tarfile " + kDeb + " | tar -t"));
  for (std::string name; std::getline(names, name);) {
    fs::path path = fs::path("/") / fs::path(name).lexically_normal();
    if (path.filename().empty()) path = path.parent_path();  // a folder's entry ends in a slash
    if (path.has_parent_path() && path.parent_path() != "/")
      folders.insert(path.parent_path().string());
  }
  return folders;
}

// What each folder holds (nothing for a folder that does not exist).
Listing List(const std::set<std::string> &folders) {
  Listing listing;
  for (const std::string &folder : folders) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
      listing[folder].insert(it->path().filename().string());
  }
  return listing;
}

// What differs between two listings: "+path" for an entry gained, "-path" for one lost; a folder
// left out is not compared.
std::vector<std::string> Changes(const Listing &before, const Listing &after,
                                 const std::string &leftOut = "") {
  std::vector<std::string> changes;
  auto add = [&](const Listing &from, const Listing &against, const char *sign) {
    for (const auto &[folder, names] : from) {
      if (folder == leftOut) continue;
      const auto other = against.find(folder);
      for (const std::string &name : names)
        if (other == against.end() || !other->second.count(name))
          changes.push_back(sign + (fs::path(folder) / name).string());
    }
  };
  add(after, before, "+");
  add(before, after, "-");
  return changes;
}

// Whether udev's current view of the node carries the tag.
bool Tagged(const std::string &node, const std::string &tag) {
  std::istringstream lines(ShellOutput("udevadm info -q property -n " + node + " 2>/dev/null"));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("CURRENT_TAGS=", 0) == 0) return line.find(":" + tag + ":") != std::string::npos;
  return false;
}

int Dpkg(const std::string &args, std::string *log) {
  const std::string out = "/tmp/corvassel-dpkg.log";
  // Without triggers: man-db would index every manual page here, over 9p, for minutes.
  const int status = Shell("dpkg --no-triggers " + args + " >" + out + " 2>&1");
  *log = ReadFile(out);
  return status;
}

// In a container or a chroot no udev runs: installing and removing go on, quietly but for the
// one line of a first install that says where the next steps are.
TEST(Package, TheMaintainerScriptsSucceedQuietlyWithoutUdev) {
  ASSERT_EQ(access(kDeb.c_str(), R_OK), 0)
      << kDeb << " is missing: `ctest --preset default -R package` makes it";
  Home scratch;
  const std::string control = scratch.path() + "/control";
  ASSERT_EQ(Shell("dpkg-deb -e " + kDeb + " " + control), 0);
  StopUdev();
  // The broker's socket is enabled by deb-systemd-helper, which the real installation below
  // runs; here it does nothing, being slow under emulation and needing dpkg around it.
  WriteFile(scratch.path() + "/bin/deb-systemd-helper", "#!/bin/sh\nexit 0\n", 0755);
  const std::pair<const char *, const char *> runs[] = {
      {"postinst configure",
       "corvassel-helper: next, the first-run steps in /usr/share/doc/corvassel-helper/README.md; "
       "'corvassel-prefs doctor' says what is missing.\n"},
      {"postinst configure 0.0.9", ""},  // an upgrade
      {"prerm remove", ""},
      {"postrm remove", ""},
      {"postrm purge", ""},
  };
  for (const auto &[run, says] : runs) {
    SCOPED_TRACE(run);
    const std::string out = scratch.path() + "/out";
    EXPECT_EQ(Shell("PATH=" + scratch.path() + "/bin:$PATH " + control + "/" + run + " >" + out +
                    " 2>&1"),
              0);
    EXPECT_EQ(ReadFile(out), says);
  }
  // What the line points to is in the package.
  EXPECT_EQ(
      Shell("dpkg-deb -c " + kDeb + " | grep -q ' ./usr/share/doc/corvassel-helper/README.md$'"),
      0);
}

TEST(Package, InstallsAHelperThatClicksBackAndRemovesWithoutATrace) {
  ASSERT_EQ(access(kDeb.c_str(), R_OK), 0)
      << kDeb << " is missing: `ctest --preset default -R package` makes it";
  const std::set<std::string> folders = TouchedFolders();
  ASSERT_TRUE(folders.count("/usr/bin")) << "no executables in the package";
  StartUdev();
  const Listing before = List(folders);
  SourceDevice mouse("check mouse");
  Shell("udevadm settle -t 20");
  ASSERT_FALSE(Tagged(mouse.node(), "uaccess"));

  std::string log;
  ASSERT_EQ(Dpkg("-i " + kDeb, &log), 0) << log;
  Shell("udevadm settle -t 20");
  EXPECT_TRUE(Tagged(mouse.node(), "uaccess")) << "the rule was not applied on install";
  EXPECT_TRUE(fs::is_symlink(kSocketEnabled)) << "the broker's socket is not enabled";
  {
    Home home;
    Helper::Options installed;
    installed.exe = "/usr/bin/corvassel-helper";
    Running run(home, {&mouse}, installed);
    Reader out(run.output(mouse));
    mouse.press(BTN_BACK);
    EXPECT_EQ(out.waitFrames(2), (Frames{{Key(BTN_SIDE, 1)}, {Key(BTN_SIDE, 0)}}));
    mouse.release(BTN_BACK);
    EXPECT_EQ(out.frames(), Frames{});
  }

  ASSERT_EQ(Dpkg("-r corvassel-helper", &log), 0) << log;
  // dpkg keeps the removal script for the purge; nothing else may remain.
  EXPECT_EQ(Changes(before, List(folders), kDpkgInfo), std::vector<std::string>{});
  Shell("udevadm settle -t 20");
  EXPECT_FALSE(Tagged(mouse.node(), "uaccess")) << "the rule still applies after removal";
  ASSERT_EQ(Dpkg("-P corvassel-helper", &log), 0) << log;
  EXPECT_EQ(Changes(before, List(folders)), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(fs::symlink_status(kSocketEnabled))) << "the socket's enabling remains";
}

}  // namespace
