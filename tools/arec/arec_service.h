#pragma once
// The zento_arec receive loop: registers under the service name, prints one
// line per message (the first only with --quiet), keeps forwarded messages in
// the --out file and answers them as the options say.
#include <csignal>

#include "tools/arec/arec_options.h"

// Runs until stop becomes nonzero (a signal handler sets it), or after the
// end-of-file notice with --exit-on-eof. Result: the process exit code.
int runArec(const ArecOptions& options, const volatile std::sig_atomic_t& stop);
