#pragma once

// modbuscalc write: a cell (or an address) and its values from the command
// line, or whole maps. Everything is checked before anything is sent: a
// map with one bad line, or two lines writing one register, writes
// nothing. A map written from a terminal shows what it will do and asks
// first. Then each value goes out at most once, contiguous registers
// together, and with --verify every written register is read back and
// compared word for word.

#include "cli/batch.h"
#include "cli/job.h"
#include "cli/output.h"

#include <string>
#include <vector>

namespace modbuscalc::cli {

// A line that writes (or, served, sets) values, wherever it came from; in
// the order of the inputs and their lines.
struct MapLine {
    std::size_t input; // which of the inputs; 0 for the command line
    const BatchConverter::Pending *pending; // nullptr for the command line
    const PreparedWrite *write;
    std::size_t lineNumber() const { return pending ? pending->lineNumber : 0; }
    // Its device in the fleet, where the map names its lines' devices.
    std::size_t device() const { return pending ? pending->device : 0; }
};

// The job's maps, read and checked whole: each input's name and text, and
// the lines that set values. Lines with a problem are told and counted in
// rejected; status is ExitTrouble where an input could not be read.
struct MapLines {
    std::vector<std::string> names;
    std::vector<BatchConverter::Held> held;
    std::vector<MapLine> lines;
    std::size_t rejected = 0;
    int status = ExitOk;
};
// false when a stop came first. fleet: where the maps name each line's
// device (defaults: where a line names none), those devices.
bool HoldMaps(Job &job, MapLines &maps, device::Fleet *fleet = nullptr,
    std::optional<device::Connection> defaults = std::nullopt);

// No register of a device is set by two lines: which value would win is
// anyone's guess. Each later line is told; true when there were none.
// sameValueTwice lets two lines name a register with the same value.
bool EachRegisterOnce(const Options &options, const std::vector<MapLine> &lines,
    const std::vector<std::string> &names, bool sameValueTwice);

// Runs write; the exit status: 0 all written (and verified), 1 some line
// failed, differs or may not have taken effect, or the user said no; 2 a
// usage error or a device out of reach or given up on.
int RunWrite(Job &job, Output &output);

} // namespace modbuscalc::cli
