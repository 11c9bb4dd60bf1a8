#pragma once

// The verbs that read no device map through the converter as they are
// given: the numbers on the command line, or each input in turn.

#include "cli/job.h"
#include "cli/output.h"

namespace modbuscalc::cli {

// Converts, writing to output; returns the exit status.
int RunConversions(Job &job, Output &output);

} // namespace modbuscalc::cli
