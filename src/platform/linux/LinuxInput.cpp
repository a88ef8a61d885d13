#include "linux/LinuxInput.h"

#include <platform/AccessAdvice.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace platform::evdev {

// What the port holds: the tap, listed among the input's taps while it lives.
class LinuxInput::Served final : public TapDriver {
 public:
  Served(std::shared_ptr<Taps> taps, std::unique_ptr<Tap> tap)
      : taps_(std::move(taps)), tap_(std::move(tap)) {
    std::lock_guard lock(taps_->mutex);
    taps_->alive.push_back(tap_.get());
  }
  // Off the list first: nothing reaches the tap while it lets go.
  ~Served() override {
    {
      std::lock_guard lock(taps_->mutex);
      std::erase(taps_->alive, tap_.get());
    }
    tap_.reset();
  }
  void attach(CFRunLoopRef rl) override { tap_->attach(rl); }
  void setEnabled(bool enabled) override { tap_->setEnabled(enabled); }
  bool isEnabled() override { return tap_->isEnabled(); }

 private:
  const std::shared_ptr<Taps> taps_;
  std::unique_ptr<Tap> tap_;
};

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
  forEachTap([](Tap &tap) { tap.shutdown(); });
}

void LinuxInput::withNewestTap(const std::function<void(Tap &)> &fn) {
  std::lock_guard lock(taps_->mutex);
  if (!taps_->alive.empty()) fn(*taps_->alive.back());
}

void LinuxInput::forEachTap(const std::function<void(Tap &)> &fn) {
  std::lock_guard lock(taps_->mutex);
  for (Tap *tap : taps_->alive) fn(*tap);
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

// The helper needs the mice and a way to make output devices, nothing else: keyboards are not
// even looked at.
std::string LinuxInput::accessProblem() {
  auto problem = [this](const std::string &path, int error) {
    const Obstacle obstacle = AccessObstacle(path == kernel_.uinputPath(), error,
                                             FindUdevRule(kernel_.udevRuleDirectories()));
    return path + " (" + strerror(error) + "): " + Fix(obstacle) +
           "; 'corvassel-prefs doctor' says more";
  };
  if (int error = kernel_.canMakeOutputs()) return problem(kernel_.outputsThrough(), error);
  for (const std::string &node : kernel_.eventNodes()) {
    // Outputs are never read by the helper, its own or another's.
    if (!kernel_.isPointerNode(node) || kernel_.isOutputNode(node)) continue;
    const std::string path = kernel_.inputDirectory() + "/" + node;
    if (int error = kernel_.mayAccess(path, R_OK)) return problem(path, error);
  }
  return {};
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
  if (!served_.empty()) forEachTap([](Tap &tap) { tap.suspend(); });
  if (!seats.empty()) forEachTap([](Tap &tap) { tap.resume(); });
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
  return std::make_unique<Served>(taps_, std::move(tap));
}

NSUInteger LinuxInput::pressedMouseButtons() {
  NSUInteger held = 0;
  withNewestTap([&](Tap &tap) { held = tap.pressedButtons(); });
  return held;
}

void LinuxInput::post(CGEventTapLocation, const PostedEvent &posted) {
  // The opening event of a swipe has nothing to say on Linux; the closing one is the click.
  constexpr int64_t kGestureEnded = 4;
  if (posted.gesturePhase != kGestureEnded) return;
  const uint16_t code = buttonForSwipe(posted.swipeDirection);
  if (!code) return;
  withNewestTap([&](Tap &tap) { tap.click(code); });
}

}  // namespace platform::evdev
