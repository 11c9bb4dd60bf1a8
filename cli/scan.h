#pragma once

// modbuscalc scan: which units answer on a line or behind a gateway, and
// which register types each serves. Each unit is asked for address 0 of
// each type: any reply means the unit is there; a value, or exception 2
// or 3, that it serves the type; exception 1 that it does not. Silence and
// a gateway's exceptions 10 and 11 mean no unit, after one request, so
// that a scan takes about a timeout for each unit that is not there.

#include "cli/job.h"
#include "cli/output.h"

namespace modbuscalc::cli {

// Writes a line for each unit that answered, "7 holding input coil
// discrete", as it answers; the exit status: 0 if one did, 1 if none.
int RunScan(Job &job, Output &output);

} // namespace modbuscalc::cli
