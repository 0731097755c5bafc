/* Stand-in of the secure-storage plugin. */
#ifndef FLUTTER_SECURE_STORAGE_LINUX_PLUGIN_H_
#define FLUTTER_SECURE_STORAGE_LINUX_PLUGIN_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

FLUTTER_LINUX_EXPORT void flutter_secure_storage_linux_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

G_END_DECLS

#endif
