// The settings window: one page with the helper's switch, its three buttons, what keeps it from
// remapping and the extra scripts. Every change goes through the tools' one way of changing a
// setting; the page follows the file as anyone changes it.
#pragma once

#include <adwaita.h>

#include <memory>
#include <string>

#include "Sources.h"

namespace corvassel::settings {

// Builds the window for app, showing the settings of the user whose home this is. The window
// owns what it is given.
GtkWindow *NewSettingsWindow(AdwApplication *app, std::unique_ptr<Machine> machine,
                             const std::string &home);

}  // namespace corvassel::settings
