// What the plugin stand-ins leave behind for tests: one line per registration.
#ifndef PELLARK_PLATFORM_REGISTRATION_LOG_H_
#define PELLARK_PLATFORM_REGISTRATION_LOG_H_

#include <flutter_linux/flutter_linux.h>

#include <cstdio>

#include "engine_private.h"

// Appends "<plugin> registrar=<name> realized=<0|1> focus=<0|1>" to $PELLARK_PLUGIN_LOG.
// Static inline: each plugin library gets its own copy and needs no shared helper library.
static inline void pellark_record_registration(const char* plugin, FlPluginRegistrar* registrar) {
  const char* path = g_getenv("PELLARK_PLUGIN_LOG");
  if (path == nullptr || *path == '\0') return;
  FlView* view = registrar != nullptr ? fl_plugin_registrar_get_view(registrar) : nullptr;
  const char* name = registrar != nullptr ? fl_plugin_registrar_get_name(registrar) : "";
  gboolean realized = view != nullptr && gtk_widget_get_realized(GTK_WIDGET(view));
  gboolean focus = view != nullptr && gtk_widget_is_focus(GTK_WIDGET(view));
  FILE* log = fopen(path, "ae");
  if (log == nullptr) return;
  fprintf(log, "%s registrar=%s realized=%d focus=%d\n", plugin, name, realized, focus);
  fclose(log);
}

#endif
