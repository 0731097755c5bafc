// The start-up entry's work: configuration, the always-empty packages directory, the arguments
// recorded at load time, then the framework's start-up run.
#pragma once

namespace pellark {

// Called from the library's load-time initialiser.
void record_process_arguments(int argc, char** argv);

// Runs inside the caller's fault barrier; may end the process.
void run_bootstrap();

}  // namespace pellark
