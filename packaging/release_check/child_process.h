// Runs a helper program (Debian's unsquashfs) to completion and collects what it wrote, so the
// check reads squashfs images without a reader of its own.
#pragma once

#include <string>
#include <vector>

#include "checked.h"

namespace pellark::release_check {

struct ProgramRun {
  int status = 0;  // exit status, or 128 + signal when it was killed
  std::string out;
  std::string err;
};

// Starts argv[0] (searched in PATH) as a user would: empty signal mask, default dispositions,
// standard input from /dev/null. Fails only when it cannot be started or its output is huge.
Checked<ProgramRun> run_program(const std::vector<std::string>& argv);

}  // namespace pellark::release_check
