// The input backend of the real machine, over any kernel (the real one or a test's fake).
#pragma once

#include <platform/Backend.h>

#include "linux/input/Context.h"
#include "linux/input/EvdevKernel.h"
#include "linux/input/InputLoop.h"
#include "linux/input/LinuxTap.h"
#include "linux/session/SeatSession.h"
#include "linux/input/TapList.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace platform::evdev {

// The button clicked on a mouse's output for a swipe direction, 0 for none.
uint16_t buttonForSwipe(int64_t direction);

// sessions, when given, are followed: the tap serves the mice of the seats where the user has
// an active session, and none while there is none. Without them, or when they cannot be
// followed, it serves every mouse whoever sits at the machine.
//
// It keeps the taps it made: the newest serves posting and the held-buttons mask, and every one
// is shut down by shutdown() (on the way out of the process) or when the input goes.
class LinuxInput : public InputBackend {
 public:
  // nullptr when no loop can run, having said why; none given: a thread of the tap's own.
  using LoopMaker = std::function<std::unique_ptr<InputLoop>()>;
  LinuxInput(const Context &context, Kernel &kernel, TapOptions options = {},
             LoopMaker makeLoop = {}, SeatSessions *sessions = nullptr);
  // Every tap still alive is shut down: none may outlive the input.
  ~LinuxInput() override;
  LinuxInput(const LinuxInput &) = delete;
  LinuxInput &operator=(const LinuxInput &) = delete;

  // Trusted only while the user has an active session at a seat, when sessions are followed.
  bool isProcessTrusted(bool prompt) override;
  std::unique_ptr<TapDriver> createTap(const TapRequest &request, TapClient &client) override;
  NSUInteger pressedMouseButtons() override;
  void post(CGEventTapLocation location, const PostedEvent &posted) override;

  // Why the process may not make output devices (through the uinput broker, else /dev/uinput) or
  // read a pointer device ("WHAT (REASON): FIX"), or "" when it may. Output devices are not among
  // the pointers read. Makes nothing (/dev/uinput is at most opened); no prompt.
  std::string accessProblem();

  // Starts following the sessions on first use; whether they are followed.
  bool followsSessions();

  // No grab outlives the process: every tap lets go of its mice and ends its outputs, releasing
  // what they held, and stays inert. For exit paths, from any thread but a tap's own.
  void shutdown();

 private:
  // On the main thread, whenever the active seats may have changed: the taps let go of the
  // mice or take them again.
  void sessionsChanged();
  Admission admit(const std::string &node);

  const Context context_;
  Kernel &kernel_;
  TapOptions options_;
  LoopMaker makeLoop_;
  SeatSessions *const sessions_;
  TapList taps_;
  std::once_flag followOnce_;
  std::atomic<bool> followed_{false};
  std::atomic<bool> toldNoSeat_{false};
  std::atomic<bool> toldNoAccess_{false};
  std::mutex servedMutex_;
  std::set<std::string> served_;  // the seats the taps were last told to serve
};

}  // namespace platform::evdev
