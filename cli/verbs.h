#pragma once

// What modbuscalc can convert: a table of verbs, each with its count of
// inputs, the names of its results and the function that converts one set
// of inputs. Every result comes from the same conversions the window uses.

#include "core/address_conversion.h"
#include "core/notation.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modbuscalc::cli {

// How addresses are read and written.
enum class Notation {
    Address, // as the window shows it: 0-based, or 1-based with -m
    Hex, // the same number in hex, "0x0901"
    Reference, // the 6-digit reference, "402306", whatever the mode
};

class Device;

// How read shows each value: 16 bits unsigned, signed or in hex; or 32 bits
// from two registers, unsigned, signed or as a float.
enum class ValueFormat { U16, S16, Hex, U32, S32, F32 };

struct Options {
    AddressingMode mode = AddressingMode::Absolute;
    bool lenient = false; // read numbers as the window does, never reject
    bool header = false; // each input's first line names its columns
    bool quiet = false; // no message for each rejected line
    bool all = false; // every notation side by side
    Notation notation = Notation::Address;
    RegisterType type = RegisterType::HoldingRegister;
    std::optional<char> delimiter; // the separator, instead of detecting it
    std::vector<std::size_t> fields; // 0-based columns to read, in order
    std::vector<std::string> columns; // header names to read, in order
    // read only:
    Device *device = nullptr;
    int count = 1; // values from the cell on
    ValueFormat format = ValueFormat::U16;
    bool lowWordFirst = false; // 32-bit values: the cell holds the low word
};

// Registers one value of the format takes: 2 for 32-bit formats.
int RegistersPerValue(ValueFormat format);

// The most registers (or bits) one request may ask for.
inline constexpr int MaxRegistersPerRead = 125;
inline constexpr int MaxBitsPerRead = 2000;

// The results of one conversion, as texts.
struct Conversion {
    std::vector<std::string> results;
    bool inRange = false; // false when the results are "Error"
    // Why the inputs were rejected: the input's index and what is wrong
    // ("is not a number"); or, for inputs out of range, "is out of range"
    // about the whole set (index none).
    std::optional<std::size_t> rejectedInput;
    std::string problem;
};

struct Verb {
    std::string_view name;
    std::string_view operands; // as the help shows them: "TABLE COLUMN ROW"
    std::string_view summary;
    std::size_t inputs;
    std::vector<std::string_view> (*resultNames)(const Options &options);
    void (*convert)(
        const Options &options, std::span<const std::string_view> inputs, Conversion &conversion);
};

std::span<const Verb> Verbs();
const Verb *FindVerb(std::string_view name);

// One input number: "0x"/"0X" hex as an unsigned number in both modes;
// otherwise, strictly, a text that is wholly a whole number (nullopt, with
// problem set, for anything else); leniently, the number the text begins
// with, as the window reads a field.
std::optional<double> ReadInput(std::string_view text, bool lenient, std::string &problem);

} // namespace modbuscalc::cli
