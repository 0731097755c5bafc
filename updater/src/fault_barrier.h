// The barrier around each exported function: an internal fault becomes one diagnostic line on
// standard error and a fallback value; exhausted memory ends the process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "framework/error.h"

namespace pellark {

void write_fault_diagnostic(const char* what, const std::source_location& where);
// For a fault that did not come from internal_fault: it carries no source location, and the
// barrier's own would mislead. `what` may be null.
void write_unlocated_fault_diagnostic(const char* kind, const char* what);

template <class F, class Fallback>
auto run_in_fault_barrier(F&& body, Fallback&& fallback) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const InternalFault& fault) {
    write_fault_diagnostic(fault.what, fault.where);
  } catch (const std::bad_alloc&) {
    std::abort();
  } catch (const std::exception& e) {
    write_unlocated_fault_diagnostic("std::exception", e.what());
  } catch (...) {
    write_unlocated_fault_diagnostic("exception of unknown type", nullptr);
  }
  return fallback();
}

}  // namespace pellark
