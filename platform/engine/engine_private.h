/* Engine internals shared by the engine's own files and the plugin stand-ins. */
#ifndef PELLARK_PLATFORM_ENGINE_PRIVATE_H_
#define PELLARK_PLATFORM_ENGINE_PRIVATE_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

struct _FlPluginRegistryInterface {
  GTypeInterface g_iface;
  FlPluginRegistrar* (*get_registrar_for_plugin)(FlPluginRegistry* registry, const gchar* name);
};

/* Borrowed; NULL when the project has no arguments yet. */
gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* project);

FlPluginRegistrar* fl_plugin_registrar_new(FlView* view, const gchar* name);

/* The registrar's view (borrowed, NULL once the view is gone) and plugin name. */
FLUTTER_LINUX_EXPORT FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* registrar);
FLUTTER_LINUX_EXPORT const gchar* fl_plugin_registrar_get_name(FlPluginRegistrar* registrar);

G_END_DECLS

#endif
