#pragma once

// Why an input, a conversion or a line of a map was rejected: a kind and
// its particulars, carried as a value and put into words in one place.

#include "core/notation.h"
#include "device/device.h"

#include <cstddef>
#include <optional>
#include <string>

namespace modbuscalc::cli {

struct Problem {
    enum class Kind {
        // One input; input and text say which.
        Empty,
        NotANumber,
        NotAWholeNumber,
        NotAHexNumber,
        NotAReference,
        // The inputs as a whole; subject names them ("cell 1 2 3").
        OutOfRange,
        NoWholeAddress,
        ReadsPastTheEnd,
        BitsHaveNoWideFormat,
        RegistersHaveNoBitFormat,
        UnknownFormat, // text: the format as given
        NoDevice,
        ReadFailed, // device says why
        NotRead, // a line the reads should have reached and did not: our fault
        ReadOnly, // text: the type's name
        BadValue, // text: the value; expected: which value (from 0); found: of how many;
        // subject: what it should be ("u16 (0 to 65535)")
        WritesPastTheEnd,
        WriteFailed, // device says why
        NotSent, // a write never sent: the device was given up on first
        WrittenTwice, // found: the other line; text: the register, as the map counts
        ReadBackDiffers, // text: written; subject2: read back
        NotReadBack, // device says why
        // A line of a map.
        FieldCount, // expected fields, found
        NoSuchField, // field, found
        UnclosedQuote,
        LineTooLong, // expected: the limit in bytes
        // An input's header.
        NoSuchColumn, // text: the column's name
        // A line's device: text as written, subject what it should be.
        BadDevice,
    };
    explicit Problem(Kind what)
        : kind(what)
    {
    }

    Kind kind;
    std::optional<std::size_t> input; // the input's index, for one input
    std::string text; // the input as written, or the column's name
    std::string subject; // "cell 1 2 3", "address 70000"
    std::string other; // ReadBackDiffers: the value read back
    device::DeviceError device;
    std::size_t expected = 0;
    std::size_t expectedOther = 0; // another count that would do, or 0
    std::size_t found = 0;
    // Where a map line's input stands: its field number from 1, 0 if none.
    std::size_t field = 0;
};

Problem InputProblem(Problem::Kind kind, std::size_t input, std::string text);
Problem SubjectProblem(Problem::Kind kind, std::string subject);
// A value that is not one of what it should be ("u16 (0 to 65535)"); which:
// its place among the line's values.
Problem ValueProblem(std::string value, std::string shouldBe, std::size_t which);

// The problem in the user's words: "'12abc' is not a number", "field 3
// ('x') is not a number", "cell 32 0 0 is out of range".
std::string Describe(const Problem &problem);

} // namespace modbuscalc::cli
