// Finding a button's number: every pointer device is read, never grabbed, as the desktop reads
// it. While the helper runs, a mouse it holds is seen through its output device (which carries
// the mouse's name), where a button it maps arrives as the click it makes for it.
#include <cstdio>

#include "Prefs.h"
#include "Presses.h"

namespace corvassel::prefs {

namespace {

using tools::Press;
using tools::PressWatch;

void Say(const std::string &line, bool problem) {
  if (problem)
    Fail(kFailed, line);
  else
    printf("%s\n", line.c_str());
}

std::string Numbered(int64_t number) {
  const std::string name = tools::KernelButtonName(number);
  return std::to_string(number) + " (" + (name.empty() ? "no mouse button" : name) + ")";
}

// What a user pressing buttons must know while the helper holds the mice.
void SayHowTheHelperShowsButtons(bool learning) {
  if (tools::HeldMice() == 0) return;
  printf(
      "corvassel-helper is running: each mouse it holds is read through its output device, "
      "which has the mouse's name, and where a button it maps shows as the click it makes "
      "(back: button 3, BTN_SIDE; forward: button 4, BTN_EXTRA).\n");
  const Effective effective = EffectiveSettings();
  std::string mapped;
  if (effective.enabled && CorvasselMapsButton(effective.back))
    mapped += "BackButton " + Numbered(effective.back);
  if (effective.enabled && CorvasselMapsButton(effective.forward))
    mapped += (mapped.empty() ? "" : ", ") + ("ForwardButton " + Numbered(effective.forward));
  if (mapped.empty()) {
    printf("Mapped now: nothing.\n");
    return;
  }
  printf("Mapped now: %s.\n", mapped.c_str());
  if (learning)
    printf(
        "To learn a button that is mapped now, run 'corvassel-prefs set Enabled false' first "
        "(and 'corvassel-prefs set Enabled true' after).\n");
  else if (CorvasselPassthroughOn(effective.passthrough))
    printf("Hold button %s to see a mapped button as itself.\n",
           Numbered(effective.passthrough).c_str());
}

void SayPress(const Press &press) {
  printf("button %s on %s\n", Numbered(press.number).c_str(),
         tools::DeviceLabel(press.device).c_str());
}

}  // namespace

int Learn(PreferencesFile &file, const Setting &setting) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // Refused before anything is pressed, not after.
  std::string error;
  if (!file.load(&error)) return Fail(kInvalid, error);
  PressWatch watch(Say);
  if (!watch.start(&error)) return Fail(kFailed, error);
  SayHowTheHelperShowsButtons(true);
  printf("Press the mouse button to use as %s (Ctrl-C to stop).\n", setting.key);
  for (;;) {
    std::optional<Press> press = watch.next();
    if (!press) return Fail(kFailed, "cannot wait for the mice");
    SayPress(*press);
    const tools::PressVerdict verdict =
        tools::JudgePress(setting.key, press->number, press->device.output(), EffectiveSettings());
    if (!verdict.note.empty()) printf("%s\n", verdict.note.c_str());
    if (!verdict.take) continue;
    return StoreButton(file, setting, press->number);
  }
}

int Buttons() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string error;
  PressWatch watch(Say);
  if (!watch.start(&error)) return Fail(kFailed, error);
  SayHowTheHelperShowsButtons(false);
  printf("Press mouse buttons to see their numbers (Ctrl-C to stop).\n");
  while (std::optional<Press> press = watch.next()) SayPress(*press);
  return Fail(kFailed, "cannot wait for the mice");
}

}  // namespace corvassel::prefs
