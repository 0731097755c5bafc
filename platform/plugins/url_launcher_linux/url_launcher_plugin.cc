#include "url_launcher_linux/url_launcher_plugin.h"

#include "../registration_log.h"

void url_launcher_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  pellark_record_registration("url_launcher_linux", registrar);
}
