/* Preloaded: every g_application_register fails with the message in $PELLARK_REGISTER_ERROR, the
 * way a registration that GLib cannot complete comes back to the application. */
#include <gio/gio.h>
#include <stdlib.h>

__attribute__((visibility("default"))) gboolean g_application_register(GApplication* application,
                                                                       GCancellable* cancellable,
                                                                       GError** error) {
  (void)application;
  (void)cancellable;
  const char* message = getenv("PELLARK_REGISTER_ERROR");
  g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED,
                      message != NULL ? message : "registration refused");
  return FALSE;
}
