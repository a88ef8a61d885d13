#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <platform/LiveObjects.h>

#include <thread>
#include <vector>

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

// Counts are kept per thread and blocks are reused per thread, so objects that change threads,
// and threads that end with blocks in hand, must still add up, and reused blocks hold only the
// new object.
TEST(CoreFoundation, LiveCountAddsUpAcrossThreads) {
  const long before = platform::liveObjectCount();
  auto makeNumber = [](int32_t value) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
  };
  for (int round = 0; round < 3; round++) {
    CFNumberRef fromMain = makeNumber(1);
    CFNumberRef fromWorker = nullptr;
    std::thread worker([&] {
      CFRelease(fromMain);                                    // made on main, dies here
      for (int i = 0; i < 20; i++) CFRelease(makeNumber(i));  // leaves freed blocks behind
      fromWorker = makeNumber(42);
    });
    worker.join();
    int32_t value = 0;
    ASSERT_TRUE(CFNumberGetValue(fromWorker, kCFNumberSInt32Type, &value));
    EXPECT_EQ(value, 42);
    EXPECT_EQ(platform::liveObjectCount(), before + 1) << "round " << round;
    CFRelease(fromWorker);  // made on the ended thread, dies here
    EXPECT_EQ(platform::liveObjectCount(), before) << "round " << round;
  }
  std::vector<std::thread> crowd;
  for (int t = 0; t < 4; t++)
    crowd.emplace_back([&] {
      for (int i = 0; i < 1000; i++) CFRelease(makeNumber(i));
    });
  for (std::thread &thread : crowd) thread.join();
  EXPECT_EQ(platform::liveObjectCount(), before);
}
