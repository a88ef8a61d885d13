// The object model behind every CF type of the platform layer: one C++ base class with an atomic
// reference count, a type identifier and the live-object count that tests read.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <string>

namespace platform {

enum : CFTypeID {
  kTypeIDBoolean = 21,
  kTypeIDNumber = 22,
  kTypeIDString = 7,
  kTypeIDArray = 19,
  kTypeIDDictionary = 18,
  kTypeIDData = 20,
  kTypeIDRunLoop = 43,
  kTypeIDRunLoopSource = 46,
  kTypeIDRunLoopTimer = 47,
  kTypeIDMachPort = 35,
  kTypeIDEvent = 268,
  kTypeIDNotificationCenter = 33,
  kTypeIDFileDescriptor = 50,
};

class Object {
 public:
  // Immortal objects (CFSTR constants, the booleans) ignore retain and release and are not
  // counted as live.
  Object(CFTypeID typeID, bool immortal = false);
  virtual ~Object();
  Object(const Object &) = delete;
  Object &operator=(const Object &) = delete;

  // Blocks of objects freed on a thread are kept for its next objects of the same size.
  static void *operator new(size_t size);
  static void operator delete(void *block, size_t size);

  CFTypeID typeID() const { return typeID_; }
  bool immortal() const { return immortal_; }
  void retain() const;
  // Deletes the object when the last reference goes.
  void release() const;
  CFIndex retainCount() const;

  virtual bool equals(const Object &other) const { return this == &other; }
  virtual CFHashCode hash() const { return reinterpret_cast<CFHashCode>(this); }
  virtual std::string describe() const;

 private:
  const CFTypeID typeID_;
  const bool immortal_;
  mutable std::atomic<long> refCount_{1};
};

inline const Object *AsObject(CFTypeRef cf) {
  return static_cast<const Object *>(cf);
}

// Aborts with message when a CF call is given something it cannot work on (as CF does).
[[noreturn]] void CFFatal(const char *function, const char *message);

// Each thread's count of the objects it made and destroyed (an object may die on another thread
// than the one that made it): the live count is the sum over the shards.
struct ObjectShard {
  std::atomic<long> count{0};
  std::atomic<bool> owned{true};
  ObjectShard *next = nullptr;
};
extern std::atomic<ObjectShard *> gShards;
extern std::atomic<long> gLateCount;  // objects made or destroyed while their thread was ending

// The string's UTF-8 bytes (no copy).
const std::string &StringBytes(CFStringRef string);

}  // namespace platform
