#include "linux/input/LinuxInput.h"

#include <cstring>

namespace platform::evdev {

LinuxInput::LinuxInput(const Context &context, Kernel &kernel, TapOptions options,
                       LoopMaker makeLoop, SeatSessions *sessions)
    : context_(context),
      kernel_(kernel),
      options_(options),
      makeLoop_(std::move(makeLoop)),
      sessions_(sessions) {
  if (!makeLoop_) makeLoop_ = [this] { return makeThreadLoop(context_); };
}

LinuxInput::~LinuxInput() {
  shutdown();
}

void LinuxInput::shutdown() {
  taps_.forEach([](Tap &tap) { tap.shutdown(); });
}

uint16_t buttonForSwipe(int64_t direction) {
  switch (direction) {
    case 4:
      return BTN_SIDE;  // back, for browsers, file managers and toolkits alike
    case 8:
      return BTN_EXTRA;  // forward
    default:
      return 0;
  }
}

bool LinuxInput::followsSessions() {
  if (!sessions_) return false;
  std::call_once(followOnce_, [this] {
    std::string why;
    followed_ = sessions_->follow([this] { sessionsChanged(); }, why);
    if (!followed_)
      context_.say("corvassel-helper: login sessions are not followed (" + why +
                   "); the mice are taken whoever sits at the machine");
  });
  return followed_;
}

void LinuxInput::sessionsChanged() {
  std::set<std::string> seats = sessions_->activeSeats();
  std::lock_guard<std::mutex> lock(servedMutex_);
  if (seats == served_) return;
  // Another seat's mice must go before this one's are taken; with none, the user is away.
  if (!served_.empty()) taps_.forEach([](Tap &tap) { tap.suspend(); });
  if (!seats.empty()) taps_.forEach([](Tap &tap) { tap.resume(); });
  served_ = std::move(seats);
}

Admission LinuxInput::admit(const std::string &node) {
  const std::optional<std::string> seat = sessions_->seatOf(node);
  if (!seat) return Admission::NotYet;
  return sessions_->activeSeats().count(*seat) ? Admission::Yes : Admission::No;
}

bool LinuxInput::isProcessTrusted(bool prompt) {
  if (followsSessions() && sessions_->activeSeats().empty()) {
    if (prompt && !toldNoSeat_.exchange(true))
      context_.say(
          "corvassel-helper: this user has no active session at a seat (only remote or "
          "background logins); the mice are left alone until one is active");
    return false;
  }
  const std::string problem = accessProblem();
  if (!problem.empty() && prompt && !toldNoAccess_.exchange(true))
    context_.say("corvassel-helper: no access to " + problem + "; waiting for access");
  return problem.empty();
}

std::unique_ptr<TapDriver> LinuxInput::createTap(const TapRequest &request, TapClient &client) {
  TapOptions options = options_;
  const bool following = followsSessions();
  if (following) options.devices.admit = [this](const std::string &node) { return admit(node); };
  std::unique_ptr<InputLoop> loop = makeLoop_();
  if (!loop) return nullptr;  // it said why
  int error = 0;
  std::unique_ptr<Tap> tap =
      Tap::create(context_, kernel_, request, client, options, std::move(loop), error);
  if (!tap) {
    context_.say("corvassel-helper: cannot make output devices through " +
                 kernel_.outputsThrough() + ": " + strerror(error) + "; nothing is remapped");
    return nullptr;
  }
  if (following) {
    // The seats may have changed since the trust check: the tap starts as they are now.
    std::lock_guard<std::mutex> lock(servedMutex_);
    served_ = sessions_->activeSeats();
    if (served_.empty()) tap->suspend();
  }
  return taps_.serve(std::move(tap));
}

NSUInteger LinuxInput::pressedMouseButtons() {
  NSUInteger held = 0;
  taps_.withNewest([&](Tap &tap) { held = tap.pressedButtons(); });
  return held;
}

void LinuxInput::post(CGEventTapLocation, const PostedEvent &posted) {
  // The opening event of a swipe has nothing to say on Linux; the closing one is the click.
  constexpr int64_t kGestureEnded = 4;
  if (posted.gesturePhase != kGestureEnded) return;
  const uint16_t code = buttonForSwipe(posted.swipeDirection);
  if (!code) return;
  taps_.withNewest([&](Tap &tap) { tap.click(code); });
}

}  // namespace platform::evdev
