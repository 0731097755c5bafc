// Registrars and the registry interface that hands them out.
#include "engine_private.h"

struct _FlPluginRegistrar {
  GObject parent_instance;
  FlView* view;  // weak: a plugin may keep its registrar longer than the view lives
  gchar* name;
};

G_DEFINE_TYPE(FlPluginRegistrar, fl_plugin_registrar, G_TYPE_OBJECT)

static void fl_plugin_registrar_dispose(GObject* object) {
  FlPluginRegistrar* self = FL_PLUGIN_REGISTRAR(object);
  if (self->view != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(self->view), reinterpret_cast<gpointer*>(&self->view));
    self->view = nullptr;
  }
  G_OBJECT_CLASS(fl_plugin_registrar_parent_class)->dispose(object);
}

static void fl_plugin_registrar_finalize(GObject* object) {
  g_free(FL_PLUGIN_REGISTRAR(object)->name);
  G_OBJECT_CLASS(fl_plugin_registrar_parent_class)->finalize(object);
}

static void fl_plugin_registrar_class_init(FlPluginRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_plugin_registrar_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_plugin_registrar_finalize;
}

static void fl_plugin_registrar_init(FlPluginRegistrar*) {}

FlPluginRegistrar* fl_plugin_registrar_new(FlView* view, const gchar* name) {
  auto* self = FL_PLUGIN_REGISTRAR(g_object_new(fl_plugin_registrar_get_type(), nullptr));
  self->view = view;
  if (view != nullptr) {
    g_object_add_weak_pointer(G_OBJECT(view), reinterpret_cast<gpointer*>(&self->view));
  }
  self->name = g_strdup(name);
  return self;
}

FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* registrar) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(registrar), nullptr);
  return registrar->view;
}

const gchar* fl_plugin_registrar_get_name(FlPluginRegistrar* registrar) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(registrar), nullptr);
  return registrar->name;
}

G_DEFINE_INTERFACE(FlPluginRegistry, fl_plugin_registry, G_TYPE_OBJECT)

static void fl_plugin_registry_default_init(FlPluginRegistryInterface*) {}

FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(FlPluginRegistry* registry,
                                                               const gchar* name) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRY(registry), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  return FL_PLUGIN_REGISTRY_GET_IFACE(registry)->get_registrar_for_plugin(registry, name);
}
