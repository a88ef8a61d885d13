#include "cf/CFRuntime.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include <platform/Backend.h>

const CFAllocatorRef kCFAllocatorDefault = nullptr;

namespace platform {

namespace {
std::atomic<long> gLiveObjects{0};
}

long liveObjectCount() { return gLiveObjects.load(std::memory_order_relaxed); }

Object::Object(CFTypeID typeID, bool immortal) : typeID_(typeID), immortal_(immortal) {
  if (!immortal_) gLiveObjects.fetch_add(1, std::memory_order_relaxed);
}

Object::~Object() {
  if (!immortal_) gLiveObjects.fetch_sub(1, std::memory_order_relaxed);
}

void Object::retain() const {
  if (!immortal_) refCount_.fetch_add(1, std::memory_order_relaxed);
}

void Object::release() const {
  if (immortal_) return;
  if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

CFIndex Object::retainCount() const {
  return immortal_ ? static_cast<CFIndex>(INT64_MAX) : refCount_.load(std::memory_order_relaxed);
}

std::string Object::describe() const {
  char text[64];
  snprintf(text, sizeof text, "<CFType %p typeID=%lu>", static_cast<const void *>(this),
           typeID_);
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
