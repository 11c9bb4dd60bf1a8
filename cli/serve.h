#pragma once

// modbuscalc serve: a simulated controller, its values set by maps read
// exactly as write reads them. Each request is logged on standard error;
// when a signal ends it, --save writes the maps back with the values
// served then.

#include "cli/job.h"
#include "cli/output.h"

namespace modbuscalc::cli {

// Runs serve until a signal stops it; the exit status: 0, or 2 for a map
// with a bad line or a port or line that cannot be opened.
int RunServe(Job &job, Output &output);

} // namespace modbuscalc::cli
