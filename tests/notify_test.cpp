// Distributed notifications on a real D-Bus session bus, a private one each suite starts for
// itself, posted from this process and from stock command-line tools.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <platform/Backend.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HostileSupport.h"
#include "PrefsTestSupport.h"
#include "SystemBus.h"
#include "TestBackend.h"
#include "cf/CFRuntime.h"
#include "helper/CorvasselHelper.h"
#include "linux/system/SessionBus.h"
#include "remap/Remap.h"

extern char **environ;

namespace {

const std::thread::id gMainThread = std::this_thread::get_id();

// A name no other test process on the shared bus will post.
std::string UniqueName(const std::string &tag) {
  return "org.corvassel.test." + tag + "." + std::to_string(getpid());
}

CFStringRef MakeString(const std::string &bytes) {
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(bytes.data()),
                                 static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8, false);
}

// Runs argv to completion; returns its exit status (-1 when it could not be run).
int RunTool(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// What one observer saw.
struct Seen {
  std::vector<std::string> names;
  bool allOnMainThread = true;
  std::function<void(const std::string &)> also;  // runs inside the callback
};

void Record(CFNotificationCenterRef, void *observer, CFNotificationName name, const void *,
            CFDictionaryRef) {
  auto *seen = static_cast<Seen *>(observer);
  seen->names.push_back(platform::StringBytes(name));
  if (std::this_thread::get_id() != gMainThread) seen->allOnMainThread = false;
  if (seen->also) seen->also(seen->names.back());
}

CFNotificationCenterRef Center() {
  return CFNotificationCenterGetDistributedCenter();
}

void Observe(Seen &seen, const std::optional<std::string> &name, const void *object = nullptr) {
  CFStringRef cfName = name ? MakeString(*name) : nullptr;
  CFNotificationCenterAddObserver(Center(), &seen, Record, cfName, object,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  if (cfName) CFRelease(cfName);
}

void Post(const std::string &name) {
  CFStringRef cfName = MakeString(name);
  CFNotificationCenterPostNotification(Center(), cfName, nullptr, nullptr, true);
  CFRelease(cfName);
}

// Whether this machine has a bus daemon to start a private bus with.
bool HaveBusDaemon() {
  return access("/usr/bin/dbus-daemon", X_OK) == 0;
}

// Every test of the suite on a session bus of the suite's own, which the stock tools and the
// test's connection (the user's bus, as the helper finds it) find through
// DBUS_SESSION_BUS_ADDRESS.
class DistributedNotifications : public ::testing::Test {
 protected:
  DistributedNotifications() { backend.transport = &transport; }
  static void SetUpTestSuite() {
    address_ = std::make_unique<EnvGuard>("DBUS_SESSION_BUS_ADDRESS");
    if (!HaveBusDaemon()) return;
    bus_ = std::make_unique<kcheck::SystemBus>(false);
    setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
  }
  static void TearDownTestSuite() {
    bus_.reset();
    address_.reset();
  }
  void SetUp() override {
    if (!HaveBusDaemon()) GTEST_SKIP() << "dbus-daemon is not installed";
    ASSERT_TRUE(bus_->ready()) << "dbus-daemon did not start";
  }

  // Serves the bus, and the main run loop it hands notifications to, until done() holds; gives
  // up after about ten seconds.
  bool PumpUntil(const std::function<bool()> &done) {
    for (int round = 0; round < 200 && !done(); round++) {
      transport.dispatchPending(50);
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    }
    return done();
  }

  platform::SessionBusTransport transport;  // the user's session bus: the suite's
  TestBackend backend;

 private:
  static inline std::unique_ptr<EnvGuard> address_;
  static inline std::unique_ptr<kcheck::SystemBus> bus_;  // a private bus, whatever its name
};

// The one-liners a user (or a preference pane) would type, NAME standing for the name.
TEST_F(DistributedNotifications, PostedByStockToolsReachObserversOnMainThread) {
  const std::vector<std::vector<std::string>> tools = {
      {"dbus-send", "--session", "--type=signal", "/org/corvassel/DistributedNotifications",
       "org.corvassel.DistributedNotifications.Posted", "string:NAME"},
      {"busctl", "--user", "emit", "/org/corvassel/DistributedNotifications",
       "org.corvassel.DistributedNotifications", "Posted", "s", "NAME"},
      {"gdbus", "emit", "--session", "--object-path", "/org/corvassel/DistributedNotifications",
       "--signal", "org.corvassel.DistributedNotifications.Posted", "'NAME'"},
  };
  for (std::vector<std::string> argv : tools) {
    SCOPED_TRACE(argv[0]);
    const std::string name = UniqueName(argv[0]);
    for (std::string &arg : argv) {
      size_t at = arg.find("NAME");
      if (at != std::string::npos) arg.replace(at, 4, name);
    }
    Seen seen;
    Observe(seen, name);
    ASSERT_EQ(RunTool(argv), 0);
    EXPECT_TRUE(PumpUntil([&] { return !seen.names.empty(); }));
    EXPECT_EQ(seen.names, std::vector<std::string>{name});
    EXPECT_TRUE(seen.allOnMainThread);
    CFNotificationCenterRemoveEveryObserver(Center(), &seen);
  }
}

// What corvassel-prefs does: a process that never listens posts once and exits at once.
TEST_F(DistributedNotifications, PostedByAShortLivedPosterArrives) {
  const std::string name = UniqueName("short_lived");
  Seen seen;
  Observe(seen, name);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::SessionBusTransport transport;  // its own connection, as a new process has
    transport.post(name);
    _exit(0);  // no destructors: the post alone must have sent it
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(PumpUntil([&] { return !seen.names.empty(); }));
  EXPECT_EQ(seen.names, std::vector<std::string>{name});
  CFNotificationCenterRemoveEveryObserver(Center(), &seen);
}

// Which of the posts "a", "b" (and a name "a\0b" that must not pass for "a") an observer gets.
struct SelectionCase {
  const char *label;
  std::optional<std::string> observed;  // nullopt: every name
  bool withObject;                      // an object filter; posts from the bus carry none
  // What the test does to the observer after adding it; prefix is that of the posted names.
  std::function<void(Seen &, const std::string &prefix)> afterwards;
  std::vector<std::string> expected;
};

void RemoveNamed(Seen &seen, const std::string &name) {
  CFStringRef cfName = MakeString(name);
  CFNotificationCenterRemoveObserver(Center(), &seen, cfName, nullptr);
  CFRelease(cfName);
}

TEST_F(DistributedNotifications, OnlyMatchingLiveObserversAreCalled) {
  const SelectionCase cases[] = {
      {"one_name", "a", false, nullptr, {"a"}},
      {"every_name", std::nullopt, false, nullptr, {"a", "b", "end"}},
      {"object_filter", "a", true, nullptr, {}},
      {"removed_by_name",
       "a",
       false,
       [](Seen &seen, const std::string &prefix) { RemoveNamed(seen, prefix + "a"); },
       {}},
      {"other_name_removed",
       "a",
       false,
       [](Seen &seen, const std::string &prefix) { RemoveNamed(seen, prefix + "b"); },
       {"a"}},
      {"removed_any_name",
       "a",
       false,
       [](Seen &seen, const std::string &) {
         CFNotificationCenterRemoveObserver(Center(), &seen, nullptr, nullptr);
       },
       {}},
      {"removed_every",
       "a",
       false,
       [](Seen &seen, const std::string &) {
         CFNotificationCenterRemoveEveryObserver(Center(), &seen);
       },
       {}},
      {"added_twice",
       "a",
       false,
       [](Seen &seen, const std::string &prefix) { Observe(seen, prefix + "a"); },
       {"a"}},
  };
  static int anObject;
  for (const SelectionCase &c : cases) {
    SCOPED_TRACE(c.label);
    const std::string prefix = UniqueName(c.label) + ".";
    Seen seen;
    Observe(seen, c.observed ? std::optional(prefix + *c.observed) : std::nullopt,
            c.withObject ? &anObject : nullptr);
    if (c.afterwards) c.afterwards(seen, prefix);

    // Posts from one connection arrive in order: once the last is seen, all have been handled.
    Seen sentinel;
    Observe(sentinel, prefix + "end");
    long before = platform::liveObjectCount();
    Post(prefix + "a");
    Post(prefix + "b");
    Post(prefix + std::string("a\0b", 3));
    Post(prefix + "end");
    ASSERT_TRUE(PumpUntil([&] { return !sentinel.names.empty(); }));

    std::vector<std::string> expected, ours;
    for (const std::string &name : c.expected) expected.push_back(prefix + name);
    // Other test processes share the bus; an observer of every name hears them too.
    for (const std::string &name : seen.names)
      if (name.rfind(prefix, 0) == 0) ours.push_back(name);
    EXPECT_EQ(ours, expected);
    EXPECT_TRUE(seen.allOnMainThread);
    EXPECT_EQ(platform::liveObjectCount(), before);  // each name handed to a callback is released
    CFNotificationCenterRemoveEveryObserver(Center(), &seen);
    CFNotificationCenterRemoveEveryObserver(Center(), &sentinel);
  }
}

TEST_F(DistributedNotifications, ObserversChangedDuringDeliveryAreHonoured) {
  const std::string first = UniqueName("during") + ".first";
  const std::string second = UniqueName("during") + ".second";
  Seen removesOther, removed, removesItself, addsLate, late;
  removesOther.also = [&](const std::string &) {
    CFNotificationCenterRemoveEveryObserver(Center(), &removed);
  };
  removesItself.also = [&](const std::string &) {
    CFNotificationCenterRemoveEveryObserver(Center(), &removesItself);
  };
  addsLate.also = [&](const std::string &name) {
    if (name == first) Observe(late, first);
  };
  for (Seen *seen : {&removesOther, &removed, &removesItself, &addsLate}) Observe(*seen, first);
  Seen sentinel;
  Observe(sentinel, second);

  Post(first);
  ASSERT_TRUE(PumpUntil([&] { return !removesOther.names.empty(); }));
  Post(first);
  Post(second);
  ASSERT_TRUE(PumpUntil([&] { return !sentinel.names.empty(); }));

  EXPECT_EQ(removesOther.names.size(), 2u);
  EXPECT_EQ(removed.names.size(), 0u);  // removed before its turn
  EXPECT_EQ(removesItself.names.size(), 1u);
  EXPECT_EQ(addsLate.names.size(), 2u);
  // Added during the first delivery (not called for it), then once more during the second:
  // one registration, one call.
  EXPECT_EQ(late.names.size(), 1u);
  for (Seen *seen : {&removesOther, &addsLate, &late, &sentinel})
    CFNotificationCenterRemoveEveryObserver(Center(), seen);
}

TEST_F(DistributedNotifications, NamesWaitingForTheMainThreadAreDeliveredOnceEach) {
  const std::string name = UniqueName("burst"), other = UniqueName("burst") + ".other";
  Seen seen;
  Observe(seen, std::nullopt);
  for (int i = 0; i < 50; ++i) Post(i == 25 ? other : name);
  // Every post has arrived before the main thread has its turn: one delivery per name.
  int arrived = 0;
  for (int round = 0; round < 200 && arrived < 50; ++round)
    arrived += transport.dispatchPending(50);
  ASSERT_EQ(arrived, 50);
  EXPECT_TRUE(seen.names.empty()) << "only on the main thread's turn";
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
  EXPECT_EQ(seen.names, (std::vector<std::string>{name, other}));
  CFNotificationCenterRemoveEveryObserver(Center(), &seen);
}

// ---- The transport on its own: no bus, a bus that dies, descriptors ----

TEST(SessionBusTransport, WithoutABusCarriesOnWithoutNotifications) {
  EnvGuard address("DBUS_SESSION_BUS_ADDRESS"), runtime("XDG_RUNTIME_DIR");
  ScratchHome scratch;
  const std::string emptyDir = scratch.root.string();
  ASSERT_FALSE(emptyDir.empty());
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  setenv("XDG_RUNTIME_DIR", emptyDir.c_str(), 1);
  // Empty: the user's session bus, looked up in an environment that has none.
  for (const std::string addressOfBus : {"", "unix:path=/nonexistent/corvassel/bus", "nonsense"}) {
    SCOPED_TRACE(addressOfBus);
    platform::SessionBusTransport transport(addressOfBus);
    int delivered = 0;
    transport.start([&](const std::string &) { delivered++; });
    transport.post("x");
    transport.post("y");
    EXPECT_EQ(transport.dispatchPending(0), 0);
    EXPECT_FALSE(transport.connected());
    EXPECT_EQ(delivered, 0);
  }
}

TEST(SessionBusTransport, ServedByTheMainRunLoopUntilTheBusGoesAway) {
  TestBackend backend;
  if (!HaveBusDaemon()) GTEST_SKIP() << "dbus-daemon is not installed";
  auto bus = std::make_unique<kcheck::SystemBus>(false);
  ASSERT_TRUE(bus->ready()) << "could not start dbus-daemon";
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);  // the loop's own descriptors exist now
  std::set<int> before = OpenDescriptors();
  platform::SessionBusTransport transport(bus->address());
  std::vector<std::string> delivered;
  bool allOnMainThread = true;
  transport.start([&](const std::string &name) {
    delivered.push_back(name);
    allOnMainThread = allOnMainThread && std::this_thread::get_id() == gMainThread;
  });
  ASSERT_TRUE(transport.connected());

  // Nothing this transport opened may leak into a script the helper launches.
  for (int fd : OpenDescriptors()) {
    if (!before.count(fd)) {
      EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
    }
  }

  transport.post("from.here");
  ASSERT_EQ(RunTool({"dbus-send", "--bus=" + bus->address(), "--type=signal",
                     "/org/corvassel/DistributedNotifications",
                     "org.corvassel.DistributedNotifications.Posted", "string:from.there"}),
            0);
  EXPECT_TRUE(RunMainLoopUntil([&] { return delivered.size() >= 2; }));
  EXPECT_EQ(delivered, (std::vector<std::string>{"from.here", "from.there"}));
  EXPECT_TRUE(allOnMainThread);

  bus.reset();
  EXPECT_TRUE(RunMainLoopUntil([&] { return !transport.connected(); }));
  EXPECT_EQ(transport.fileDescriptor(), -1);
  // A dead connection left in the loop would make it report ready again and again.
  uint64_t wakeups = transport.wakeups();
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false);
  EXPECT_EQ(transport.wakeups(), wakeups);
  EXPECT_EQ(transport.dispatchPending(0), 0);
  transport.post("after");  // no bus to reach: quietly nothing
  EXPECT_FALSE(transport.connected());
  EXPECT_EQ(delivered.size(), 2u);
  EXPECT_EQ(OpenDescriptors(), before);  // the connection's descriptor is closed
}

// ---- End to end: the helper reloads its settings when another process says so ----

void WritePreferences(const ScratchHome &scratch, int forwardButton) {
  WriteBytes(scratch.preferencesFile(),
             XmlDict("<key>Enabled</key><true/><key>BackButton</key><integer>0</integer>"
                     "<key>ForwardButton</key><integer>" +
                     std::to_string(forwardButton) + "</integer>"));
}

TEST_F(DistributedNotifications, HelperReloadsWhenAnotherProcessPosts) {
  ScratchHome scratch(backend);  // no system scripts either
  WritePreferences(scratch, 4);

  CFPropertyListRef stored =
      CFPreferencesCopyValue(CFSTR("ForwardButton"), kCorvasselPreferencesDomain,
                             kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  EXPECT_NE(stored, nullptr) << "the preferences reader reads the file";
  if (stored) CFRelease(stored);

  {
    CorvasselHelper helper;
    ASSERT_EQ(helper.forwardButton(), 4);
    CGEventRef press = MakeButtonEvent(kCGEventOtherMouseDown, 3);
    ASSERT_NE(press, nullptr);
    EXPECT_EQ(MouseEventCallback(nullptr, kCGEventOtherMouseDown, press, &helper), press);
    EXPECT_TRUE(backend.testInput.posted.empty());

    // The stored change alone does nothing: settings are read again only when told.
    WritePreferences(scratch, 3);
    EXPECT_EQ(MouseEventCallback(nullptr, kCGEventOtherMouseDown, press, &helper), press);
    ASSERT_EQ(RunTool({"dbus-send", "--session", "--type=signal",
                       "/org/corvassel/DistributedNotifications",
                       "org.corvassel.DistributedNotifications.Posted",
                       "string:Quendrith.tavrel.prefsChanged"}),
              0);
    // The helper's main run loop serves the bus.
    EXPECT_TRUE(RunMainLoopUntil([&] { return helper.forwardButton() == 3; }));

    // Back is unmapped, so a swallowed press with a swipe can only be the forward action.
    EXPECT_EQ(MouseEventCallback(nullptr, kCGEventOtherMouseDown, press, &helper), nullptr);
    EXPECT_EQ(backend.testInput.posted.size(), 2u);
    CFRelease(press);
    backend.testInput.clearPosted();
  }
}

}  // namespace
