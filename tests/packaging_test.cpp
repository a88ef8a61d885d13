// The systemd user unit that launches the helper at login and relaunches it after its planned
// restart.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "TestBackend.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A unit as installed, with the executable where this build put it.
std::string ConfiguredUnit(const std::string &name = "corvassel-helper.service",
                           const std::string &placeholder = "@CMAKE_INSTALL_FULL_BINDIR@",
                           const std::string &executable = CORVASSEL_HELPER_EXE) {
  std::string text = ReadFile(fs::path(CORVASSEL_SOURCE_DIR) / "packaging" / (name + ".in"));
  std::string bin = fs::path(executable).parent_path().string();
  for (size_t at; (at = text.find(placeholder)) != std::string::npos;)
    text.replace(at, placeholder.size(), bin);
  return text;
}

std::string ConfiguredBrokerService() {
  return ConfiguredUnit("corvassel-uinputd@.service", "@CMAKE_INSTALL_FULL_LIBEXECDIR@",
                        CORVASSEL_UINPUTD_EXE);
}

// section.key -> value, later assignments winning.
std::map<std::string, std::string> Parse(const std::string &unit) {
  std::map<std::string, std::string> keys;
  std::istringstream lines(unit);
  std::string line, section;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      section = line.substr(1, line.find(']') - 1);
      continue;
    }
    size_t eq = line.find('=');
    if (eq != std::string::npos) keys[section + "." + line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

std::set<std::string> Words(const std::string &list) {
  std::istringstream in(list);
  std::set<std::string> words;
  for (std::string word; in >> word;) words.insert(word);
  return words;
}

// systemd's restart rule for a main process that exited with status (or "SIGSEGV" and such).
bool Restarts(const std::map<std::string, std::string> &unit, const std::string &status) {
  auto get = [&](const std::string &key) {
    auto at = unit.find("Service." + key);
    return at == unit.end() ? std::string() : at->second;
  };
  if (Words(get("RestartForceExitStatus")).count(status)) return true;
  if (Words(get("RestartPreventExitStatus")).count(status)) return false;
  std::string restart = get("Restart");
  bool clean = status == "0" || Words(get("SuccessExitStatus")).count(status) > 0;
  if (restart == "always") return true;
  if (restart == "on-success") return clean;
  if (restart == "on-failure") return !clean;
  if (restart == "on-abnormal" || restart == "on-abort") return status.rfind("SIG", 0) == 0;
  return false;
}

TEST(Packaging, RelaunchesAfterThePlannedRestartOnly) {
  auto unit = Parse(ConfiguredUnit());
  struct Case {
    const char *status;
    bool restarts;
  };
  const Case cases[] = {{"0", false}, {"42", true}, {"1", true}, {"SIGSEGV", true}};
  for (const Case &c : cases) EXPECT_EQ(Restarts(unit, c.status), c.restarts) << c.status;
  EXPECT_EQ(unit["Install.WantedBy"], "default.target");  // started at login
  EXPECT_EQ(unit["Service.ExecStart"],
            fs::path(CORVASSEL_HELPER_EXE).parent_path().string() + "/corvassel-helper");
  // systemctl --user reload: the helper reads its settings again on SIGHUP.
  EXPECT_EQ(unit["Service.ExecReload"], "/bin/kill -HUP $MAINPID");
  // Each page systemctl status points to is one this build makes.
  const std::set<std::string> pages = Words(unit["Unit.Documentation"]);
  EXPECT_TRUE(pages.count("man:corvassel-helper(1)")) << unit["Unit.Documentation"];
  for (const std::string &page : pages) {
    ASSERT_TRUE(page.starts_with("man:") && page.ends_with("(1)")) << page;
    const std::string name = page.substr(4, page.size() - 7);
    EXPECT_TRUE(fs::exists(fs::path(CORVASSEL_BINARY_DIR) / "man" / (name + ".1.gz"))) << page;
  }
}

// The unit is written when installing, for the prefix given then, and names the executable that
// install put in place; a staging DESTDIR (as when packaging) is not part of that name. The
// completions go where each shell looks under that prefix: zsh reads a package's (under /usr)
// from vendor-completions, a local install's from site-functions.
TEST(Packaging, TheInstalledUnitStartsTheInstalledHelper) {
  ScratchHome scratch;
  const fs::path dir = scratch.root;
  struct Case {
    std::string prefix;
    std::string destdir;
  };
  const Case cases[] = {{(dir / "prefix").string(), ""}, {"/usr", (dir / "staging").string()}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.prefix + " with DESTDIR " + c.destdir);
    std::string command = std::string(c.destdir.empty() ? "" : "DESTDIR=" + c.destdir + " ") +
                          CORVASSEL_CMAKE + " --install " + CORVASSEL_BINARY_DIR + " --prefix " +
                          c.prefix + " >" + (dir / "out").string() + " 2>&1";
    ASSERT_EQ(system(command.c_str()), 0) << ReadFile(dir / "out");
    const fs::path root = c.destdir.empty() ? fs::path("/") : fs::path(c.destdir);
    const fs::path prefix = root / fs::path(c.prefix).relative_path();
    const std::pair<fs::path, std::string> units[] = {
        {prefix / CORVASSEL_USER_UNIT_DIR / "corvassel-helper.service", "/bin/corvassel-helper"},
        {prefix / CORVASSEL_SYSTEM_UNIT_DIR / "corvassel-uinputd@.service",
         "/libexec/corvassel-uinputd"},
    };
    for (const auto &[unit, executable] : units) {
      const std::string exec = Parse(ReadFile(unit))["Service.ExecStart"];
      EXPECT_EQ(exec, c.prefix + executable) << unit;
      EXPECT_EQ(access((root / fs::path(exec).relative_path()).c_str(), X_OK), 0) << exec;
    }
    EXPECT_TRUE(fs::exists(prefix / CORVASSEL_SYSTEM_UNIT_DIR / "corvassel-uinputd.socket"));
    const fs::path share = prefix / "share";
    const std::string zsh = c.prefix == "/usr" ? "vendor-completions" : "site-functions";
    for (const fs::path &completion : {share / "bash-completion/completions/corvassel-prefs",
                                       share / "zsh" / zsh / "_corvassel-prefs",
                                       share / "fish/vendor_completions.d/corvassel-prefs.fish"})
      EXPECT_TRUE(fs::exists(completion)) << completion;
#ifdef CORVASSEL_SETTINGS_TOOL
    // The window as a desktop finds it.
    for (const char *file : {"applications/org.corvassel.Settings.desktop",
                             "metainfo/org.corvassel.Settings.metainfo.xml",
                             "icons/hicolor/scalable/apps/org.corvassel.Settings.svg"})
      EXPECT_TRUE(fs::is_regular_file(share / file)) << file;
    EXPECT_EQ(access((root / fs::path(c.prefix).relative_path() / "bin/corvassel-settings").c_str(),
                     X_OK),
              0);
#endif
    for (const char *rule : {"70-corvassel-uinput.rules", "61-corvassel-outputs.rules"}) {
      const fs::path installed =
          root / fs::path(c.prefix).relative_path() / "lib/udev/rules.d" / rule;
      EXPECT_EQ(ReadFile(installed), ReadFile(fs::path(CORVASSEL_SOURCE_DIR) / "packaging" / rule))
          << installed;
    }
  }
}

// The release preset, for installing and packaging, builds the programs and no tests or
// benchmarks (which would need GoogleTest and Google Benchmark to build at all). Without the
// settings window it needs no GTK either: here pkg-config finds nothing but what the helper and
// corvassel-prefs use. (With it, as packaged, the window is built.)
TEST(Packaging, TheReleasePresetBuildsNoTestsOrBenchmarks) {
  ScratchHome scratch;
  const fs::path dir = scratch.root;
  fs::create_directory(dir / "pkgconfig");
  for (const char *package : {"libplist-2.0", "libsystemd", "libevdev"}) {
    const std::string command = std::string("cp \"$(pkg-config --variable=pcfiledir ") + package +
                                ")/" + package + ".pc\" " + (dir / "pkgconfig").string();
    ASSERT_EQ(system(command.c_str()), 0) << package;
  }
  const std::string cmake = CORVASSEL_CMAKE, build = (dir / "build").string();
  const std::string command =
      "PKG_CONFIG_LIBDIR=" + (dir / "pkgconfig").string() + " PKG_CONFIG_PATH= " + cmake + " -S " +
      CORVASSEL_SOURCE_DIR + " --preset release -B " + build +
      " -DCORVASSEL_SETTINGS_WINDOW=OFF >" + (dir / "out").string() + " 2>&1 && " + cmake +
      " --build " + build + " --target help >" + (dir / "targets").string() + " 2>&1";
  ASSERT_EQ(system(command.c_str()), 0) << ReadFile(dir / "out") << ReadFile(dir / "targets");
  const std::string targets = ReadFile(dir / "targets");
  const std::pair<const char *, bool> expected[] = {
      {"corvassel-helper", true},           {"corvassel-prefs", true},
      {"corvassel-settings", false},        {"corvassel-uinputd", true},
      {"corvassel_tests", false},           {"corvassel_kernel_checks", false},
      {"corvassel_bench", false},           {"corvassel-idle-wakeups", false},
      {"corvassel-stand-in-logind", false},
  };
  for (const auto &[target, built] : expected)
    EXPECT_EQ(targets.find(std::string(" ") + target + "\n") != std::string::npos, built) << target;
}

// The window is a process of its own, and the only program that links GTK.
TEST(Packaging, OnlyTheSettingsWindowLinksGtk) {
  const std::pair<const char *, bool> programs[] = {
      {CORVASSEL_HELPER_EXE, false},
      {CORVASSEL_PREFS_TOOL, false},
#ifdef CORVASSEL_SETTINGS_TOOL
      {CORVASSEL_SETTINGS_TOOL, true},
#endif
  };
  for (const auto &[program, gtk] : programs) {
    const std::string out = "/tmp/corvassel-needed-" + std::to_string(getpid());
    const std::string command = std::string("readelf -d ") + program + " >" + out;
    ASSERT_EQ(system(command.c_str()), 0) << program;
    const std::string needed = ReadFile(out);
    fs::remove(out);
    EXPECT_NE(needed.find("(NEEDED)"), std::string::npos) << needed;
    for (const char *library : {"libgtk-4.so", "libadwaita-1.so"})
      EXPECT_EQ(needed.find(library) != std::string::npos, gtk) << program << ": " << library;
  }
}

// The helper's user unit, and the uinput broker's socket and its service (for each connection a
// sandboxed instance).
TEST(Packaging, SystemdAcceptsTheUnits) {
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  ScratchHome scratch;
  const fs::path dir = scratch.root;
  fs::create_directory(dir / "runtime");
  fs::permissions(dir / "runtime", fs::perms::owner_all);
  { std::ofstream(dir / "corvassel-helper.service") << ConfiguredUnit(); }
  { std::ofstream(dir / "corvassel-uinputd@.service") << ConfiguredBrokerService(); }
  fs::copy_file(fs::path(CORVASSEL_SOURCE_DIR) / "packaging/corvassel-uinputd.socket",
                dir / "corvassel-uinputd.socket");
  auto keys = Parse(ReadFile(dir / "corvassel-uinputd.socket"));
  EXPECT_EQ(keys["Socket.ListenSequentialPacket"], "/run/corvassel-uinputd.sock");
  EXPECT_EQ(keys["Socket.Accept"], "yes") << "an instance per connection";
  EXPECT_EQ(keys["Install.WantedBy"], "sockets.target");
  // A user manager needs a runtime directory even just to check a unit; the man pages need not
  // be installed.
  const std::string out = (dir / "out").string();
  for (const std::string &verify :
       {"XDG_RUNTIME_DIR=" + (dir / "runtime").string() + " systemd-analyze --user verify " +
            "--man=no " + (dir / "corvassel-helper.service").string(),
        "systemd-analyze verify --man=no " + (dir / "corvassel-uinputd.socket").string() + " " +
            (dir / "corvassel-uinputd@.service").string()}) {
    const int status = system((verify + " >" + out + " 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << verify << ReadFile(out);
    EXPECT_EQ(ReadFile(out), "") << verify;  // warnings about unknown or malformed settings
  }
  // How much of the system the instance is exposed to, as systemd rates it: 0 to 10.
  system(("systemd-analyze security --offline=true " +
          (dir / "corvassel-uinputd@.service").string() + " >" + out + " 2>&1")
             .c_str());
  const std::string report = ReadFile(out);
  const std::string overall = "Overall exposure level for corvassel-uinputd@i.service: ";
  const size_t at = report.find(overall);
  ASSERT_NE(at, std::string::npos) << report;
  EXPECT_LT(std::stod(report.substr(at + overall.size())), 2.0) << report;
}

}  // namespace
