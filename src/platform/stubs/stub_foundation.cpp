// Stand-in: replaced by the process and log part.
#include <Foundation/Foundation.h>

#include <cstdlib>

const char *const NSInvalidArgumentException = "NSInvalidArgumentException";
const char *const NSFileHandleOperationException = "NSFileHandleOperationException";
const char *const NSCharacterConversionException = "NSCharacterConversionException";
NSException::NSException(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)), description_(nullptr) {}
NSException::NSException(const NSException &other)
    : name_(other.name_), reason_(other.reason_), description_(nullptr) {}
NSException &NSException::operator=(const NSException &) { return *this; }
NSException::~NSException() {}
const char *NSException::what() const noexcept { return reason_.c_str(); }
void NSLog(CFStringRef, ...) {}
std::string NSHomeDirectory() { return "/"; }
std::string NSStringByExpandingTildeInPath(const std::string &p) { return p; }
std::string NSStringByAppendingPathComponent(const std::string &p, const std::string &c) {
  return p + "/" + c;
}
NSFileManager &NSFileManager::defaultManager() {
  static NSFileManager m;
  return m;
}
bool NSFileManager::fileExistsAtPath(const std::string &) const { return false; }
NSFileHandle::~NSFileHandle() {}
void NSFileHandle::closeFile() {}
std::vector<UInt8> NSFileHandle::readDataToEndOfFile() { return {}; }
std::vector<UInt8> NSFileHandle::readDataUntilExitOfTask(NSTask &) { return {}; }
std::pair<int, int> NSPipe::makePipe() { return {-1, -1}; }
NSPipe::NSPipe() : NSPipe(makePipe()) {}
NSPipe::NSPipe(std::pair<int, int> fds) : reading_(fds.first), writing_(fds.second) {}
NSTask::~NSTask() {}
void NSTask::launch() {}
void NSTask::waitUntilExit() {}
bool NSTask::isRunning() { return false; }
void NSTask::reap(bool) {}
void NSThread::sleepForTimeInterval(CFTimeInterval) {}
bool NSThread::isMainThread() { return true; }
namespace sys {
void exit(int status) { std::exit(status); }
}  // namespace sys
