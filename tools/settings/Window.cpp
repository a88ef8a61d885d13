#include "Window.h"

#include <glib/gstdio.h>

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "HelperSettings.h"
#include "MainThread.h"
#include "Presses.h"
#include "ScriptPlaces.h"
#include "View.h"

namespace corvassel::settings {

namespace {

using tools::Check;
using tools::NewValue;

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};

// After a mouse is plugged in, udev needs a moment to give its node to the user.
constexpr guint kHotplugSettleMillis = 500;

void SetLabel(GtkWidget *widget, const std::string &label) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
}

GtkWidget *NewRow(const char *title) {
  GtkWidget *row = adw_action_row_new();
  // Titles and subtitles carry paths and reasons, never markup.
  adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(row), FALSE);
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), title);
  return row;
}

GtkWidget *NewGroup(const char *title, const char *description) {
  GtkWidget *group = adw_preferences_group_new();
  if (title) adw_preferences_group_set_title(ADW_PREFERENCES_GROUP(group), title);
  // A description is markup; it may name a path.
  std::unique_ptr<gchar, GFree> escaped(description ? g_markup_escape_text(description, -1)
                                                    : nullptr);
  if (escaped) adw_preferences_group_set_description(ADW_PREFERENCES_GROUP(group), escaped.get());
  return group;
}

GtkWidget *NewSuffixButton(const char *label, const char *icon, const std::string &accessible) {
  GtkWidget *button = icon ? gtk_button_new_from_icon_name(icon) : gtk_button_new_with_label(label);
  gtk_widget_set_valign(button, GTK_ALIGN_CENTER);
  if (icon) {
    gtk_widget_add_css_class(button, "flat");
    gtk_widget_set_tooltip_text(button, label);
  }
  SetLabel(button, accessible);
  return button;
}

GtkWidget *NewSwitch(const std::string &accessible) {
  GtkWidget *toggle = gtk_switch_new();
  gtk_widget_set_valign(toggle, GTK_ALIGN_CENTER);
  if (!accessible.empty()) SetLabel(toggle, accessible);
  return toggle;
}

class SettingsPage {
 public:
  SettingsPage(GtkWindow *window, std::unique_ptr<Machine> machine, std::string home)
      : window_(window),
        machine_(std::move(machine)),
        home_(std::move(home)),
        file_(tools::PreferencesPath(home_, tools::kDomain)) {
    build();
    watch();
    reload();
    refreshScripts();
    refreshStatus();
  }

  ~SettingsPage() {
    *alive_ = false;
    for (GtkWidget *widget : connected_) g_signal_handlers_disconnect_by_data(widget, this);
    if (hotplugTimer_) g_source_remove(hotplugTimer_);
    for (GFileMonitor *monitor : {prefsMonitor_.get(), inputMonitor_.get()})
      if (monitor) {
        g_signal_handlers_disconnect_by_data(monitor, this);
        g_file_monitor_cancel(monitor);
      }
    if (presses_) presses_->stop();
  }

 private:
  struct ButtonRow {
    const tools::Setting *setting = nullptr;
    GtkWidget *row = nullptr;
    GtkWidget *learn = nullptr;
    GtkWidget *clear = nullptr;
    GtkWidget *on = nullptr;  // the passthrough row's switch
  };

  // ---- building ----

  void build() {
    gtk_window_set_title(window_, "Corvassel");
    gtk_window_set_default_size(window_, 600, 700);
    toasts_ = adw_toast_overlay_new();
    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_box_append(GTK_BOX(box), adw_header_bar_new());
    GtkWidget *page = adw_preferences_page_new();
    gtk_widget_set_vexpand(page, TRUE);
    gtk_box_append(GTK_BOX(box), page);
    adw_toast_overlay_set_child(ADW_TOAST_OVERLAY(toasts_), box);
    adw_application_window_set_content(ADW_APPLICATION_WINDOW(window_), toasts_);

    // What keeps the file from being changed, above all else.
    notice_ = NewGroup(nullptr, nullptr);
    noticeRow_ = NewRow("");
    GtkWidget *noticeIcon = gtk_image_new_from_icon_name("dialog-error-symbolic");
    SetLabel(noticeIcon, "Error");
    adw_action_row_add_prefix(ADW_ACTION_ROW(noticeRow_), noticeIcon);
    gtk_widget_add_css_class(noticeRow_, "error");
    adw_preferences_group_add(ADW_PREFERENCES_GROUP(notice_), noticeRow_);
    adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), ADW_PREFERENCES_GROUP(notice_));

    GtkWidget *status = NewGroup(nullptr, nullptr);
    statusRow_ = NewRow("");
    statusIcon_ = gtk_image_new();
    adw_action_row_add_prefix(ADW_ACTION_ROW(statusRow_), statusIcon_);
    SetLabel(statusIcon_, "Status");
    adw_preferences_group_add(ADW_PREFERENCES_GROUP(status), statusRow_);
    GtkWidget *helper = NewRow("Remap Mouse Buttons");
    adw_action_row_set_subtitle(ADW_ACTION_ROW(helper),
                                "The chosen buttons go back and forward in any application");
    // Named by its row, whose widget it is.
    switch_ = NewSwitch("");
    adw_action_row_add_suffix(ADW_ACTION_ROW(helper), switch_);
    adw_action_row_set_activatable_widget(ADW_ACTION_ROW(helper), switch_);
    g_signal_connect_swapped(switch_, "notify::active",
                             G_CALLBACK(+[](SettingsPage *self) { self->switched(); }), this);
    adw_preferences_group_add(ADW_PREFERENCES_GROUP(status), helper);
    adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), ADW_PREFERENCES_GROUP(status));

    GtkWidget *buttons =
        NewGroup("Buttons", "Passthrough: while it is held, the other buttons click as usual.");
    size_t index = 0;
    for (const tools::Setting &setting : tools::kSettings) {
      if (setting.boolean) continue;
      ButtonRow &row = rows_[index++];
      row.setting = &setting;
      const std::string title = DescribeButtonRow(setting, {}).title;
      row.row = NewRow(title.c_str());
      row.learn = NewSuffixButton("Press a Button…", nullptr, "Press a button for " + title);
      row.clear = NewSuffixButton(setting.fallback ? "Use the Default" : "Clear",
                                  "edit-clear-symbolic", "Clear " + title);
      adw_action_row_add_suffix(ADW_ACTION_ROW(row.row), row.learn);
      adw_action_row_add_suffix(ADW_ACTION_ROW(row.row), row.clear);
      if (std::string_view(setting.key) == "PassthroughButton") {
        row.on = NewSwitch("Passthrough button on");
        adw_action_row_add_suffix(ADW_ACTION_ROW(row.row), row.on);
        g_signal_connect(row.on, "notify::active", G_CALLBACK(OnPassthroughSwitched), this);
      }
      g_signal_connect(row.learn, "clicked", G_CALLBACK(OnLearnClicked), this);
      g_signal_connect(row.clear, "clicked", G_CALLBACK(OnClearClicked), this);
      adw_preferences_group_add(ADW_PREFERENCES_GROUP(buttons), row.row);
    }
    adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), ADW_PREFERENCES_GROUP(buttons));

    GtkWidget *scripts = NewGroup("Extra Scripts", ScriptsDescription(home_).c_str());
    GtkWidget *open = gtk_button_new_with_label("Open Folder");
    gtk_widget_set_valign(open, GTK_ALIGN_CENTER);
    SetLabel(open, "Open the scripts folder");
    g_signal_connect_swapped(
        open, "clicked", G_CALLBACK(+[](SettingsPage *self) { self->openScriptsFolder(); }), this);
    adw_preferences_group_set_header_suffix(ADW_PREFERENCES_GROUP(scripts), open);
    for (GtkWidget *&row : scriptRows_) {
      row = NewRow("");
      adw_preferences_group_add(ADW_PREFERENCES_GROUP(scripts), row);
    }
    adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), ADW_PREFERENCES_GROUP(scripts));
    connected_ = {GTK_WIDGET(window_), switch_, open};
    for (ButtonRow &row : rows_)
      for (GtkWidget *widget : {row.learn, row.clear, row.on})
        if (widget) connected_.push_back(widget);

    // Escape ends a wait for a press, wherever the focus is.
    GtkEventController *keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    g_signal_connect(keys, "key-pressed", G_CALLBACK(OnKeyPressed), this);
    gtk_widget_add_controller(GTK_WIDGET(window_), keys);

    g_signal_connect_swapped(window_, "notify::is-active", G_CALLBACK(+[](SettingsPage *self) {
                               if (!gtk_window_is_active(self->window_)) return;
                               self->reload();
                               self->refreshScripts();
                               self->refreshStatus();
                             }),
                             this);
  }

  void watch() {
    GObjectPtr<GFile> prefs(g_file_new_for_path(file_.path().c_str()));
    prefsMonitor_.reset(g_file_monitor_file(prefs.get(), G_FILE_MONITOR_NONE, nullptr, nullptr));
    if (prefsMonitor_)
      g_signal_connect_swapped(prefsMonitor_.get(), "changed", G_CALLBACK(+[](SettingsPage *self) {
                                 self->reload();
                                 self->refreshStatus();
                               }),
                               this);
    GObjectPtr<GFile> input(g_file_new_for_path("/dev/input"));
    inputMonitor_.reset(
        g_file_monitor_directory(input.get(), G_FILE_MONITOR_NONE, nullptr, nullptr));
    if (inputMonitor_)
      g_signal_connect_swapped(inputMonitor_.get(), "changed",
                               G_CALLBACK(+[](SettingsPage *self) { self->mouseHotplugged(); }),
                               this);
  }

  // ---- showing ----

  void reload() {
    state_ = ReadFileState(file_);
    show();
  }

  void show() {
    updating_ = true;
    const NoticeView notice = DescribeFileNotice(state_);
    gtk_widget_set_visible(notice_, notice.shown);
    adw_preferences_row_set_title(ADW_PREFERENCES_ROW(noticeRow_), notice.title.c_str());
    adw_action_row_set_subtitle(ADW_ACTION_ROW(noticeRow_), notice.detail.c_str());

    const SwitchView toggle = DescribeSwitch(state_, learning_ != nullptr);
    gtk_switch_set_active(GTK_SWITCH(switch_), toggle.active);
    gtk_widget_set_sensitive(switch_, toggle.sensitive);

    for (ButtonRow &row : rows_) {
      const ButtonRowView view = DescribeButtonRow(*row.setting, state_);
      const bool waiting = learning_ == &row;
      adw_action_row_set_subtitle(
          ADW_ACTION_ROW(row.row),
          (waiting ? WaitingSubtitle(waitingNote_) : view.subtitle).c_str());
      gtk_button_set_label(GTK_BUTTON(row.learn), waiting ? "Cancel" : "Press a Button…");
      // Set after the label, which would name it otherwise.
      SetLabel(row.learn,
               (waiting ? "Stop waiting for a button for " : "Press a button for ") + view.title);
      gtk_widget_set_sensitive(row.learn, view.sensitive && (!learning_ || waiting));
      gtk_widget_set_sensitive(row.clear, view.clearable && !learning_);
      if (row.on) {
        gtk_switch_set_active(GTK_SWITCH(row.on), view.on);
        gtk_widget_set_sensitive(row.on, view.sensitive && !learning_);
      }
    }
    updating_ = false;
  }

  void refreshScripts() {
    const std::vector<ScriptRowView> scripts = DescribeScripts(tools::ScriptPlaces(home_));
    for (size_t i = 0; i < scriptRows_.size() && i < scripts.size(); ++i) {
      adw_preferences_row_set_title(ADW_PREFERENCES_ROW(scriptRows_[i]), scripts[i].title.c_str());
      adw_action_row_set_subtitle(ADW_ACTION_ROW(scriptRows_[i]), scripts[i].subtitle.c_str());
    }
  }

  void refreshStatus() {
    showStatus();
    if (checking_) {
      checkAgain_ = true;
      return;
    }
    checking_ = true;
    Machine *machine = machine_.get();
    worker_.run([this, machine, home = home_] {
      auto checks = machine->checks(home);
      return [this, checks = std::move(checks)]() mutable {
        checks_ = std::move(checks);
        checking_ = false;
        showStatus();
        if (std::exchange(checkAgain_, false)) refreshStatus();
      };
    });
  }

  void showStatus() {
    const StatusView status = DescribeStatus(checks_, !state_.usable);
    adw_preferences_row_set_title(ADW_PREFERENCES_ROW(statusRow_), status.headline.c_str());
    adw_action_row_set_subtitle(ADW_ACTION_ROW(statusRow_), status.detail.c_str());
    const bool ok = status.level == Check::Level::kOk;
    const bool problem = status.level == Check::Level::kProblem;
    gtk_image_set_from_icon_name(GTK_IMAGE(statusIcon_), ok        ? "emblem-ok-symbolic"
                                                         : problem ? "dialog-warning-symbolic"
                                                                   : "content-loading-symbolic");
    for (const char *style : {"success", "warning"})
      gtk_widget_remove_css_class(statusIcon_, style);
    if (ok || problem) gtk_widget_add_css_class(statusIcon_, ok ? "success" : "warning");
  }

  void toast(const std::string &text) {
    AdwToast *toast = adw_toast_new("");
    // A toast's title is markup; what it says comes from files and systemctl.
    std::unique_ptr<gchar, GFree> escaped(g_markup_escape_text(text.c_str(), -1));
    adw_toast_set_title(toast, escaped.get());
    adw_toast_set_timeout(toast, 8);
    adw_toast_overlay_add_toast(ADW_TOAST_OVERLAY(toasts_), toast);
  }

  void mouseHotplugged() {
    if (hotplugTimer_) g_source_remove(hotplugTimer_);
    hotplugTimer_ = g_timeout_add(
        kHotplugSettleMillis,
        +[](gpointer data) {
          auto *self = static_cast<SettingsPage *>(data);
          self->hotplugTimer_ = 0;
          self->refreshStatus();
          return G_SOURCE_REMOVE;
        },
        this);
  }

  // ---- changing ----

  // Every change goes the tools' one way; a file the helper ignores is left as it is.
  bool change(const char *key, const std::optional<NewValue> &value) {
    const tools::ChangeResult result = tools::ChangeSetting(file_, key, value);
    if (result.outcome == tools::ChangeResult::Outcome::kIgnoredFile)
      toast("Nothing was changed: " + result.error);
    else if (!result.stored())
      toast("The change could not be saved: " + result.error);
    reload();
    refreshStatus();
    return result.stored();
  }

  void switched() {
    if (updating_) return;
    const bool on = gtk_switch_get_active(GTK_SWITCH(switch_));
    if (!change("Enabled", NewValue::Boolean(on)) || !on) return;
    Machine *machine = machine_.get();
    worker_.run([this, machine, home = home_] {
      std::string said = machine->startHelper(home);
      return [this, said = std::move(said)] {
        if (!said.empty()) toast(said);
        refreshStatus();
      };
    });
  }

  ButtonRow *rowOf(GtkWidget *widget) {
    for (ButtonRow &row : rows_)
      if (row.learn == widget || row.clear == widget || row.on == widget) return &row;
    return nullptr;
  }

  static void OnLearnClicked(GtkWidget *button, SettingsPage *self) {
    ButtonRow *row = self->rowOf(button);
    if (!row) return;
    if (self->learning_ == row)
      self->stopLearning();
    else
      self->learn(*row);
  }

  static void OnClearClicked(GtkWidget *button, SettingsPage *self) {
    if (ButtonRow *row = self->rowOf(button)) self->change(row->setting->key, std::nullopt);
  }

  static void OnPassthroughSwitched(GtkWidget *toggle, GParamSpec *, SettingsPage *self) {
    if (self->updating_) return;
    ButtonRow *row = self->rowOf(toggle);
    // Off is any negative number; on again is the default, the middle button.
    if (row)
      self->change(row->setting->key, gtk_switch_get_active(GTK_SWITCH(toggle))
                                          ? std::nullopt
                                          : std::optional(NewValue::Integer(-1)));
  }

  static gboolean OnKeyPressed(GtkEventControllerKey *, guint keyval, guint, GdkModifierType,
                               SettingsPage *self) {
    if (keyval != GDK_KEY_Escape || !self->learning_) return FALSE;
    self->stopLearning();
    return TRUE;
  }

  void learn(ButtonRow &row) {
    retired_.reset();
    presses_ = machine_->presses();
    std::string error;
    if (!presses_->start([this](const ButtonPress &press) { pressed(press); }, &error)) {
      presses_.reset();
      toast(error);
      return;
    }
    learning_ = &row;
    waitingNote_.clear();
    show();
  }

  void stopLearning() {
    if (presses_) presses_->stop();
    // It may be what called us: it goes once the call is over.
    retired_ = std::move(presses_);
    learning_ = nullptr;
    show();
  }

  void pressed(const ButtonPress &press) {
    if (!learning_) return;
    const tools::PressVerdict verdict = tools::JudgePress(learning_->setting->key, press.number,
                                                          press.onOutput, state_.effective);
    if (!verdict.take) {
      waitingNote_ = verdict.note;
      show();
      return;
    }
    if (!verdict.note.empty()) toast(verdict.note);
    const char *key = learning_->setting->key;
    stopLearning();
    change(key, NewValue::Integer(press.number));
  }

  void openScriptsFolder() {
    const std::string folder = tools::UserScriptsDirectory(home_);
    if (g_mkdir_with_parents(folder.c_str(), 0755) != 0) {
      toast("Cannot create " + folder + ": " + g_strerror(errno));
      return;
    }
    refreshScripts();
    std::unique_ptr<gchar, GFree> uri(g_filename_to_uri(folder.c_str(), nullptr, nullptr));
    if (!uri) return;
    auto *token = new std::pair<std::shared_ptr<bool>, SettingsPage *>(alive_, this);
    gtk_show_uri_full(
        window_, uri.get(), GDK_CURRENT_TIME, nullptr,
        +[](GObject *window, GAsyncResult *result, gpointer data) {
          std::unique_ptr<std::pair<std::shared_ptr<bool>, SettingsPage *>> token(
              static_cast<std::pair<std::shared_ptr<bool>, SettingsPage *> *>(data));
          GError *error = nullptr;
          if (gtk_show_uri_full_finish(GTK_WINDOW(window), result, &error)) return;
          if (*token->first)
            token->second->toast(std::string("Cannot open the folder: ") + error->message);
          g_error_free(error);
        },
        token);
  }

  GtkWindow *window_;
  std::unique_ptr<Machine> machine_;
  const std::string home_;
  tools::PreferencesFile file_;
  FileState state_;
  std::optional<std::vector<Check>> checks_;
  bool checking_ = false;
  bool checkAgain_ = false;
  bool updating_ = false;  // widgets are being set from the file, not by the user
  ButtonRow *learning_ = nullptr;
  std::string waitingNote_;  // why the last press was not taken
  std::unique_ptr<PressSource> presses_;
  std::unique_ptr<PressSource> retired_;
  guint hotplugTimer_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  GtkWidget *toasts_ = nullptr;
  GtkWidget *notice_ = nullptr;
  GtkWidget *noticeRow_ = nullptr;
  GtkWidget *statusRow_ = nullptr;
  GtkWidget *statusIcon_ = nullptr;
  GtkWidget *switch_ = nullptr;
  std::array<ButtonRow, 3> rows_;
  std::array<GtkWidget *, std::size(tools::kScriptNames)> scriptRows_{};
  std::vector<GtkWidget *> connected_;  // widgets with handlers that are given this page
  GObjectPtr<GFileMonitor> prefsMonitor_;
  GObjectPtr<GFileMonitor> inputMonitor_;
  // Last, so that it is gone (its thread ended, its follow-ups dropped) before anything above.
  Worker worker_;
};

}  // namespace

GtkWindow *NewSettingsWindow(AdwApplication *app, std::unique_ptr<Machine> machine,
                             const std::string &home) {
  GtkWindow *window = GTK_WINDOW(adw_application_window_new(GTK_APPLICATION(app)));
  auto *page = new SettingsPage(window, std::move(machine), home);
  // Gone before the widgets it shows are.
  g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget *, gpointer data) {
                     delete static_cast<SettingsPage *>(data);
                   }),
                   page);
  return window;
}

}  // namespace corvassel::settings
