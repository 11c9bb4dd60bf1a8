#pragma once

// Every list of names the command line takes, one table each: the parser,
// --help, messages and the tests of the manual page and completion all read
// these, so a new name is one row.

#include "core/notation.h"
#include "core/text.h"
#include "device/device.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace modbuscalc::cli {

// How addresses are read and written.
enum class Notation {
    Address, // as the window shows it: 0-based, or 1-based with -m
    Hex, // the same number in hex, "0x0901"
    Reference, // the 6-digit reference, "402306", whatever the mode
};

// How read shows each value: 16 bits unsigned, signed or in hex; or 32 bits
// from two registers, unsigned, signed or as a float.
enum class ValueFormat { U16, S16, Hex, U32, S32, F32 };

// Which register of a 32-bit pair holds the high word.
enum class WordOrder { HighFirst, LowFirst };

using device::Parity;

template <typename Value> struct Name {
    std::string_view name;
    Value value;
    std::string_view help; // empty: another spelling, not listed
};

inline constexpr std::array<Name<Notation>, 4> NotationNames = { {
    { "address", Notation::Address, "as the window shows it (default)" },
    { "hex", Notation::Hex, "the same number in hex, 0x0901" },
    { "ref", Notation::Reference, "the 6-digit reference, 402306" },
    { "reference", Notation::Reference, "" },
} };

inline constexpr std::array<Name<RegisterType>, 4> RegisterTypeNames = { {
    { "holding", RegisterType::HoldingRegister, "holding registers, 4xxxxx (default)" },
    { "input", RegisterType::InputRegister, "input registers, 3xxxxx" },
    { "discrete", RegisterType::DiscreteInput, "discrete inputs, 1xxxxx" },
    { "coil", RegisterType::Coil, "coils, 0xxxxx" },
} };

// Our own names, then the IEC 61131-3 types engineers write in their maps.
inline constexpr std::array<Name<ValueFormat>, 12> ValueFormatNames = { {
    { "u16", ValueFormat::U16, "16 bits unsigned (default)" },
    { "s16", ValueFormat::S16, "16 bits signed" },
    { "hex", ValueFormat::Hex, "16 bits in hex" },
    { "u32", ValueFormat::U32, "32 bits unsigned, two registers" },
    { "s32", ValueFormat::S32, "32 bits signed, two registers" },
    { "f32", ValueFormat::F32, "a 32-bit float, two registers" },
    { "UINT", ValueFormat::U16, "as u16" },
    { "INT", ValueFormat::S16, "as s16" },
    { "WORD", ValueFormat::Hex, "as hex" },
    { "UDINT", ValueFormat::U32, "as u32" },
    { "DINT", ValueFormat::S32, "as s32" },
    { "REAL", ValueFormat::F32, "as f32" },
} };

inline constexpr std::array<Name<WordOrder>, 2> WordOrderNames = { {
    { "high-first", WordOrder::HighFirst, "the cell holds the high word (default)" },
    { "low-first", WordOrder::LowFirst, "the cell holds the low word" },
} };

inline constexpr std::array<Name<Parity>, 3> ParityNames = { {
    { "N", Parity::None, "none" },
    { "E", Parity::Even, "even (default)" },
    { "O", Parity::Odd, "odd" },
} };

// The value a name stands for, in any letter case, or nullopt.
template <typename Value, std::size_t N>
constexpr std::optional<Value> FindName(
    const std::array<Name<Value>, N> &names, std::string_view name)
{
    const auto found = std::find_if(names.begin(), names.end(),
        [name](const Name<Value> &row) { return EqualsIgnoringCase(row.name, name); });
    return found == names.end() ? std::nullopt : std::optional<Value>(found->value);
}

// The listed names as a message or help text gives them: "a, b or c"; with
// markDefault, "a (default), b or c".
template <typename Value, std::size_t N>
std::string NameList(const std::array<Name<Value>, N> &names, bool markDefault = false)
{
    std::string list;
    std::size_t left = static_cast<std::size_t>(std::count_if(
        names.begin(), names.end(), [](const Name<Value> &row) { return !row.help.empty(); }));
    for (const Name<Value> &row : names) {
        if (row.help.empty())
            continue;
        list += row.name;
        if (markDefault && row.help.ends_with("(default)"))
            list += " (default)";
        --left;
        list += left > 1 ? ", " : left == 1 ? " or " : "";
    }
    return list;
}

// Registers one value of the format takes: 2 for 32-bit formats.
int RegistersPerValue(ValueFormat format);

} // namespace modbuscalc::cli
