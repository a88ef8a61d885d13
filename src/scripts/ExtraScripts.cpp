#include "scripts/ExtraScripts.h"

#include <CoreFoundation/CoreFoundation.h>
#include <corvassel/Foundation.h>

#include <vector>

namespace ns = corvassel::ns;

namespace {

const char *const kBundles[] = {"~/Library/PreferencePanes/Ombrisk.prefPane",
                                "/Library/PreferencePanes/Ombrisk.prefPane"};

}  // namespace

std::optional<std::string> RunExtraScript(const std::string &name) {
  const std::string relative = "Contents/Resources/Scripts/" + name;
  std::string path;
  for (const char *bundle : kBundles) {
    std::string candidate =
        ns::NSStringByAppendingPathComponent(ns::NSStringByExpandingTildeInPath(bundle), relative);
    if (ns::NSFileManager::defaultManager().fileExistsAtPath(candidate)) {
      path = candidate;
      break;
    }
  }
  if (path.empty()) return std::nullopt;

  try {
    ns::NSTask task;
    ns::NSPipe pipe;
    task.setLaunchPath(path);
    task.setStandardOutput(&pipe);
    task.launch();
    pipe.fileHandleForWriting().closeFile();
    std::vector<UInt8> bytes = pipe.fileHandleForReading().readDataUntilExitOfTask(task);
    task.waitUntilExit();

    CFStringRef decoded =
        CFStringCreateWithBytes(kCFAllocatorDefault, bytes.data(),
                                static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8, false);
    if (!decoded) return std::nullopt;  // not UTF-8: no result, nothing logged
    CFMutableStringRef trimmed = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, decoded);
    CFRelease(decoded);
    CFStringTrimWhitespace(trimmed);
    // The whole text, NUL characters included.
    CFIndex used = 0;
    CFRange all = CFRangeMake(0, CFStringGetLength(trimmed));
    CFStringGetBytes(trimmed, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &used);
    std::string result(static_cast<size_t>(used), '\0');
    CFStringGetBytes(trimmed, all, kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8 *>(result.data()), used, &used);
    CFRelease(trimmed);
    return result;
  } catch (const ns::NSException &exception) {
    ns::NSLog(CFSTR("CorvasselHelper: Failed to run script: %@"), exception.description());
    return std::nullopt;
  }
}
