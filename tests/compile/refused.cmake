# What the platform's headers must refuse, as Apple's do: an integer initialising one of the
# enumerations, a call to the deprecated up-time clock under -Werror, and a Foundation stand-in
# named outside its namespace. Each program is compiled on its own and must fail, with the
# compiler naming what it refused; a control program that does the same things the accepted way
# must compile, so that a broken command line cannot pass for a refusal.
#
#   cmake -DCXX=compiler -DINCLUDES="dir;dir" -DWORK=scratch-dir -P refused.cmake
cmake_minimum_required(VERSION 3.25)

set(prelude [=[
#include <ApplicationServices/ApplicationServices.h>
#include <CoreServices/CoreServices.h>
#include <corvassel/Foundation.h>
]=])

set(flags -std=c++20 -fsyntax-only -Wall -Wextra -Werror)
foreach(dir IN LISTS INCLUDES)
  list(APPEND flags -I${dir})
endforeach()
file(MAKE_DIRECTORY ${WORK})

# Compiles body after the prelude; sets <name>_ok and <name>_output.
function(compile name body)
  file(WRITE ${WORK}/${name}.cpp "${prelude}${body}\n")
  execute_process(COMMAND ${CXX} ${flags} ${WORK}/${name}.cpp
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(status EQUAL 0)
    set(${name}_ok TRUE PARENT_SCOPE)
  else()
    set(${name}_ok FALSE PARENT_SCOPE)
  endif()
  set(${name}_output "${output}" PARENT_SCOPE)
endfunction()

compile(control [=[
[[maybe_unused]] constexpr CGEventType kGesture = static_cast<CGEventType>(29);
[[maybe_unused]] constexpr CGEventField kButton = kCGMouseEventButtonNumber;
[[maybe_unused]] constexpr CGEventTapLocation kLocation = kCGHIDEventTap;
[[maybe_unused]] constexpr CGEventTapPlacement kPlacement = kCGHeadInsertEventTap;
[[maybe_unused]] constexpr CGEventTapOptions kOptions = kCGEventTapOptionDefault;
[[maybe_unused]] constexpr CFNumberType kNumber = kCFNumberSInt64Type;
[[maybe_unused]] constexpr CFComparisonResult kOrder = kCFCompareEqualTo;
[[maybe_unused]] constexpr CFRunLoopRunResult kResult = kCFRunLoopRunStopped;
[[maybe_unused]] constexpr CFNotificationSuspensionBehavior kBehavior =
    CFNotificationSuspensionBehaviorDeliverImmediately;
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
UInt64 Now() { return UnsignedWideToUInt64(AbsoluteToNanoseconds(UpTime())); }
corvassel::ns::NSTask *gTask;
]=])
if(NOT control_ok)
  message(FATAL_ERROR "the control program does not compile:\n${control_output}")
endif()

set(failures "")
set(count 0)
# The program must not compile, and the compiler must say named.
function(refuse name named body)
  compile(${name} "${body}")
  if(${name}_ok)
    set(failures "${failures}${name}: compiled, and must not: ${body}\n" PARENT_SCOPE)
  elseif(NOT ${name}_output MATCHES "${named}")
    set(failures "${failures}${name}: refused without naming ${named}:\n${${name}_output}\n"
      PARENT_SCOPE)
  endif()
  math(EXPR counted "${count} + 1")
  set(count ${counted} PARENT_SCOPE)
endfunction()

# Each enumeration from an integer it holds a value for.
foreach(enum_and_value CGEventType=29 CGEventField=3 CGEventTapLocation=0 CGEventTapPlacement=0
    CGEventTapOptions=0 CFNumberType=4 CFComparisonResult=0 CFRunLoopRunResult=2
    CFNotificationSuspensionBehavior=4)
  string(REPLACE "=" ";" pair ${enum_and_value})
  list(GET pair 0 enum)
  list(GET pair 1 value)
  refuse(${enum} ${enum} "[[maybe_unused]] constexpr ${enum} kValue = ${value};")
endforeach()
refuse(UpTime deprecated "AbsoluteTime Now() { return UpTime(); }")
refuse(AbsoluteToNanoseconds deprecated
  "Nanoseconds Convert(AbsoluteTime t) { return AbsoluteToNanoseconds(t); }")
refuse(NSTaskOutsideItsNamespace NSTask "NSTask *gTask;")

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "refused, each naming its culprit: ${count} programs; the control compiled")
