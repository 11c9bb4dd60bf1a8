#pragma once

// What modbuscalc can convert: a table of verbs, each with its count of
// inputs, the names of its results and the function that converts one set
// of inputs. Every result comes from the same conversions the window uses.

#include "cli/names.h"
#include "cli/problem.h"
#include "core/cell_address.h"
#include "core/notation.h"
#include "device/read_plan.h"
#include "device/write_plan.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace modbuscalc::cli {

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
    int count = 1; // values from the cell on
    ValueFormat format = ValueFormat::U16;
    WordOrder wordOrder = WordOrder::ABCD;
    int maxGap = 0; // registers nobody asked for that one request may span
    std::string formatColumn; // each line's format: a field number from 1, or a name
    double interval = 0; // seconds between polls; 0: read once
    int polls = 0; // polls to make; 0: until stopped
    OutputFormat output = OutputFormat::Text;
    bool changes = false; // after the first poll, only what changed
    // scan only: the units to ask
    int firstUnit = 1, lastUnit = 247;
    // write only:
    std::string valueColumn; // each line's value: a field number from 1, or a name
    device::WriteFunction function = device::WriteFunction::Fitting;
    bool verify = false; // read every written register back and compare
    bool yes = false; // write a map without asking
    bool dryRun = false; // show the requests, send none
    // serve: a map sets the read-only types too, and a line without a value
    // column names its registers, at 0.
    bool serving = false;
    // Maps of several devices: each line's unit, and its host (or serial
    // device, with deviceIsSerial), from these columns; a line without one
    // takes --unit, --host or --serial. A number from 1, or a name.
    std::string unitColumn, deviceColumn;
    bool deviceIsSerial = false;
    device::SerialLine serialSettings; // a serial device's line, as --baud and the rest say
    std::string nameColumn; // export: each line's name
    ExportTarget target = ExportTarget::Telegraf; // export: for which engine
    // Whether lines name their devices.
    bool severalDevices() const { return !unitColumn.empty() || !deviceColumn.empty(); }
};

// The results of one conversion, as texts: "Error" in each where there is
// a problem.
struct Conversion {
    std::vector<std::string> results;
    std::optional<Problem> problem;
};

struct Verb {
    std::string_view name;
    std::string_view operands; // as the help shows them: "TABLE COLUMN ROW"
    std::string_view summary;
    std::size_t inputs;
    std::size_t otherInputs; // another count it takes (read: an address), or 0
    bool takesAddress; // its one input is an address in the notation -n names
    std::vector<std::string_view> (*resultNames)(const Options &options);
    Conversion (*convert)(const Options &options, std::span<const std::string_view> inputs);
    bool readsDevice = false; // a map is read through PrepareRead and FinishRead
    bool writesDevice = false; // a map is checked whole, then written (PrepareWrite)
    bool scansDevice = false; // asks every unit, takes no operands
    bool servesDevice = false; // a map is checked whole, then served as a device
    bool exportsMap = false; // a map is checked whole, then written for an engine
    // Its maps are checked whole and held, each line's values prepared.
    bool holdsMaps() const { return writesDevice || servesDevice; }
};

std::span<const Verb> Verbs();
const Verb *FindVerb(std::string_view name);

// One input number: "0x"/"0X" hex as an unsigned number in both modes;
// otherwise, strictly, a text that is wholly a whole number (nullopt, with
// problem set to why, for anything else); leniently, the number the text
// begins with, as the window reads a field.
std::optional<double> ReadInput(std::string_view text, bool lenient, Problem::Kind &problem);

// A line of read, before the device is asked: the registers it wants, its
// address as it is written, and how messages name it.
struct PreparedRead {
    device::Wanted wanted;
    std::vector<std::string> address;
    std::string subject; // "cell 1 1 1"
    ValueFormat format; // the line's own, or --format's
};

// read's first half: what a line wants, or its conversion when it is
// rejected before any device is asked. The inputs are a cell's three
// numbers or one address in the notation; a reference reads from the type
// its first digit names. format: the line's own format name, if it has one.
std::variant<PreparedRead, Conversion> PrepareRead(const Options &options,
    std::span<const std::string_view> inputs, std::optional<std::string_view> format);

// A line of write (or the operands), before the device is asked: what to
// write, its address as it is written, how messages name it.
struct PreparedWrite {
    device::WriteItem item;
    std::vector<std::string> address;
    std::vector<std::string> values; // each as read would show it: "1234"
    std::string subject; // "cell 1 1 1"
    ValueFormat format = ValueFormat::U16;
};

// read's and write's results: the address in the notation (or every
// notation), then "value", or "value1" to "valueN" for several.
std::vector<std::string_view> ValueResultNames(const Options &options, std::size_t values);

// What a line (or the operands) writes, or its conversion when it is
// rejected: a cell's three numbers or one address in the notation, and
// values in the line's format (or --format), coils as 0/1, on/off,
// true/false. Input registers and discrete inputs are read-only.
std::variant<PreparedWrite, Conversion> PrepareWrite(const Options &options,
    std::span<const std::string_view> inputs, std::span<const std::string_view> values,
    std::optional<std::string_view> format);

// The address of a PDU address in the chosen notation (never every one):
// "2306" with -m, "0x0901", "402306".
std::string AddressText(const Options &options, double pdu, RegisterType type);

// read of the numbers given: one line, asked of the device.
Conversion ReadOnce(
    const Options &options, device::Device &device, std::span<const std::string_view> inputs);

// read's second half: the line's results from what the device gave.
Conversion FinishRead(
    const Options &options, const PreparedRead &read, const device::ReadResult &result);
// The same from what a reader read, each value on its own: a value the
// device gave is kept beside one it failed; the problem is the first
// failure's. nullopt when the line was not read (stopped).
std::optional<Conversion> FinishRead(
    const Options &options, const PreparedRead &read, const device::RegisterReader &reader);
// The same from each value of the line as read.
std::optional<Conversion> FinishRead(
    const Options &options, const PreparedRead &read, std::span<const device::LineResult> values);

// Whether an operand reads as a number in the notation: then the verb's
// count of them is one conversion, whatever files exist.
bool ReadsAsNumber(std::string_view text, Notation notation);

// Whether a count of inputs is one the verb takes.
constexpr bool TakesInputs(const Verb &verb, std::size_t count)
{
    return count == verb.inputs || (verb.otherInputs != 0 && count == verb.otherInputs);
}

} // namespace modbuscalc::cli
