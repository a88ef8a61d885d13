// The preferences reader on arbitrary files: whatever lies in the settings file, reading it
// neither crashes nor leaks, and the helper ends up with usable settings.
#include <CoreFoundation/CoreFoundation.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FuzzSupport.h"
#include "helper/CorvasselHelper.h"

namespace {

struct Fixture {
  FuzzBackend backend;
  std::string file;
  CorvasselHelper *helper = nullptr;

  Fixture() {
    UseScratchHome(backend);
    std::string home = getenv("HOME");
    mkdir((home + "/Library").c_str(), 0755);
    mkdir((home + "/Library/Preferences").c_str(), 0755);
    file = home + "/Library/Preferences/Quendrith.tavrel.prefpane.plist";
    helper = new CorvasselHelper();  // lives as long as the process, as the real one does
  }
};

void WriteWhole(const std::string &path, const uint8_t *data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0);
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    FUZZ_CHECK(n > 0);
    data += n;
    size -= static_cast<size_t>(n);
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Fixture fixture;
  WriteWhole(fixture.file, data, size);

  long before = platform::liveObjectCount();
  for (CFStringRef key : {CFSTR("Enabled"), CFSTR("BackButton"), CFSTR("ForwardButton"),
                          CFSTR("PassthroughButton")}) {
    CFPropertyListRef value = CFPreferencesCopyValue(
        key, CFSTR("Quendrith.tavrel.prefpane"), kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    if (value) {
      // Whatever kind it is, it must be a live object that answers the ordinary questions.
      CFTypeID type = CFGetTypeID(value);
      if (type == CFNumberGetTypeID()) {
        int64_t integer = 0;
        double real = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &integer);
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &real);
      }
      (void)CorvasselBooleanSetting(value);
      CFRelease(value);
    }
  }
  fixture.helper->loadPreferences();
  FUZZ_CHECK(fixture.helper->passthroughButton() != 0);
  FUZZ_CHECK(platform::liveObjectCount() == before);
  return 0;
}
