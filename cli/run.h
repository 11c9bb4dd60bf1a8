#pragma once

// Runs a checked job by its verb: conversions, a read (once or watched), a
// write, or a scan.

#include "cli/job.h"
#include "cli/output.h"

namespace modbuscalc::cli {

// Runs it, writing to output; returns the exit status.
int Run(Job &job, Output &output);

} // namespace modbuscalc::cli
