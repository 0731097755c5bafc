#include "flutter_secure_storage_linux/flutter_secure_storage_linux_plugin.h"

#include "../registration_log.h"

void flutter_secure_storage_linux_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  pellark_record_registration("flutter_secure_storage_linux", registrar);
}
