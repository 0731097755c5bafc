// The stand-in project: all it carries is the UI program's entry-point arguments.
#include "engine_private.h"

struct _FlDartProject {
  GObject parent_instance;
  gchar** dart_entrypoint_arguments;
};

G_DEFINE_TYPE(FlDartProject, fl_dart_project, G_TYPE_OBJECT)

static void fl_dart_project_finalize(GObject* object) {
  FlDartProject* self = FL_DART_PROJECT(object);
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  G_OBJECT_CLASS(fl_dart_project_parent_class)->finalize(object);
}

static void fl_dart_project_class_init(FlDartProjectClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = fl_dart_project_finalize;
}

static void fl_dart_project_init(FlDartProject*) {}

FlDartProject* fl_dart_project_new(void) {
  return FL_DART_PROJECT(g_object_new(fl_dart_project_get_type(), nullptr));
}

void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* project, char** argv) {
  g_return_if_fail(FL_IS_DART_PROJECT(project));
  // A copy: the caller's vector may go away before the UI program starts.
  gchar** copy = g_strdupv(argv);
  g_strfreev(project->dart_entrypoint_arguments);
  project->dart_entrypoint_arguments = copy;
}

gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  return project->dart_entrypoint_arguments;
}
