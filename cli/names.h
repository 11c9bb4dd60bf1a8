#pragma once

// Every list of names the command line takes, one table each: the parser,
// --help, messages and the tests of the manual page and completion all read
// these, so a new name is one row.

#include "core/notation.h"
#include "core/register_value.h"
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

using device::Parity;

// How read writes its results: as the map's own lines, or for machines.
enum class OutputFormat { Text, Json, Csv };

// The engines export writes a map for.
enum class ExportTarget { Telegraf, HomeAssistant, NodeRed };

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

// Our own names, then the IEC 61131-3 types engineers write in their maps,
// then the names spreadsheets use.
inline constexpr std::array<Name<ValueFormat>, 22> ValueFormatNames = { {
    { "u16", ValueFormat::U16, "16 bits unsigned (default)" },
    { "s16", ValueFormat::S16, "16 bits signed" },
    { "hex", ValueFormat::Hex, "16 bits in hex" },
    { "u32", ValueFormat::U32, "32 bits unsigned, two registers" },
    { "s32", ValueFormat::S32, "32 bits signed, two registers" },
    { "f32", ValueFormat::F32, "a 32-bit float, two registers" },
    { "u64", ValueFormat::U64, "64 bits unsigned, four registers" },
    { "s64", ValueFormat::S64, "64 bits signed, four registers" },
    { "f64", ValueFormat::F64, "a 64-bit float, four registers" },
    { "UINT", ValueFormat::U16, "as u16" },
    { "INT", ValueFormat::S16, "as s16" },
    { "WORD", ValueFormat::Hex, "as hex" },
    { "UDINT", ValueFormat::U32, "as u32" },
    { "DINT", ValueFormat::S32, "as s32" },
    { "REAL", ValueFormat::F32, "as f32" },
    { "ULINT", ValueFormat::U64, "as u64" },
    { "LINT", ValueFormat::S64, "as s64" },
    { "LREAL", ValueFormat::F64, "as f64" },
    { "FLOAT", ValueFormat::F32, "as f32" },
    { "DWORD", ValueFormat::U32, "as u32" },
    { "BOOL", ValueFormat::Bit, "one bit, 0 or 1: coils and discrete inputs" },
    { "BIT", ValueFormat::Bit, "as BOOL" },
} };

inline constexpr std::array<Name<WordOrder>, 6> WordOrderNames = { {
    { "high-first", WordOrder::ABCD, "the cell holds the high word (default)" },
    { "low-first", WordOrder::CDAB, "the cell holds the low word" },
    { "ABCD", WordOrder::ABCD, "bytes as the protocol sends them, high word first" },
    { "CDAB", WordOrder::CDAB, "words swapped" },
    { "BADC", WordOrder::BADC, "bytes of each register swapped" },
    { "DCBA", WordOrder::DCBA, "words and bytes swapped" },
} };

inline constexpr std::array<Name<ExportTarget>, 3> ExportTargetNames = { {
    { "telegraf", ExportTarget::Telegraf, "[[inputs.modbus]] plugins, TOML" },
    { "home-assistant", ExportTarget::HomeAssistant, "the modbus: integration, YAML" },
    { "node-red", ExportTarget::NodeRed, "a flow of node-red-contrib-modbus, JSON" },
} };

inline constexpr std::array<Name<OutputFormat>, 3> OutputFormatNames = { {
    { "text", OutputFormat::Text, "the map's own lines, results added (default)" },
    { "json", OutputFormat::Json, "JSON Lines: an object for each value" },
    { "csv", OutputFormat::Csv, "RFC 4180 records: a header, then a record for each value" },
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

// The first name of a value: its own, not another spelling.
template <typename Value, std::size_t N>
constexpr std::string_view NameOf(const std::array<Name<Value>, N> &names, Value value)
{
    const auto found = std::find_if(
        names.begin(), names.end(), [value](const Name<Value> &row) { return row.value == value; });
    return found == names.end() ? std::string_view() : found->name;
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

} // namespace modbuscalc::cli
