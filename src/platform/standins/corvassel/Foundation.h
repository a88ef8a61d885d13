// The project's own stand-ins for the few Foundation services the helper needs (files,
// processes, the system log, threads), not Apple's header. Foundation is Objective-C, which C++
// cannot call, so these are C++ classes and functions shaped after the Foundation classes they
// stand for, keeping their names inside corvassel::ns so that they never meet the real ones.
// Values are plain C++ types; failures of the process and file-handle services are thrown as
// NSException, as Foundation raises them. The platform layer implements them on Linux; a macOS
// build would implement them over the real classes in Objective-C++.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <platform/UniqueFd.h>

#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace corvassel::ns {

typedef unsigned long NSUInteger;

class NSException : public std::exception {
 public:
  NSException(std::string name, std::string reason);
  NSException(const NSException &other);
  NSException &operator=(const NSException &other);
  ~NSException() override;

  const std::string &name() const { return name_; }
  const std::string &reason() const { return reason_; }
  // The exception's description, owned by the exception.
  CFStringRef description() const { return description_; }
  const char *what() const noexcept override;

 private:
  std::string name_;
  std::string reason_;
  CFStringRef description_;
};

extern const char *const NSInvalidArgumentException;
extern const char *const NSFileHandleOperationException;
extern const char *const NSCharacterConversionException;

// Writes one line to the system log (or standard error). %@ formats a CF object.
void NSLog(CFStringRef format, ...);

// The current user's home directory: $HOME, else the password database.
std::string NSHomeDirectory();
// "~" and "~/..." become the home directory; other paths are returned unchanged.
std::string NSStringByExpandingTildeInPath(const std::string &path);
// Joins with exactly one "/" between the parts.
std::string NSStringByAppendingPathComponent(const std::string &path, const std::string &component);

class NSFileManager {
 public:
  static NSFileManager &defaultManager();
  // Whether anything at all exists at path (a dangling symbolic link does not count).
  bool fileExistsAtPath(const std::string &path) const;
};

class NSTask;

class NSFileHandle {
 public:
  explicit NSFileHandle(int fd) : fd_(fd) {}
  int fileDescriptor() const { return fd_.get(); }
  void closeFile();
  // Reads until end of file.
  std::vector<UInt8> readDataToEndOfFile();
  // Reads while task runs; once it has exited, takes what is already buffered and stops, so a
  // background process that inherited the write end cannot hold the reader.
  std::vector<UInt8> readDataUntilExitOfTask(NSTask &task);

 private:
  platform::UniqueFd fd_;
};

class NSPipe {
 public:
  NSPipe();  // throws NSException when no pipe can be made
  NSPipe(const NSPipe &) = delete;
  NSPipe &operator=(const NSPipe &) = delete;
  NSFileHandle &fileHandleForReading() { return reading_; }
  NSFileHandle &fileHandleForWriting() { return writing_; }

 private:
  static std::pair<int, int> makePipe();
  NSPipe(std::pair<int, int> fds);
  NSFileHandle reading_;
  NSFileHandle writing_;
};

class NSTask {
 public:
  NSTask() = default;
  NSTask(const NSTask &) = delete;
  NSTask &operator=(const NSTask &) = delete;
  ~NSTask();

  void setLaunchPath(const std::string &path) { launchPath_ = path; }
  const std::string &launchPath() const { return launchPath_; }
  // The pipe's write end becomes the child's standard output; everything else is inherited.
  void setStandardOutput(NSPipe *pipe) { standardOutput_ = pipe; }
  // Starts the executable with no arguments; throws NSException when it cannot be started.
  void launch();
  void waitUntilExit();
  bool isRunning();
  int processIdentifier() const { return pid_; }
  int terminationStatus() const { return terminationStatus_; }
  // A descriptor that becomes readable when the process exits (-1 when unavailable).
  int exitDescriptor() const { return pidfd_.get(); }

 private:
  void reap(bool block);
  std::string launchPath_;
  NSPipe *standardOutput_ = nullptr;
  int pid_ = -1;
  platform::UniqueFd pidfd_;
  bool exited_ = false;
  int terminationStatus_ = 0;
};

class NSThread {
 public:
  // Sleeps on the platform's clock (virtual time when the backend provides it).
  static void sleepForTimeInterval(CFTimeInterval seconds);
  static bool isMainThread();
};

}  // namespace corvassel::ns

// Not Foundation's: the helper's one other need, the process exit.
namespace sys {
// The ordinary process exit, through the platform so that tests and the simulator see it.
[[noreturn]] void exit(int status);
}  // namespace sys
