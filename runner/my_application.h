// The GTK application: keeps the UI program's arguments and opens the main window.
#ifndef PELLARK_RUNNER_MY_APPLICATION_H_
#define PELLARK_RUNNER_MY_APPLICATION_H_

#include <gtk/gtk.h>

G_DECLARE_FINAL_TYPE(MyApplication, my_application, MY, APPLICATION, GtkApplication)

// A new application object (full reference).
MyApplication* my_application_new();

#endif
