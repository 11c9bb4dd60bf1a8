#include "cli/verbs.h"

#include "cli/device.h"
#include "cli/printable.h"
#include "core/number_text.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <deque>

namespace modbuscalc::cli {

namespace {

constexpr std::array<std::string_view, 4> AllNames = { "pdu", "register", "reference", "hex" };

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::string_view typeName(RegisterType type)
{
    switch (type) {
    case RegisterType::Coil:
        return "coil";
    case RegisterType::DiscreteInput:
        return "discrete-input";
    case RegisterType::InputRegister:
        return "input-register";
    case RegisterType::HoldingRegister:
        break;
    }
    return "holding-register";
}

// Machines read the output: numbers always with '.'.
std::string text(double value)
{
    return NumberText(value);
}

// The address of pdu in the chosen notation, or every notation.
void writeAddress(const Options &options, double pdu, std::vector<std::string> &results)
{
    if (options.all) {
        results.push_back(text(pdu));
        results.push_back(text(pdu + 1));
        results.push_back(ReferenceText(pdu, options.type));
        results.push_back(HexText(pdu));
        return;
    }
    const double address = pdu + ModbusOffset(options.mode);
    switch (options.notation) {
    case Notation::Address:
        results.push_back(text(address));
        break;
    case Notation::Hex:
        results.push_back(HexText(address));
        break;
    case Notation::Reference:
        results.push_back(ReferenceText(pdu, options.type));
        break;
    }
}

void reject(Conversion &conversion, std::size_t count, std::optional<std::size_t> input,
    std::string problem)
{
    conversion.results.assign(count, std::string(ErrorMark));
    conversion.inRange = false;
    conversion.rejectedInput = input;
    conversion.problem = std::move(problem);
}

std::string joined(std::span<const std::string_view> inputs)
{
    std::string out;
    for (std::string_view input : inputs) {
        if (!out.empty())
            out += ' ';
        out += Printable(trimmed(input));
    }
    return out;
}

// Results that are "Error" although the inputs were in range: a fraction,
// which only lenient reading lets through, has no reference or hex form.
void checkWhole(const Options &options, Conversion &conversion,
    std::span<const std::string_view> inputs, std::string_view what)
{
    conversion.inRange = true;
    if (!options.lenient)
        return;
    for (const std::string &result : conversion.results) {
        if (result == ErrorMark) {
            reject(conversion, conversion.results.size(), std::nullopt,
                std::string(what) + ' ' + joined(inputs) + " has no whole register address");
            return;
        }
    }
}

// Table, column and row from the inputs; false, with the conversion
// rejected (count results), when one of them is not a number.
bool readCell(const Options &options, std::span<const std::string_view> inputs, CellNumbers &cell,
    Conversion &conversion, std::size_t count)
{
    double *const numbers[] = { &cell.table, &cell.column, &cell.row };
    std::string problem;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::optional<double> number = ReadInput(inputs[i], options.lenient, problem);
        if (!number) {
            reject(conversion, count, i, problem);
            return false;
        }
        *numbers[i] = *number;
    }
    return true;
}

std::vector<std::string_view> addressResultNames(const Options &options)
{
    if (options.all)
        return { AllNames.begin(), AllNames.end() };
    switch (options.notation) {
    case Notation::Hex:
        return { "hex" };
    case Notation::Reference:
        return { "reference" };
    case Notation::Address:
        break;
    }
    return { "address" };
}

void convertAddress(
    const Options &options, std::span<const std::string_view> inputs, Conversion &conversion)
{
    const std::size_t count = options.all ? AllNames.size() : 1;
    CellNumbers cell {};
    if (!readCell(options, inputs, cell, conversion, count))
        return;
    const std::optional<double> address = AddressOfCell(cell, options.mode);
    if (!address)
        return reject(
            conversion, count, std::nullopt, "cell " + joined(inputs) + " is out of range");
    conversion.results.clear();
    writeAddress(options, *address - ModbusOffset(options.mode), conversion.results);
    conversion.rejectedInput.reset();
    conversion.problem.clear();
    checkWhole(options, conversion, inputs, "cell");
}

std::vector<std::string_view> cellResultNames(const Options &options)
{
    std::vector<std::string_view> names = { "table", "column", "row" };
    if (options.all)
        names.insert(names.end(), AllNames.begin(), AllNames.end());
    return names;
}

void convertCell(
    const Options &options, std::span<const std::string_view> inputs, Conversion &conversion)
{
    const std::size_t count = options.all ? 3 + AllNames.size() : 3;
    const std::string_view input = inputs[0];
    std::optional<double> address;
    std::string problem;
    AddressingMode mode = options.mode;
    switch (options.notation) {
    case Notation::Address:
        address = ReadInput(input, options.lenient, problem);
        break;
    case Notation::Hex:
        // The prefix may be left out: the digits are hex anyway.
        address
            = HasHexPrefix(input) ? ReadHex(input) : ReadHex("0x" + std::string(trimmed(input)));
        problem = "is not a hex number";
        break;
    case Notation::Reference:
        address = ReadReference(input, options.type);
        mode = AddressingMode::Absolute; // a reference is 1-based whatever the mode
        problem = "is not a " + std::string(typeName(options.type)) + " reference";
        break;
    }
    if (!address)
        return reject(conversion, count, 0, problem);

    const std::optional<CellNumbers> cell = CellOfAddress(*address, mode);
    if (!cell)
        return reject(
            conversion, count, std::nullopt, "address " + joined(inputs) + " is out of range");
    conversion.results = { text(cell->table), text(cell->column), text(cell->row) };
    if (options.all)
        writeAddress(options, *address - ModbusOffset(mode), conversion.results);
    conversion.rejectedInput.reset();
    conversion.problem.clear();
    checkWhole(options, conversion, inputs, "address");
}

std::vector<std::string_view> readResultNames(const Options &options)
{
    // "value", or "value1" to "valueN": kept for the names' lifetime.
    static std::deque<std::string> numbered;
    while (numbered.size() < static_cast<std::size_t>(options.count))
        numbered.push_back("value" + std::to_string(numbered.size() + 1));
    std::vector<std::string_view> names = addressResultNames(options);
    if (options.count == 1)
        names.emplace_back("value");
    else
        names.insert(names.end(), numbered.begin(), numbered.begin() + options.count);
    return names;
}

std::string formatted(const Options &options, const std::uint16_t *words)
{
    if (RegistersPerValue(options.format) == 1) {
        switch (options.format) {
        case ValueFormat::S16:
            return std::to_string(static_cast<std::int16_t>(words[0]));
        case ValueFormat::Hex:
            return HexText(words[0]);
        default:
            return std::to_string(words[0]);
        }
    }
    const std::uint32_t high = options.lowWordFirst ? words[1] : words[0];
    const std::uint32_t low = options.lowWordFirst ? words[0] : words[1];
    const std::uint32_t value = (high << 16) | low;
    switch (options.format) {
    case ValueFormat::S32:
        return std::to_string(static_cast<std::int32_t>(value));
    case ValueFormat::F32: {
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, std::bit_cast<float>(value)).ptr;
        return std::string(text, end);
    }
    default:
        return std::to_string(value);
    }
}

void convertRead(
    const Options &options, std::span<const std::string_view> inputs, Conversion &conversion)
{
    const std::size_t count = readResultNames(options).size();
    CellNumbers cell {};
    if (!readCell(options, inputs, cell, conversion, count))
        return;
    // The request always carries the 0-based address, whatever -m says.
    const std::optional<double> pdu = AddressOfCell(cell, AddressingMode::Absolute);
    if (!pdu)
        return reject(
            conversion, count, std::nullopt, "cell " + joined(inputs) + " is out of range");
    if (!IsPduAddress(*pdu))
        return reject(conversion, count, std::nullopt,
            "cell " + joined(inputs) + " has no whole register address");
    const int registers = options.count * RegistersPerValue(options.format);
    if (*pdu + registers - 1 > MaxPduAddress)
        return reject(conversion, count, std::nullopt,
            "cell " + joined(inputs) + ": the read runs past the last cell");

    if (!options.device)
        return reject(conversion, count, std::nullopt, "no device to read from");
    std::vector<std::uint16_t> words;
    const std::string error
        = options.device->read(options.type, static_cast<int>(*pdu), registers, words);
    if (!error.empty())
        return reject(conversion, count, std::nullopt, "cell " + joined(inputs) + ": " + error);
    conversion.results.clear();
    writeAddress(options, *pdu, conversion.results);
    for (int i = 0; i < options.count; ++i)
        conversion.results.push_back(
            formatted(options, words.data() + i * RegistersPerValue(options.format)));
    conversion.rejectedInput.reset();
    conversion.problem.clear();
    conversion.inRange = true;
}

const std::array<Verb, 3> VerbTable = { {
    { "address", "TABLE COLUMN ROW", "the cell's address", 3, addressResultNames, convertAddress },
    { "cell", "ADDRESS", "the address's cell: table, column and row", 1, cellResultNames,
        convertCell },
    { "read", "TABLE COLUMN ROW", "the cell's value, read from the device", 3, readResultNames,
        convertRead },
} };

} // namespace

int RegistersPerValue(ValueFormat format)
{
    return format == ValueFormat::U32 || format == ValueFormat::S32 || format == ValueFormat::F32
        ? 2
        : 1;
}

std::span<const Verb> Verbs()
{
    return VerbTable;
}

const Verb *FindVerb(std::string_view name)
{
    for (const Verb &verb : VerbTable)
        if (verb.name == name)
            return &verb;
    return nullptr;
}

std::optional<double> ReadInput(std::string_view input, bool lenient, std::string &problem)
{
    if (HasHexPrefix(input)) {
        std::optional<double> value = ReadHex(input);
        if (!value)
            problem = "is not a hex number";
        return value;
    }
    if (lenient)
        return LeadingNumber(input);
    const std::optional<double> value = WholeNumber(input);
    if (!value) {
        problem = trimmed(input).empty() ? "is empty" : "is not a number";
        return std::nullopt;
    }
    if (*value != std::floor(*value)) {
        problem = "is not a whole number";
        return std::nullopt;
    }
    return value;
}

} // namespace modbuscalc::cli
