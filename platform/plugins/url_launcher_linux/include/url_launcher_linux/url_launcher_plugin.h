/* Stand-in of the URL-launcher plugin. */
#ifndef URL_LAUNCHER_LINUX_URL_LAUNCHER_PLUGIN_H_
#define URL_LAUNCHER_LINUX_URL_LAUNCHER_PLUGIN_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

FLUTTER_LINUX_EXPORT void url_launcher_plugin_register_with_registrar(FlPluginRegistrar* registrar);

G_END_DECLS

#endif
