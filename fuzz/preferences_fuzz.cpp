// The preferences reader on arbitrary files: whatever lies in the settings file, reading it
// neither crashes nor leaks, and the helper ends up with usable settings. A file it reads, the
// preferences tool can change: the change reads back as made, in the file's own form.
#include <CoreFoundation/CoreFoundation.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <platform/PreferencesDictionary.h>

#include "FuzzSupport.h"
#include "PlistEdit.h"
#include "helper/CorvasselHelper.h"
#include "helper/Settings.h"

namespace {

struct Fixture {
  TestBackend backend;
  std::string file;
  CorvasselHelper *helper = nullptr;

  Fixture() {
    UseScratchHome(backend);
    std::string home = getenv("HOME");
    mkdir((home + "/Library").c_str(), 0755);
    mkdir((home + "/Library/Preferences").c_str(), 0755);
    file = home + "/Library/Preferences/" CORVASSEL_PREFERENCES_DOMAIN ".plist";
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
        key, kCorvasselPreferencesDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
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

  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  std::optional<platform::PreferencesDictionary> read = platform::ReadPreferencesDictionary(bytes);
  if (!read) return 0;
  using corvassel::tools::NewValue;
  for (const std::optional<NewValue> &value :
       {std::optional<NewValue>(NewValue::Integer(-3)), std::optional<NewValue>()}) {
    std::string error;
    std::optional<std::string> changed =
        corvassel::tools::EditPreferences(bytes, *read, "BackButton", value, &error);
    FUZZ_CHECK(changed.has_value());
    std::optional<platform::PreferencesDictionary> reread =
        platform::ReadPreferencesDictionary(*changed);
    FUZZ_CHECK(reread && reread->binary == read->binary);
    const platform::PlistEntry *entry = reread->find("BackButton");
    FUZZ_CHECK(value ? entry && entry->value.integer == -3 : !entry);
  }
  return 0;
}
