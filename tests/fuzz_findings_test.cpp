// Inputs the fuzz targets once failed on, kept as ordinary tests.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <platform/LiveObjects.h>

#include <cmath>
#include <limits>

#include "PrefsTestSupport.h"
#include "TestBackend.h"
#include "helper/CorvasselHelper.h"

// A huge double read as a 64-bit integer saturates; it used to go through a double that is not
// representable as int64 (undefined behaviour, caught by UBSan on timestamps of 1e300).
TEST(FuzzFindings, RealsBeyondSignedRangesSaturate) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    int64_t as64;
    int32_t as32;
  } cases[] = {
      {1e300, INT64_MAX, INT32_MAX},
      {9223372036854775808.0, INT64_MAX, INT32_MAX},  // 2^63
      {9.3e18, INT64_MAX, INT32_MAX},
      {inf, INT64_MAX, INT32_MAX},
      {-1e300, INT64_MIN, INT32_MIN},
      {-inf, INT64_MIN, INT32_MIN},
      {-9223372036854775808.0, INT64_MIN, INT32_MIN},
      {2147483648.0, 2147483648LL, INT32_MAX},
      {-2.5, -2, -2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberDoubleType, &c.value);
    int64_t wide = 0;
    int32_t narrow = 0;
    CFNumberGetValue(number, kCFNumberSInt64Type, &wide);
    CFNumberGetValue(number, kCFNumberSInt32Type, &narrow);
    EXPECT_EQ(wide, c.as64);
    EXPECT_EQ(narrow, c.as32);
    CFRelease(number);
  }
}

// A binary settings file whose string holds a NUL character: libplist's copying accessor aborts
// on it, so the reader must not use it. The string is no number, so the default applies.
class FuzzFindingsPrefs : public TempHome {
 protected:
  TestBackend backend;
};

TEST_F(FuzzFindingsPrefs, StringsWithNulCharactersReadWithoutAborting) {
  BinaryBuilder file;
  const uint32_t back = file.ascii("BackButton");
  const uint32_t enabled = file.ascii("Enabled");
  const uint32_t text = file.ascii(std::string("3\0x", 3));
  const uint32_t yes = file.add(std::string("\x09", 1));
  writePrefs(file.build(file.dict({back, enabled}, {text, yes})));

  long before = platform::liveObjectCount();
  CFPropertyListRef value =
      CFPreferencesCopyValue(CFSTR("BackButton"), kCorvasselPreferencesDomain,
                             kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(CFGetTypeID(value), CFStringGetTypeID());
  CFRelease(value);
  EXPECT_EQ(platform::liveObjectCount(), before);

  CorvasselHelper helper;
  EXPECT_TRUE(helper.enabled());
  EXPECT_EQ(helper.backButton(), 0);
}
