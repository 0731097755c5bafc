// The stand-in view: runs a tiny UI program and draws it like an engine would, first frame
// off-screen (so the window can stay hidden until there is something to show), then on screen.
#include <glib/gstdio.h>
#include <pango/pangocairo.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "callback_guard.h"
#include "engine_private.h"
#include "ui_program.h"

namespace {

// The UI program's state; C++ members, so it lives outside the GObject instance.
struct UiState {
  pellark::ui::RequestChannel channel;
  pellark::ui::Identity identity;
  std::string status;
};

guint first_frame_signal = 0;

// A non-negative number of milliseconds from the environment, or `fallback`.
guint env_milliseconds(const char* name, guint fallback) {
  const char* value = g_getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  gchar* end = nullptr;
  guint64 ms = g_ascii_strtoull(value, &end, 10);
  if (*end != '\0' || ms > G_MAXUINT) return fallback;
  return static_cast<guint>(ms);
}

}  // namespace

struct _FlView {
  GtkDrawingArea parent_instance;
  FlDartProject* project;
  GdkRGBA background;
  cairo_surface_t* frame;  // the last rendered frame
  guint first_frame_source;
  gboolean first_frame_emitted;
  UiState* ui;
};

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlView, fl_view, GTK_TYPE_DRAWING_AREA,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              fl_view_plugin_registry_iface_init))

// Arguments are bytes, not necessarily UTF-8: quoted as JSON, with U+FFFD for invalid bytes.
static std::string quoted_argument(const char* argument) {
  return nlohmann::json(argument).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

static std::string arguments_line(gchar** args) {
  if (args == nullptr) return "Arguments: (none given)";
  if (args[0] == nullptr) return "Arguments: none";
  std::string line = "Arguments:";
  for (gchar** a = args; *a != nullptr; ++a) line += " " + quoted_argument(*a);
  return line;
}

static void draw_text(cairo_t* cr, PangoLayout* layout, const char* font, const std::string& text,
                      double x, double* y, double r, double g, double b) {
  PangoFontDescription* desc = pango_font_description_from_string(font);
  pango_layout_set_font_description(layout, desc);
  pango_font_description_free(desc);
  pango_layout_set_text(layout, text.c_str(), -1);
  cairo_set_source_rgb(cr, r, g, b);
  cairo_move_to(cr, x, *y);
  pango_cairo_show_layout(cr, layout);
  int width = 0, height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  *y += height + 12;
}

static void render_frame(FlView* self, int width, int height) {
  // Everything that can throw comes before the first cairo object, so a fault leaks none.
  const std::string arguments =
      arguments_line(fl_dart_project_get_dart_entrypoint_arguments(self->project));
  g_clear_pointer(&self->frame, cairo_surface_destroy);
  self->frame = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(self->frame);
  gdk_cairo_set_source_rgba(cr, &self->background);
  cairo_paint(cr);

  PangoLayout* layout = pango_cairo_create_layout(cr);
  pango_layout_set_width(layout, (width - 96) * PANGO_SCALE);
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  double y = 72;
  draw_text(cr, layout, "Sans Bold 44", "Pellark", 48, &y, 0.96, 0.95, 0.92);
  draw_text(cr, layout, "Sans 15", arguments, 48, &y, 0.60, 0.64, 0.72);
  draw_text(cr, layout, "Sans 15", self->ui->identity.summary, 48, &y, 0.60, 0.64, 0.72);
  if (!self->ui->status.empty()) {
    draw_text(cr, layout, "Sans 15", self->ui->status, 48, &y, 0.18, 0.83, 0.77);
  }
  g_object_unref(layout);
  cairo_destroy(cr);
}

static void write_report(FlView* self, gboolean visible_before, gboolean focus_before) {
  const char* path = g_getenv("PELLARK_UI_REPORT");
  if (path == nullptr || *path == '\0') return;

  g_autoptr(GString) out = g_string_new(nullptr);
  gchar** args = fl_dart_project_get_dart_entrypoint_arguments(self->project);
  g_string_append_printf(out, "args_null=%d\n", args == nullptr);
  g_string_append_printf(out, "argc=%u\n", args == nullptr ? 0u : g_strv_length(args));
  for (gchar** a = args; a != nullptr && *a != nullptr; ++a) {
    g_string_append_printf(out, "arg=%s\n", quoted_argument(*a).c_str());
    // The exact bytes, which the quoted form cannot always give back.
    g_string_append(out, "arg_hex=");
    for (const char* c = *a; *c != '\0'; ++c) {
      g_string_append_printf(out, "%02x", static_cast<unsigned char>(*c));
    }
    g_string_append_c(out, '\n');
  }
  g_string_append_printf(out, "updater_loaded=%d\n", self->ui->channel.library_loaded());
  g_string_append_printf(out, "identity=%s\n", self->ui->identity.answer.c_str());

  GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(self));
  if (GTK_IS_WINDOW(top)) {
    GtkWindow* window = GTK_WINDOW(top);
    const gchar* title = gtk_window_get_title(window);
    g_string_append_printf(out, "title=%s\n", title != nullptr ? title : "");
    GtkWidget* bar = gtk_window_get_titlebar(window);
    gboolean header = bar != nullptr && GTK_IS_HEADER_BAR(bar);
    g_string_append_printf(out, "headerbar=%d\n", header);
    if (header) {
      const gchar* bar_title = gtk_header_bar_get_title(GTK_HEADER_BAR(bar));
      g_string_append_printf(out, "headerbar_title=%s\n", bar_title != nullptr ? bar_title : "");
      g_string_append_printf(out, "headerbar_close=%d\n",
                             gtk_header_bar_get_show_close_button(GTK_HEADER_BAR(bar)));
    }
    int w = 0, h = 0;
    gtk_window_get_default_size(window, &w, &h);
    g_string_append_printf(out, "default_size=%dx%d\n", w, h);
    const gchar* icon_name = gtk_window_get_icon_name(window);
    g_string_append_printf(out, "icon_name=%s\n", icon_name != nullptr ? icon_name : "");
    GdkPixbuf* icon = gtk_window_get_icon(window);
    if (icon != nullptr) {
      g_string_append_printf(out, "icon=%dx%d\n", gdk_pixbuf_get_width(icon),
                             gdk_pixbuf_get_height(icon));
    } else {
      g_string_append(out, "icon=none\n");
    }
  }
  g_string_append_printf(out, "backend=%s\n", G_OBJECT_TYPE_NAME(gtk_widget_get_display(top)));
  g_string_append_printf(out, "visible_before_first_frame=%d\n", visible_before);
  g_string_append_printf(out, "visible_after_first_frame=%d\n", gtk_widget_get_visible(top));
  // Focus within the window: showing a window that has none would pick one itself.
  g_string_append_printf(out, "focus_before_first_frame=%d\n", focus_before);
  g_string_append_printf(out, "focus_after_first_frame=%d\n",
                         gtk_widget_is_focus(GTK_WIDGET(self)));

  // Written whole, then renamed, so a reader never sees half a report.
  gchar* partial = g_strconcat(path, ".partial", nullptr);
  if (g_file_set_contents(partial, out->str, static_cast<gssize>(out->len), nullptr)) {
    (void)g_rename(partial, path);
  }
  g_free(partial);
}

namespace {

struct StatusUpdate {
  FlView* view;  // owned reference
  std::string text;
};

gboolean apply_status(gpointer data) {
  std::unique_ptr<StatusUpdate> update(static_cast<StatusUpdate*>(data));
  FlView* view = update->view;
  view->ui->status = std::move(update->text);
  // The drawn frame is cached: the new line only shows once the frame is rendered again.
  if (view->frame != nullptr) {
    pellark::ui::guarded("status line", [view] {
      render_frame(view, cairo_image_surface_get_width(view->frame),
                   cairo_image_surface_get_height(view->frame));
    });
  }
  gtk_widget_queue_draw(GTK_WIDGET(view));
  g_object_unref(view);
  return G_SOURCE_REMOVE;
}

gpointer update_cycle_thread(gpointer data) {
  auto* view = static_cast<FlView*>(data);
  pellark::ui::guarded("update cycle", [view] {
    pellark::ui::run_update_cycle(
        view->ui->channel, g_getenv("PELLARK_RELEASE_FEED"), [view](std::string text) {
          auto update = std::make_unique<StatusUpdate>(StatusUpdate{view, std::move(text)});
          g_object_ref(view);
          g_idle_add(apply_status, update.release());
        });
  });
  g_object_unref(view);
  return nullptr;
}

gboolean start_update_cycle(gpointer data) {
  // Off the main thread, like UI code calling native code from its own isolate.
  GThread* thread = g_thread_new("ui-update", update_cycle_thread, g_object_ref(data));
  g_thread_unref(thread);
  return G_SOURCE_REMOVE;
}

gboolean first_frame(gpointer data) {
  FlView* self = FL_VIEW(data);
  self->first_frame_source = 0;
  // Whatever the UI program makes of the updater, the engine still draws and shows its frame.
  pellark::ui::guarded("identity", [self] {
    self->ui->channel = pellark::ui::RequestChannel::bind();
    self->ui->identity = pellark::ui::ask_identity(self->ui->channel);
  });

  GtkWidget* widget = GTK_WIDGET(self);
  int width = gtk_widget_get_allocated_width(widget);
  int height = gtk_widget_get_allocated_height(widget);
  GtkWidget* top = gtk_widget_get_toplevel(widget);
  if ((width <= 1 || height <= 1) && GTK_IS_WINDOW(top)) {
    gtk_window_get_default_size(GTK_WINDOW(top), &width, &height);
  }
  pellark::ui::guarded(
      "first frame", [self, width, height] { render_frame(self, MAX(width, 1), MAX(height, 1)); });

  gboolean visible_before = gtk_widget_get_visible(top);
  gboolean focus_before = gtk_widget_is_focus(widget);
  self->first_frame_emitted = TRUE;
  g_signal_emit(self, first_frame_signal, 0);
  pellark::ui::guarded("report", [self, visible_before, focus_before] {
    write_report(self, visible_before, focus_before);
  });

  const char* feed = g_getenv("PELLARK_RELEASE_FEED");
  if (feed != nullptr && *feed != '\0') {
    g_timeout_add_full(G_PRIORITY_DEFAULT, env_milliseconds("PELLARK_DEMO_DELAY_MS", 1500),
                       start_update_cycle, g_object_ref(self), g_object_unref);
  }
  return G_SOURCE_REMOVE;
}

}  // namespace

static void fl_view_realize(GtkWidget* widget) {
  GTK_WIDGET_CLASS(fl_view_parent_class)->realize(widget);
  FlView* self = FL_VIEW(widget);
  if (self->first_frame_emitted || self->first_frame_source != 0) return;
  // PELLARK_UI_FIRST_FRAME_DELAY_MS stands for an engine that is slow to produce its frame.
  self->first_frame_source =
      g_timeout_add(env_milliseconds("PELLARK_UI_FIRST_FRAME_DELAY_MS", 0), first_frame, self);
}

static gboolean fl_view_draw(GtkWidget* widget, cairo_t* cr) {
  FlView* self = FL_VIEW(widget);
  int width = gtk_widget_get_allocated_width(widget);
  int height = gtk_widget_get_allocated_height(widget);
  if (self->frame == nullptr) {
    gdk_cairo_set_source_rgba(cr, &self->background);
    cairo_paint(cr);
    return FALSE;
  }
  if (cairo_image_surface_get_width(self->frame) != width ||
      cairo_image_surface_get_height(self->frame) != height) {
    pellark::ui::guarded("redraw", [self, width, height] { render_frame(self, width, height); });
  }
  cairo_set_source_surface(cr, self->frame, 0, 0);
  cairo_paint(cr);
  return FALSE;
}

static void fl_view_dispose(GObject* object) {
  FlView* self = FL_VIEW(object);
  if (self->first_frame_source != 0) {
    g_source_remove(self->first_frame_source);
    self->first_frame_source = 0;
  }
  g_clear_pointer(&self->frame, cairo_surface_destroy);
  g_clear_object(&self->project);
  G_OBJECT_CLASS(fl_view_parent_class)->dispose(object);
}

static void fl_view_finalize(GObject* object) {
  delete FL_VIEW(object)->ui;
  G_OBJECT_CLASS(fl_view_parent_class)->finalize(object);
}

static FlPluginRegistrar* fl_view_get_registrar_for_plugin(FlPluginRegistry* registry,
                                                           const gchar* name) {
  return fl_plugin_registrar_new(FL_VIEW(registry), name);
}

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = fl_view_get_registrar_for_plugin;
}

static void fl_view_class_init(FlViewClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_view_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_view_finalize;
  GTK_WIDGET_CLASS(klass)->realize = fl_view_realize;
  GTK_WIDGET_CLASS(klass)->draw = fl_view_draw;
  first_frame_signal = g_signal_new("first-frame", fl_view_get_type(), G_SIGNAL_RUN_LAST, 0,
                                    nullptr, nullptr, nullptr, G_TYPE_NONE, 0);
}

static void fl_view_init(FlView* self) {
  // No exception out of an instance initialiser; out of memory ends the process, as g_new does.
  self->ui = new (std::nothrow) UiState();
  if (self->ui == nullptr) g_error("out of memory");
  self->background = GdkRGBA{0.0, 0.0, 0.0, 1.0};
  gtk_widget_set_can_focus(GTK_WIDGET(self), TRUE);
}

FlView* fl_view_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  auto* self = FL_VIEW(g_object_new(fl_view_get_type(), nullptr));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  return self;
}

void fl_view_set_background_color(FlView* view, const GdkRGBA* color) {
  g_return_if_fail(FL_IS_VIEW(view));
  g_return_if_fail(color != nullptr);
  view->background = *color;
  if (view->frame != nullptr) {
    // Later frames follow the new colour; the first one is already out.
    pellark::ui::guarded("background", [view] {
      render_frame(view, cairo_image_surface_get_width(view->frame),
                   cairo_image_surface_get_height(view->frame));
    });
    gtk_widget_queue_draw(GTK_WIDGET(view));
  }
}
