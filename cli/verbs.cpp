#include "cli/verbs.h"

#include "cli/printable.h"
#include "core/number_text.h"
#include "core/text.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <deque>
#include <utility>
#include <variant>

namespace modbuscalc::cli {

namespace {

constexpr std::array<std::string_view, 4> AllNames = { "pdu", "register", "reference", "hex" };

// Machines read the output: numbers always with '.'.
std::string text(double value)
{
    return NumberText(value);
}

// The address of pdu in the chosen notation, or every notation.
void writeAddress(const Options &options, double pdu, std::vector<std::string> &results,
    std::optional<RegisterType> type = std::nullopt)
{
    const RegisterType referenceType = type.value_or(options.type);
    if (options.all) {
        results.push_back(text(pdu));
        results.push_back(text(pdu + 1));
        results.push_back(ReferenceText(pdu, referenceType));
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
        results.push_back(ReferenceText(pdu, referenceType));
        break;
    }
}

// A conversion whose results are all "Error", for the problem.
Conversion rejected(std::size_t count, Problem problem)
{
    return { std::vector<std::string>(count, std::string(ErrorMark)), std::move(problem) };
}

// The inputs as a message names them: "cell 1 2 3".
std::string subject(std::string_view what, std::span<const std::string_view> inputs)
{
    std::string out(what);
    for (std::string_view input : inputs) {
        out += ' ';
        out += Printable(TrimBlanks(input));
    }
    return out;
}

// Results that are "Error" although the inputs were in range: a fraction,
// which only lenient reading lets through, has no reference or hex form.
Conversion checkedWhole(const Options &options, Conversion conversion,
    std::span<const std::string_view> inputs, std::string_view what)
{
    if (!options.lenient)
        return conversion;
    for (const std::string &result : conversion.results) {
        if (result == ErrorMark)
            return rejected(conversion.results.size(),
                SubjectProblem(Problem::Kind::NoWholeAddress, subject(what, inputs)));
    }
    return conversion;
}

// Table, column and row from the inputs, or why one of them is not a number.
std::variant<CellNumbers, Problem> readCell(
    const Options &options, std::span<const std::string_view> inputs)
{
    double numbers[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        Problem::Kind kind {};
        const std::optional<double> number = ReadInput(inputs[i], options.lenient, kind);
        if (!number)
            return InputProblem(kind, i, std::string(inputs[i]));
        numbers[i] = *number;
    }
    return CellNumbers { numbers[0], numbers[1], numbers[2] };
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

Conversion convertAddress(const Options &options, std::span<const std::string_view> inputs)
{
    const std::size_t count = options.all ? AllNames.size() : 1;
    const auto cell = readCell(options, inputs);
    if (const auto *problem = std::get_if<Problem>(&cell))
        return rejected(count, *problem);
    const std::optional<double> address = AddressOfCell(std::get<CellNumbers>(cell), options.mode);
    if (!address)
        return rejected(count, SubjectProblem(Problem::Kind::OutOfRange, subject("cell", inputs)));
    Conversion conversion;
    conversion.results.reserve(count); // one allocation, however many notations
    writeAddress(options, *address - ModbusOffset(options.mode), conversion.results);
    return checkedWhole(options, std::move(conversion), inputs, "cell");
}

std::vector<std::string_view> cellResultNames(const Options &options)
{
    std::vector<std::string_view> names = { "table", "column", "row" };
    if (options.all)
        names.insert(names.end(), AllNames.begin(), AllNames.end());
    return names;
}

// An address as written in a notation: as a number, and, for a reference,
// the type its first digit names.
struct WrittenAddress {
    double address; // in the notation's own counting: a reference is 1-based
    std::optional<RegisterType> type;
};

// An address in the notation; a hex number may leave out its prefix.
std::optional<WrittenAddress> readInNotation(
    std::string_view input, Notation notation, bool lenient, Problem &problem)
{
    switch (notation) {
    case Notation::Address:
        if (const auto address = ReadInput(input, lenient, problem.kind))
            return WrittenAddress { *address, std::nullopt };
        return std::nullopt;
    case Notation::Hex: {
        problem.kind = Problem::Kind::NotAHexNumber;
        const auto address
            = HasHexPrefix(input) ? ReadHex(input) : ReadHex("0x" + std::string(TrimBlanks(input)));
        if (address)
            return WrittenAddress { *address, std::nullopt };
        return std::nullopt;
    }
    case Notation::Reference:
        problem.kind = Problem::Kind::NotAReference;
        if (const auto reference = ReadAnyReference(input))
            return WrittenAddress { reference->pduAddress, reference->type };
        return std::nullopt;
    }
    return std::nullopt;
}

Conversion convertCell(const Options &options, std::span<const std::string_view> inputs)
{
    const std::size_t count = options.all ? 3 + AllNames.size() : 3;
    const std::string_view input = inputs[0];
    Problem problem = InputProblem(Problem::Kind::NotANumber, 0, std::string(input));
    const std::optional<WrittenAddress> written
        = readInNotation(input, options.notation, options.lenient, problem);
    if (!written)
        return rejected(count, problem);
    // A reference is 1-based whatever the mode.
    const AddressingMode mode
        = options.notation == Notation::Reference ? AddressingMode::Absolute : options.mode;
    const double *const address = &written->address;
    const std::optional<CellNumbers> cell = CellOfAddress(*address, mode);
    if (!cell)
        return rejected(
            count, SubjectProblem(Problem::Kind::OutOfRange, subject("address", inputs)));
    Conversion conversion;
    conversion.results.reserve(count);
    conversion.results.push_back(text(cell->table));
    conversion.results.push_back(text(cell->column));
    conversion.results.push_back(text(cell->row));
    if (options.all)
        writeAddress(options, *address - ModbusOffset(mode), conversion.results, written->type);
    return checkedWhole(options, std::move(conversion), inputs, "address");
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

std::string formatted(ValueFormat format, WordOrder order, const std::uint16_t *words)
{
    if (RegistersPerValue(format) == 1) {
        switch (format) {
        case ValueFormat::S16:
            return std::to_string(static_cast<std::int16_t>(words[0]));
        case ValueFormat::Hex:
            return HexText(words[0]);
        default:
            return std::to_string(words[0]);
        }
    }
    const bool lowFirst = order == WordOrder::LowFirst;
    const std::uint32_t high = lowFirst ? words[1] : words[0];
    const std::uint32_t low = lowFirst ? words[0] : words[1];
    const std::uint32_t value = (high << 16) | low;
    switch (format) {
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

Conversion convertRead(const Options &options, std::span<const std::string_view> inputs)
{
    auto prepared = PrepareRead(options, inputs, std::nullopt);
    if (auto *rejected = std::get_if<Conversion>(&prepared))
        return std::move(*rejected);
    const PreparedRead &read = std::get<PreparedRead>(prepared);
    if (!options.device) {
        Conversion conversion = FinishRead(options, read, device::DeviceError {});
        conversion.problem = SubjectProblem(Problem::Kind::NoDevice, read.subject);
        return conversion;
    }
    device::RegisterReader reader(*options.device, options.maxGap);
    reader.readAll({ &read.wanted, 1 });
    const device::LineResult result = reader.result(read.wanted);
    if (std::holds_alternative<device::NotRead>(result)) {
        // Stopped before the one request went out.
        Conversion conversion = FinishRead(options, read, device::DeviceError {});
        conversion.problem = SubjectProblem(Problem::Kind::NotRead, read.subject);
        conversion.problem->device.kind = device::DeviceError::Kind::Stopped;
        return conversion;
    }
    if (const auto *error = std::get_if<device::DeviceError>(&result))
        return FinishRead(options, read, *error);
    return FinishRead(options, read, std::get<std::vector<std::uint16_t>>(result));
}

const std::array<Verb, 3> VerbTable = { {
    { "address", "TABLE COLUMN ROW", "the cell's address", 3, 0, false, addressResultNames,
        convertAddress },
    { "cell", "ADDRESS", "the address's cell: table, column and row", 1, 0, true, cellResultNames,
        convertCell },
    { "read", "TABLE COLUMN ROW | ADDRESS", "the value there, read from the device", 3, 1, false,
        readResultNames, convertRead, true },
} };

} // namespace

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

std::optional<double> ReadInput(std::string_view input, bool lenient, Problem::Kind &problem)
{
    if (HasHexPrefix(input)) {
        std::optional<double> value = ReadHex(input);
        if (!value)
            problem = Problem::Kind::NotAHexNumber;
        return value;
    }
    if (lenient)
        return LeadingNumber(input);
    const std::optional<double> value = WholeNumber(input);
    if (!value) {
        problem = IsBlankText(input) ? Problem::Kind::Empty : Problem::Kind::NotANumber;
        return std::nullopt;
    }
    if (*value != std::floor(*value)) {
        problem = Problem::Kind::NotAWholeNumber;
        return std::nullopt;
    }
    return value;
}

std::variant<PreparedRead, Conversion> PrepareRead(const Options &options,
    std::span<const std::string_view> inputs, std::optional<std::string_view> format)
{
    const std::size_t count = readResultNames(options).size();
    const bool byCell = inputs.size() == 3;
    const std::string what = byCell ? "cell" : "address";
    const auto failed = [&](Problem::Kind kind) {
        return rejected(count, SubjectProblem(kind, subject(what, inputs)));
    };
    // The request always carries the 0-based address, whatever -m says.
    double pdu = 0;
    RegisterType type = options.type;
    if (byCell) {
        const auto cell = readCell(options, inputs);
        if (const auto *problem = std::get_if<Problem>(&cell))
            return rejected(count, *problem);
        const std::optional<double> address
            = AddressOfCell(std::get<CellNumbers>(cell), AddressingMode::Absolute);
        if (!address)
            return failed(Problem::Kind::OutOfRange);
        pdu = *address;
    } else {
        Problem problem = InputProblem(Problem::Kind::NotANumber, 0, std::string(inputs[0]));
        const std::optional<WrittenAddress> written
            = readInNotation(inputs[0], options.notation, options.lenient, problem);
        if (!written)
            return rejected(count, problem);
        // A reference reads from the type it names, and is 1-based.
        type = written->type.value_or(options.type);
        const bool reference = options.notation == Notation::Reference;
        pdu = written->address - ModbusOffset(reference ? AddressingMode::Absolute : options.mode);
        if (!(pdu >= 0 && pdu <= MaxPduAddress))
            return failed(Problem::Kind::OutOfRange);
    }
    if (!IsPduAddress(pdu))
        return failed(Problem::Kind::NoWholeAddress);

    ValueFormat valueFormat = options.format;
    if (format) {
        const std::string_view name = TrimBlanks(*format);
        const std::optional<ValueFormat> found = FindName(ValueFormatNames, name);
        if (!found) {
            Problem problem(Problem::Kind::UnknownFormat);
            problem.text = std::string(name);
            return rejected(count, problem);
        }
        valueFormat = *found;
    }
    const bool bits = type == RegisterType::Coil || type == RegisterType::DiscreteInput;
    if (bits && RegistersPerValue(valueFormat) != 1)
        return failed(Problem::Kind::BitsHaveNoWideFormat);
    const int registers = options.count * RegistersPerValue(valueFormat);
    if (pdu + registers - 1 > MaxPduAddress)
        return failed(Problem::Kind::ReadsPastTheEnd);
    PreparedRead read { { type, static_cast<int>(pdu), registers, RegistersPerValue(valueFormat) },
        {}, subject(what, inputs), valueFormat };
    writeAddress(options, pdu, read.address, type);
    return read;
}

Conversion FinishRead(
    const Options &options, const PreparedRead &read, const device::ReadResult &result)
{
    Conversion conversion;
    conversion.results = read.address;
    if (const auto *error = std::get_if<device::DeviceError>(&result)) {
        // The address stays: it is what the engineer checks against the map.
        conversion.results.resize(
            read.address.size() + static_cast<std::size_t>(options.count), std::string(ErrorMark));
        conversion.problem = SubjectProblem(Problem::Kind::ReadFailed, read.subject);
        conversion.problem->device = *error;
        return conversion;
    }
    const auto &words = std::get<std::vector<std::uint16_t>>(result);
    const int step = RegistersPerValue(read.format);
    for (int i = 0; i < options.count; ++i)
        conversion.results.push_back(
            formatted(read.format, options.wordOrder, words.data() + i * step));
    return conversion;
}

bool ReadsAsNumber(std::string_view text, Notation notation)
{
    Problem problem(Problem::Kind::NotANumber);
    if (notation == Notation::Address)
        return WholeNumber(text).has_value() || ReadHex(text).has_value();
    return readInNotation(text, notation, false, problem).has_value();
}

} // namespace modbuscalc::cli
