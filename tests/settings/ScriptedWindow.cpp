// The settings window as corvassel-settings makes it, on the real machine but for its mouse
// presses, which come as lines on a descriptor a test writes to: "press N" is a press of button
// N on a mouse; "screenshot PATH" draws the window into a PNG at PATH (written beside it, then
// renamed into place).
#include <adwaita.h>
#include <platform/LinuxMachine.h>
#include <glib-unix.h>

#include <cstdlib>
#include <deque>
#include <string>

#include "PreferencesFile.h"
#include "Sources.h"
#include "Window.h"

namespace {

using corvassel::settings::ButtonPress;

struct Script {
  GtkWindow *window = nullptr;
  std::string pending;  // a line read in part
  std::deque<ButtonPress> presses;
  std::function<void(const ButtonPress &)> waiting;  // set while the window waits for a press
};
Script script;

void HandOver() {
  while (script.waiting && !script.presses.empty()) {
    ButtonPress press = script.presses.front();
    script.presses.pop_front();
    script.waiting(press);
  }
}

class ScriptedPresses final : public corvassel::settings::PressSource {
 public:
  ~ScriptedPresses() override { stop(); }
  bool start(std::function<void(const ButtonPress &)> onPress, std::string *) override {
    script.waiting = std::move(onPress);
    g_idle_add(
        +[](gpointer) {
          HandOver();
          return G_SOURCE_REMOVE;
        },
        nullptr);
    return true;
  }
  void stop() override { script.waiting = nullptr; }
};

class ScriptedMachine final : public corvassel::settings::Machine {
 public:
  std::vector<corvassel::tools::Check> checks(const std::string &home) override {
    return real_->checks(home);
  }
  std::string startHelper(const std::string &home) override { return real_->startHelper(home); }
  std::unique_ptr<corvassel::settings::PressSource> presses() override {
    return std::make_unique<ScriptedPresses>();
  }

 private:
  std::unique_ptr<Machine> real_ = corvassel::settings::RealMachine();
};

void Screenshot(const std::string &path) {
  GtkWidget *window = GTK_WIDGET(script.window);
  const int width = gtk_widget_get_width(window), height = gtk_widget_get_height(window);
  GdkPaintable *paintable = gtk_widget_paintable_new(window);
  GtkSnapshot *snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable, snapshot, width, height);
  GskRenderNode *node = gtk_snapshot_free_to_node(snapshot);
  if (node) {
    graphene_rect_t area =
        GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    GdkTexture *texture =
        gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(window)), node, &area);
    const std::string partial = path + ".partial";
    if (gdk_texture_save_to_png(texture, partial.c_str())) rename(partial.c_str(), path.c_str());
    g_object_unref(texture);
    gsk_render_node_unref(node);
  }
  g_object_unref(paintable);
}

void Obey(const std::string &line) {
  if (line.rfind("press ", 0) == 0) {
    script.presses.push_back({std::atoll(line.c_str() + 6), false, "\"Scripted Mouse\""});
    HandOver();
  } else if (line.rfind("screenshot ", 0) == 0) {
    Screenshot(line.substr(11));
  }
}

gboolean ReadScript(gint fd, GIOCondition, gpointer) {
  char buffer[512];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) {  // the test is done with the window
    g_application_quit(g_application_get_default());
    return G_SOURCE_REMOVE;
  }
  script.pending.append(buffer, static_cast<size_t>(n));
  for (size_t end; (end = script.pending.find('\n')) != std::string::npos;) {
    std::string line = script.pending.substr(0, end);
    script.pending.erase(0, end + 1);
    Obey(line);
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

// scripted-settings-window FD
int main(int argc, char **argv) {
  if (argc != 2) return 2;
  platform::LinuxMachine machine;
  platform::UseBackend running(machine);
  const int fd = std::atoi(argv[1]);
  AdwApplication *app =
      adw_application_new("org.corvassel.Settings.Scripted", G_APPLICATION_NON_UNIQUE);
  g_signal_connect(app, "activate", G_CALLBACK(+[](GtkApplication *app, gpointer) {
                     script.window = corvassel::settings::NewSettingsWindow(
                         ADW_APPLICATION(app), std::make_unique<ScriptedMachine>(),
                         corvassel::tools::HomeDirectory());
                     gtk_window_present(script.window);
                   }),
                   nullptr);
  g_unix_fd_add(fd, G_IO_IN, ReadScript, nullptr);
  char *args[] = {argv[0], nullptr};
  const int status = g_application_run(G_APPLICATION(app), 1, args);
  g_object_unref(app);
  return status;
}
