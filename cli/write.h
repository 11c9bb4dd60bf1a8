#pragma once

// modbuscalc write: a cell (or an address) and its values from the command
// line, or whole maps. Everything is checked before anything is sent: a
// map with one bad line, or two lines writing one register, writes
// nothing. A map written from a terminal shows what it will do and asks
// first. Then each value goes out at most once, contiguous registers
// together, and with --verify every written register is read back and
// compared word for word.

#include "cli/job.h"
#include "cli/output.h"

namespace modbuscalc::cli {

// Runs write; the exit status: 0 all written (and verified), 1 some line
// failed, differs or may not have taken effect, or the user said no; 2 a
// usage error or a device out of reach or given up on.
int RunWrite(Job &job, Output &output);

} // namespace modbuscalc::cli
