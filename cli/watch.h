#pragma once

// read again and again, on a fixed schedule, and read's results for
// machines. Poll k starts at start + k x interval, so that a thousand polls
// do not drift; a poll that overruns its slot is followed at once by the
// next, with no burst to catch up, and counted. Each poll writes its lines
// with the time it started (RFC 3339, UTC, milliseconds), as text, JSON
// Lines or RFC 4180 CSV, all of them or only what changed, and hands them
// on as it ends. A dead device costs a poll three requests and is
// asked afresh at the next: a watch never gives up.

#include "cli/job.h"
#include "cli/output.h"

#include <chrono>
#include <string>

namespace modbuscalc::cli {

// Whether read runs here: with --interval, or output for machines.
bool Watching(const Invocation &invocation);

// Runs it; the exit status: 0, or 1 if any poll had a failed line, or 2
// for trouble reading a map.
int RunWatch(Job &job, Output &output);

// "2026-12-08T20:50:04.123Z".
std::string Rfc3339(std::chrono::system_clock::time_point time);

} // namespace modbuscalc::cli
