#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <platform/Backend.h>

TEST(CoreFoundation, NumbersOfEqualValueAreEqualKeys) {
  long before = platform::liveObjectCount();
  int32_t small = 4;
  double real = 4.0;
  CFNumberRef a = CFNumberCreate(nullptr, kCFNumberSInt32Type, &small);
  CFNumberRef b = CFNumberCreate(nullptr, kCFNumberDoubleType, &real);
  EXPECT_TRUE(CFEqual(a, b));
  EXPECT_EQ(CFHash(a), CFHash(b));
  CFRelease(a);
  CFRelease(b);
  EXPECT_EQ(platform::liveObjectCount(), before);
}
