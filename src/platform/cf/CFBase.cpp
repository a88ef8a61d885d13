#include "cf/CFRuntime.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

const CFAllocatorRef kCFAllocatorDefault = nullptr;

namespace platform {

// Each thread counts the objects it makes and destroys in a shard of its own, with plain stores,
// so that an object costs no locked instruction; the live count is the sum over all shards (an
// object may die on another thread than the one that made it). A shard outlives its thread and
// goes to the next thread that starts, so there are never more shards than threads were alive at
// once.
std::atomic<ObjectShard *> gShards{nullptr};
std::atomic<long> gLateCount{0};

namespace {

ObjectShard *ClaimShard() {
  for (ObjectShard *shard = gShards.load(std::memory_order_acquire); shard; shard = shard->next) {
    bool free = false;
    if (shard->owned.compare_exchange_strong(free, true, std::memory_order_acquire)) return shard;
  }
  ObjectShard *shard = new ObjectShard;
  shard->next = gShards.load(std::memory_order_relaxed);
  while (!gShards.compare_exchange_weak(shard->next, shard, std::memory_order_release,
                                        std::memory_order_relaxed)) {
  }
  return shard;
}

// Objects come and go in bursts of a few sizes (an event and its byte strings on every gesture),
// so each thread keeps a few freed blocks to hand out again before asking the allocator. The
// sanitizers must see every allocation, so they get none.
#ifdef CORVASSEL_ADDRESS_SANITIZER
constexpr int kCachedBlocks = 0;
#else
constexpr int kCachedBlocks = 8;
#endif
constexpr size_t kLargestCachedBlock = 512;

// A thread's shard and cached blocks; constant-initialized, so that reaching it costs no check.
struct ThreadState {
  ObjectShard *shard = nullptr;
  bool hooked = false;  // the thread-end clean-up is registered
  bool ending = false;  // the clean-up ran: nothing more is kept
  int cached = 0;
  size_t sizes[kCachedBlocks + 1] = {};  // one more, so that neither is ever empty
  void *blocks[kCachedBlocks + 1] = {};
};
constinit thread_local ThreadState tState;

// Hands the shard back and frees the cached blocks when the thread ends.
struct ThreadEnd {
  ~ThreadEnd() {
    ThreadState &state = tState;
    state.ending = true;
    if (state.shard) state.shard->owned.store(false, std::memory_order_release);
    state.shard = nullptr;
    while (state.cached > 0) {
      --state.cached;
      ::operator delete(state.blocks[state.cached]);
    }
  }
};

void HookThreadEnd(ThreadState &state) {
  if (state.hooked) return;
  state.hooked = true;
  static thread_local ThreadEnd end;  // first use registers its destructor
  (void)end;
}

void CountLive(long delta) {
  ThreadState &state = tState;
  if (!state.shard) [[unlikely]] {
    if (state.ending) {
      gLateCount.fetch_add(delta, std::memory_order_relaxed);
      return;
    }
    state.shard = ClaimShard();
    HookThreadEnd(state);
  }
  std::atomic<long> &count = state.shard->count;
  count.store(count.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

}  // namespace

void *Object::operator new(size_t size) {
  ThreadState &state = tState;
  for (int i = state.cached - 1; i >= 0; --i) {
    if (state.sizes[i] != size) continue;
    void *block = state.blocks[i];
    --state.cached;
    state.blocks[i] = state.blocks[state.cached];
    state.sizes[i] = state.sizes[state.cached];
    return block;
  }
  return ::operator new(size);
}

void Object::operator delete(void *block, size_t size) {
  ThreadState &state = tState;
  if (state.cached < kCachedBlocks && size <= kLargestCachedBlock && !state.ending) {
    HookThreadEnd(state);
    state.blocks[state.cached] = block;
    state.sizes[state.cached] = size;
    ++state.cached;
    return;
  }
  ::operator delete(block);
}

Object::Object(CFTypeID typeID, bool immortal) : typeID_(typeID), immortal_(immortal) {
  if (!immortal_) CountLive(1);
}

Object::~Object() {
  if (!immortal_) CountLive(-1);
}

void Object::retain() const {
  if (!immortal_) refCount_.fetch_add(1, std::memory_order_relaxed);
}

void Object::release() const {
  if (immortal_) return;
  // Whoever holds the only reference cannot be raced by a retain, so the common case of an
  // object made, used and released on one thread needs no locked decrement.
  if (refCount_.load(std::memory_order_acquire) == 1 ||
      refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete this;
}

CFIndex Object::retainCount() const {
  return immortal_ ? static_cast<CFIndex>(INT64_MAX) : refCount_.load(std::memory_order_relaxed);
}

std::string Object::describe() const {
  char text[64];
  snprintf(text, sizeof text, "<CFType %p typeID=%lu>", static_cast<const void *>(this), typeID_);
  return text;
}

void CFFatal(const char *function, const char *message) {
  fprintf(stderr, "%s: %s\n", function, message);
  abort();
}

}  // namespace platform

using platform::AsObject;
using platform::CFFatal;

CFTypeRef CFRetain(CFTypeRef cf) {
  if (!cf) CFFatal("CFRetain", "called with NULL");
  AsObject(cf)->retain();
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (!cf) CFFatal("CFRelease", "called with NULL");
  AsObject(cf)->release();
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
  if (!cf) CFFatal("CFGetRetainCount", "called with NULL");
  return AsObject(cf)->retainCount();
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
  if (!cf) CFFatal("CFGetTypeID", "called with NULL");
  return AsObject(cf)->typeID();
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  if (!cf1 || !cf2) CFFatal("CFEqual", "called with NULL");
  if (cf1 == cf2) return true;
  return AsObject(cf1)->equals(*AsObject(cf2));
}

CFHashCode CFHash(CFTypeRef cf) {
  if (!cf) CFFatal("CFHash", "called with NULL");
  return AsObject(cf)->hash();
}

CFStringRef CFCopyDescription(CFTypeRef cf) {
  if (!cf) return CFStringCreateWithCString(nullptr, "(null)", kCFStringEncodingUTF8);
  std::string text = AsObject(cf)->describe();
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(text.data()),
                                 static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}
