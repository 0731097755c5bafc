/* Pellark's stand-in UI engine: only the calls the application shell makes. */
#ifndef FLUTTER_LINUX_FLUTTER_LINUX_H_
#define FLUTTER_LINUX_FLUTTER_LINUX_H_

#include <gtk/gtk.h>

#define FLUTTER_LINUX_EXPORT __attribute__((visibility("default")))

G_BEGIN_DECLS

/* The UI program's project: keeps the entry point's arguments. */
FLUTTER_LINUX_EXPORT
G_DECLARE_FINAL_TYPE(FlDartProject, fl_dart_project, FL, DART_PROJECT, GObject)

FLUTTER_LINUX_EXPORT FlDartProject* fl_dart_project_new(void);
FLUTTER_LINUX_EXPORT void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* project,
                                                                        char** argv);

/* Handed to a plugin at registration. */
FLUTTER_LINUX_EXPORT
G_DECLARE_FINAL_TYPE(FlPluginRegistrar, fl_plugin_registrar, FL, PLUGIN_REGISTRAR, GObject)

/* Hands out one registrar per plugin name; implemented by FlView. */
FLUTTER_LINUX_EXPORT
G_DECLARE_INTERFACE(FlPluginRegistry, fl_plugin_registry, FL, PLUGIN_REGISTRY, GObject)

/* Returns a new reference. */
FLUTTER_LINUX_EXPORT FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(
    FlPluginRegistry* registry, const gchar* name);

/* The widget the UI program draws into. Emits "first-frame" once its first frame exists. */
FLUTTER_LINUX_EXPORT
G_DECLARE_FINAL_TYPE(FlView, fl_view, FL, VIEW, GtkDrawingArea)

FLUTTER_LINUX_EXPORT FlView* fl_view_new(FlDartProject* project);
FLUTTER_LINUX_EXPORT void fl_view_set_background_color(FlView* view, const GdkRGBA* color);

G_END_DECLS

#endif
