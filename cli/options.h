#pragma once

// The command line read into a typed invocation: a verb, its options as
// enums and numbers, and the operands. Reading it does no I/O at all: no
// file is looked at and no device is asked; a usage error is a value.

#include "cli/verbs.h"
#include "device/device.h"
#include "device/server.h"

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace modbuscalc::cli {

// serve: where it listens, the units, the faults, what changes by itself,
// and where its values go when it ends.
struct Serving {
    device::Link link;
    device::ServeRules rules;
    std::vector<device::Ramp> ramps;
    std::string save; // a file, or empty
};

struct Invocation {
    const Verb *verb = nullptr;
    Options options; // its device is set once connected
    std::optional<device::Connection> connection; // read: where the device is
    bool verbose = false; // each request and answer on standard error
    std::vector<std::string> operands;
    // Exactly the verb's count of operands, each reading as a number: one
    // conversion, whatever files exist.
    bool numbers = false;
    // write with its cell or address and values on the command line, checked.
    std::optional<PreparedWrite> write;
    std::optional<Serving> serving;
};

// Text to write on standard output before exiting with success: --help,
// --version.
struct ShowText {
    std::string text;
};

struct UsageError {
    std::string message; // "unrecognized option '--bogus'"
};

using ParseResult = std::variant<Invocation, ShowText, UsageError>;

// Reads the arguments (argv[0] first, as main() gets them).
ParseResult ParseCommandLine(std::span<const char *const> arguments);

// "3,4,5" or "3-5": 1-based column numbers, to 0-based; nullopt for
// anything else, and for a range of over 64 columns.
std::optional<std::vector<std::size_t>> FieldList(const std::string &list);

} // namespace modbuscalc::cli
