// GLib and GTK call the engine from C, where a C++ exception would abort the process. Every
// callback that runs C++ code that can throw runs it through `guarded`.
#ifndef PELLARK_PLATFORM_CALLBACK_GUARD_H_
#define PELLARK_PLATFORM_CALLBACK_GUARD_H_

#include <glib.h>

#include <exception>
#include <utility>

namespace pellark::ui {

// Runs `body`. A fault in it is reported once as a GLib critical naming `where`, and the caller
// goes on as if `body` had stopped there. Returns whether `body` finished.
template <typename Body>
bool guarded(const char* where, Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
    return true;
  } catch (const std::exception& e) {
    g_critical("%s: %s", where, e.what());
  } catch (...) {
    g_critical("%s: unknown fault", where);
  }
  return false;
}

}  // namespace pellark::ui

#endif
