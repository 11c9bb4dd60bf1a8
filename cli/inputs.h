#pragma once

// The maps a verb reads: each input opened when its turn comes, read in
// blocks or whole, closed and checked; a read that waits ends when a stop
// says so.

#include "cli/batch.h"

#include <functional>
#include <string>

namespace modbuscalc::cli {

// One input through the converter: opened when its turn comes, converted
// into out (flush hands it on), closed and checked; a wait for input ends
// when stopped says so. The status: ExitOk, or ExitTrouble (told).
int ConvertInput(BatchConverter &batch, const std::string &file, const Options &options,
    std::string &out, const std::function<void(std::string &)> &flush,
    const std::function<bool()> &stopped);

// One input read whole, as text (UTF-16 with its mark turned into UTF-8):
// ExitOk, or ExitTrouble (told).
int ReadWhole(const std::string &file, std::string &text, const std::function<bool()> &stopped);

} // namespace modbuscalc::cli
