// Registers the UI engine's plugins with a plugin registry.
#ifndef PELLARK_RUNNER_GENERATED_PLUGIN_REGISTRANT_H_
#define PELLARK_RUNNER_GENERATED_PLUGIN_REGISTRANT_H_

#include <flutter_linux/flutter_linux.h>

void fl_register_plugins(FlPluginRegistry* registry);

#endif
