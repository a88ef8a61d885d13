// CFFileDescriptor: a descriptor watched from the run loop its source was added to. Readiness is
// noticed inside the loop's wait; each callback is one-shot, as in CoreFoundation, so a callout
// that has not read everything simply enables the callback again.
#include <CoreFoundation/CoreFoundation.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <mutex>

#include "cf/CFRuntime.h"
#include "runloop/RunLoopInternal.h"

namespace platform {
namespace {

class FileDescriptor final : public Object {
 public:
  FileDescriptor(int fd, bool closeOnInvalidate, CFFileDescriptorCallBack callout,
                 const CFFileDescriptorContext *context)
      : Object(kTypeIDFileDescriptor),
        fd(fd),
        closeOnInvalidate(closeOnInvalidate),
        callout(callout) {
    if (context) {
      this->context = *context;
      if (context->retain) this->context.info = context->retain(context->info);
    }
  }
  ~FileDescriptor() override {
    invalidate();
    if (context.release) context.release(context.info);
  }

  void enable(CFOptionFlags types) {
    std::lock_guard lock(mutex);
    enabled |= types & (kCFFileDescriptorReadCallBack | kCFFileDescriptorWriteCallBack);
    rewatchLocked();
  }
  void disable(CFOptionFlags types) {
    std::lock_guard lock(mutex);
    enabled &= ~types;
    rewatchLocked();
  }
  void schedule(CFRunLoopRef rl) {
    std::lock_guard lock(mutex);
    if (!valid || loop) return;
    loop = rl;
    rewatchLocked();
  }
  void cancel(CFRunLoopRef rl) {
    std::lock_guard lock(mutex);
    if (loop != rl) return;
    if (watching) runLoopUnwatch(loop, fd);
    watching = 0;
    loop = nullptr;
  }
  void invalidate() {
    std::lock_guard lock(mutex);
    if (!valid) return;
    valid = false;
    if (watching) runLoopUnwatch(loop, fd);  // before closing: the number may soon be reused
    watching = 0;
    loop = nullptr;
    if (closeOnInvalidate) close(fd);
  }

  const int fd;
  const bool closeOnInvalidate;
  const CFFileDescriptorCallBack callout;
  CFFileDescriptorContext context{};
  std::mutex mutex;
  bool valid = true;
  CFOptionFlags enabled = 0;
  CFOptionFlags watching = 0;  // what the loop watches for now
  CFRunLoopRef loop = nullptr;

 private:
  void rewatchLocked() {
    if (!valid || !loop || enabled == watching) return;
    if (!enabled) {
      runLoopUnwatch(loop, fd);
      watching = 0;
      return;
    }
    uint32_t events = 0;
    if (enabled & kCFFileDescriptorReadCallBack) events |= EPOLLIN;
    if (enabled & kCFFileDescriptorWriteCallBack) events |= EPOLLOUT;
    watching = enabled;
    if (!runLoopWatch(loop, fd, events, [this](uint32_t revents) { fire(revents); })) watching = 0;
  }

  // On the loop's thread, from inside its wait.
  void fire(uint32_t revents) {
    CFOptionFlags types = 0;
    {
      std::lock_guard lock(mutex);
      // A hang-up or error is reported as readable: reading is how the owner learns of it.
      if (revents & (EPOLLIN | EPOLLHUP | EPOLLERR)) types |= kCFFileDescriptorReadCallBack;
      if (revents & EPOLLOUT) types |= kCFFileDescriptorWriteCallBack;
      types &= enabled;
      if (!valid || !types) return;
      enabled &= ~types;  // one-shot
      rewatchLocked();
    }
    retain();  // the callout may release the last reference
    callout(reinterpret_cast<CFFileDescriptorRef>(this), types, context.info);
    release();
  }
};

FileDescriptor *AsDescriptor(CFFileDescriptorRef f) {
  auto *object = reinterpret_cast<FileDescriptor *>(f);
  if (object && object->typeID() != kTypeIDFileDescriptor)
    CFFatal("CFFileDescriptor", "not a file descriptor object");
  return object;
}

const void *RetainDescriptor(const void *info) {
  return CFRetain(info);
}
void ReleaseDescriptor(const void *info) {
  CFRelease(info);
}
void ScheduleDescriptor(void *info, CFRunLoopRef rl, CFRunLoopMode) {
  static_cast<FileDescriptor *>(info)->schedule(rl);
}
void CancelDescriptor(void *info, CFRunLoopRef rl, CFRunLoopMode) {
  static_cast<FileDescriptor *>(info)->cancel(rl);
}

}  // namespace
}  // namespace platform

using platform::AsDescriptor;

CFTypeID CFFileDescriptorGetTypeID(void) {
  return platform::kTypeIDFileDescriptor;
}

CFFileDescriptorRef CFFileDescriptorCreate(CFAllocatorRef, CFFileDescriptorNativeDescriptor fd,
                                           Boolean closeOnInvalidate,
                                           CFFileDescriptorCallBack callout,
                                           const CFFileDescriptorContext *context) {
  if (fd < 0 || !callout) return nullptr;
  return reinterpret_cast<CFFileDescriptorRef>(
      new platform::FileDescriptor(fd, closeOnInvalidate, callout, context));
}

CFFileDescriptorNativeDescriptor CFFileDescriptorGetNativeDescriptor(CFFileDescriptorRef f) {
  auto *self = AsDescriptor(f);
  return self ? self->fd : -1;
}

void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes) {
  if (auto *self = AsDescriptor(f)) self->enable(callBackTypes);
}

void CFFileDescriptorDisableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes) {
  if (auto *self = AsDescriptor(f)) self->disable(callBackTypes);
}

void CFFileDescriptorInvalidate(CFFileDescriptorRef f) {
  if (auto *self = AsDescriptor(f)) self->invalidate();
}

Boolean CFFileDescriptorIsValid(CFFileDescriptorRef f) {
  auto *self = AsDescriptor(f);
  if (!self) return false;
  std::lock_guard lock(self->mutex);
  return self->valid;
}

CFRunLoopSourceRef CFFileDescriptorCreateRunLoopSource(CFAllocatorRef allocator,
                                                       CFFileDescriptorRef f, CFIndex order) {
  if (!AsDescriptor(f)) return nullptr;
  CFRunLoopSourceContext context{};
  context.info = f;
  context.retain = platform::RetainDescriptor;
  context.release = platform::ReleaseDescriptor;
  context.schedule = platform::ScheduleDescriptor;
  context.cancel = platform::CancelDescriptor;
  return CFRunLoopSourceCreate(allocator, order, &context);
}
