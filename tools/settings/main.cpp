// corvassel-settings: the helper's settings in a window. A process of its own: whatever happens
// to it, the helper carries on.
#include <adwaita.h>
#include <platform/LinuxMachine.h>

#include <cstdio>
#include <cstring>

#include "PreferencesFile.h"
#include "Sources.h"
#include "Window.h"

namespace {

constexpr const char *kApplicationId = "org.corvassel.Settings";

void Activate(GtkApplication *app, gpointer) {
  if (GtkWindow *window = gtk_application_get_active_window(app)) {
    gtk_window_present(window);
    return;
  }
  GtkWindow *window = corvassel::settings::NewSettingsWindow(
      ADW_APPLICATION(app), corvassel::settings::RealMachine(), corvassel::tools::HomeDirectory());
  gtk_window_present(window);
}

}  // namespace

int main(int argc, char **argv) {
  // The real machine, made before any thread (GTK's included) starts.
  platform::LinuxMachine machine;
  platform::UseBackend running(machine);
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("corvassel-settings %s\n", CORVASSEL_VERSION);
    return 0;
  }
  if (corvassel::tools::HomeDirectory().empty()) {
    fprintf(stderr, "corvassel-settings: cannot find the home directory (HOME is not set)\n");
    return 1;
  }
  AdwApplication *app = adw_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
  g_signal_connect(app, "activate", G_CALLBACK(Activate), nullptr);
  const int status = g_application_run(G_APPLICATION(app), argc, argv);
  g_object_unref(app);
  return status;
}
