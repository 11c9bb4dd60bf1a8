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

// "value", or "value1" to "valueN": kept for the names' lifetime.
std::vector<std::string_view> valueNames(std::size_t count)
{
    static std::deque<std::string> numbered;
    while (numbered.size() < count)
        numbered.push_back("value" + std::to_string(numbered.size() + 1));
    if (count == 1)
        return { "value" };
    return { numbered.begin(), numbered.begin() + static_cast<std::ptrdiff_t>(count) };
}

std::vector<std::string_view> readResultNames(const Options &options)
{
    return ValueResultNames(options, static_cast<std::size_t>(options.count));
}

// read without a device: what is asked is checked, and nothing read.
Conversion convertRead(const Options &options, std::span<const std::string_view> inputs)
{
    auto prepared = PrepareRead(options, inputs, std::nullopt);
    if (auto *rejected = std::get_if<Conversion>(&prepared))
        return std::move(*rejected);
    const PreparedRead &read = std::get<PreparedRead>(prepared);
    Conversion conversion = FinishRead(options, read, device::DeviceError {});
    conversion.problem = SubjectProblem(Problem::Kind::NoDevice, read.subject);
    return conversion;
}

const std::array<Verb, 7> VerbTable = { {
    { "address", "TABLE COLUMN ROW", "the cell's address", 3, 0, false, addressResultNames,
        convertAddress },
    { "cell", "ADDRESS", "the address's cell: table, column and row", 1, 0, true, cellResultNames,
        convertCell },
    { "read", "TABLE COLUMN ROW | ADDRESS", "the value there, read from the device", 3, 1, false,
        readResultNames, convertRead, true },
    { "write", "TABLE COLUMN ROW VALUE... | ADDRESS VALUE...",
        "write the values there on the device", 3, 1, false,
        [](const Options &options) { return ValueResultNames(options, 1); }, nullptr, false, true },
    { "scan", "", "list the units that answer, and the types each serves", 0, 0, false,
        [](const Options &) { return std::vector<std::string_view> {}; }, nullptr, false, false,
        true },
    { "serve", "MAP...", "serve as a device: the whole controller, the maps' values set", 3, 1,
        false, [](const Options &options) { return ValueResultNames(options, 1); }, nullptr, false,
        false, false, true },
    { "export", "MAP...",
        "the maps as an engine's configuration: telegraf, Home Assistant, Node-RED", 3, 1, false,
        readResultNames, nullptr, false, false, false, false, true },
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

namespace {

// Where a line's inputs point, before any device is asked.
struct Target {
    double pdu; // the request always carries the 0-based address, whatever -m says
    RegisterType type;
    ValueFormat format; // the line's own, or --format's
    std::string subject; // "cell 1 1 1"
};

// The target of a cell's three numbers or one address in the notation (a
// reference names its type), or the problem, as a conversion of count
// results. format: the line's own format name, if it has one.
std::variant<Target, Conversion> resolveTarget(const Options &options,
    std::span<const std::string_view> inputs, std::optional<std::string_view> format,
    std::size_t count)
{
    const bool byCell = inputs.size() == 3;
    Target target { 0, options.type, options.format, subject(byCell ? "cell" : "address", inputs) };
    const auto failed
        = [&](Problem::Kind kind) { return rejected(count, SubjectProblem(kind, target.subject)); };
    if (byCell) {
        const auto cell = readCell(options, inputs);
        if (const auto *problem = std::get_if<Problem>(&cell))
            return rejected(count, *problem);
        const std::optional<double> address
            = AddressOfCell(std::get<CellNumbers>(cell), AddressingMode::Absolute);
        if (!address)
            return failed(Problem::Kind::OutOfRange);
        target.pdu = *address;
    } else {
        Problem problem = InputProblem(Problem::Kind::NotANumber, 0, std::string(inputs[0]));
        const std::optional<WrittenAddress> written
            = readInNotation(inputs[0], options.notation, options.lenient, problem);
        if (!written)
            return rejected(count, problem);
        // A reference names its type, and is 1-based.
        target.type = written->type.value_or(options.type);
        const bool reference = options.notation == Notation::Reference;
        target.pdu
            = written->address - ModbusOffset(reference ? AddressingMode::Absolute : options.mode);
        if (!(target.pdu >= 0 && target.pdu <= MaxPduAddress))
            return failed(Problem::Kind::OutOfRange);
    }
    if (!IsPduAddress(target.pdu))
        return failed(Problem::Kind::NoWholeAddress);
    if (format) {
        const std::string_view name = TrimBlanks(*format);
        const std::optional<ValueFormat> found = FindName(ValueFormatNames, name);
        if (!found) {
            Problem problem(Problem::Kind::UnknownFormat);
            problem.text = std::string(name);
            return rejected(count, problem);
        }
        target.format = *found;
    }
    const bool bits = device::IsBits(target.type);
    if (bits && RegistersPerValue(target.format) != 1)
        return failed(Problem::Kind::BitsHaveNoWideFormat);
    if (!bits && target.format == ValueFormat::Bit)
        return failed(Problem::Kind::RegistersHaveNoBitFormat);
    return target;
}

} // namespace

std::string AddressText(const Options &options, double pdu, RegisterType type)
{
    Options one = options;
    one.all = false;
    std::vector<std::string> texts;
    writeAddress(one, pdu, texts, type);
    return texts.front();
}

std::variant<PreparedRead, Conversion> PrepareRead(const Options &options,
    std::span<const std::string_view> inputs, std::optional<std::string_view> format)
{
    auto resolved = resolveTarget(options, inputs, format, readResultNames(options).size());
    if (auto *rejectedLine = std::get_if<Conversion>(&resolved))
        return std::move(*rejectedLine);
    Target &target = std::get<Target>(resolved);
    const int registers = options.count * RegistersPerValue(target.format);
    if (target.pdu + registers - 1 > MaxPduAddress)
        return rejected(readResultNames(options).size(),
            SubjectProblem(Problem::Kind::ReadsPastTheEnd, target.subject));
    PreparedRead read { { target.type, static_cast<int>(target.pdu), registers,
                            RegistersPerValue(target.format) },
        {}, std::move(target.subject), target.format };
    writeAddress(options, target.pdu, read.address, target.type);
    return read;
}

std::vector<std::string_view> ValueResultNames(const Options &options, std::size_t values)
{
    std::vector<std::string_view> names = addressResultNames(options);
    const std::vector<std::string_view> numbered = valueNames(values);
    names.insert(names.end(), numbered.begin(), numbered.end());
    return names;
}

std::variant<PreparedWrite, Conversion> PrepareWrite(const Options &options,
    std::span<const std::string_view> inputs, std::span<const std::string_view> values,
    std::optional<std::string_view> format)
{
    const std::size_t count = ValueResultNames(options, values.size()).size();
    auto resolved = resolveTarget(options, inputs, format, count);
    if (auto *rejectedLine = std::get_if<Conversion>(&resolved))
        return std::move(*rejectedLine);
    Target &target = std::get<Target>(resolved);
    if (!device::IsWritable(target.type) && !options.serving) {
        Problem problem = SubjectProblem(Problem::Kind::ReadOnly, target.subject);
        problem.text
            = target.type == RegisterType::InputRegister ? "input registers" : "discrete inputs";
        return rejected(count, problem);
    }
    PreparedWrite write;
    write.item
        = { target.type, static_cast<int>(target.pdu), {}, RegistersPerValue(target.format) };
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string_view value = TrimBlanks(values[i]);
        if (device::IsBits(target.type)) {
            const std::optional<bool> on = CoilState(value);
            if (!on)
                return rejected(count,
                    ValueProblem(
                        std::string(value), "a coil state (0 or 1, on or off, true or false)", i));
            write.item.values.push_back(*on ? 1 : 0);
            write.values.push_back(*on ? "1" : "0");
            continue;
        }
        const auto words = ValueWords(target.format, options.wordOrder, value);
        if (!words) {
            const std::string name(NameOf(ValueFormatNames, target.format));
            // A fraction for a whole-number format is told as such, not as
            // a value out of its range.
            const bool whole = target.format != ValueFormat::F32
                && target.format != ValueFormat::F64 && target.format != ValueFormat::Bit;
            const std::optional<double> number = NumberOf<double>(value);
            if (whole && number && std::isfinite(*number) && *number != std::floor(*number))
                return rejected(count,
                    ValueProblem(std::string(value),
                        "a whole number (" + name + ": " + ValueRange(target.format) + ')', i));
            return rejected(count,
                ValueProblem(std::string(value), name + " (" + ValueRange(target.format) + ')', i));
        }
        write.item.values.insert(write.item.values.end(), words->begin(), words->end());
        write.values.push_back(ValueText(target.format, options.wordOrder, *words));
    }
    if (target.pdu + static_cast<double>(write.item.values.size()) - 1 > MaxPduAddress)
        return rejected(count, SubjectProblem(Problem::Kind::WritesPastTheEnd, target.subject));
    write.subject = std::move(target.subject);
    write.format = target.format;
    writeAddress(options, target.pdu, write.address, target.type);
    return write;
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
        conversion.results.push_back(ValueText(read.format, options.wordOrder,
            std::span(words).subspan(
                static_cast<std::size_t>(i * step), static_cast<std::size_t>(step))));
    return conversion;
}

std::optional<Conversion> FinishRead(
    const Options &options, const PreparedRead &read, const device::RegisterReader &reader)
{
    return FinishRead(options, read, reader.eachValue(read.wanted));
}

std::optional<Conversion> FinishRead(
    const Options &options, const PreparedRead &read, std::span<const device::LineResult> values)
{
    Conversion conversion;
    conversion.results = read.address;
    for (const device::LineResult &value : values) {
        if (std::holds_alternative<device::NotRead>(value))
            return std::nullopt;
        if (const auto *error = std::get_if<device::DeviceError>(&value)) {
            conversion.results.emplace_back(ErrorMark);
            if (!conversion.problem) {
                conversion.problem = SubjectProblem(Problem::Kind::ReadFailed, read.subject);
                conversion.problem->device = *error;
            }
            continue;
        }
        conversion.results.push_back(
            ValueText(read.format, options.wordOrder, std::get<std::vector<std::uint16_t>>(value)));
    }
    return conversion;
}

Conversion ReadOnce(
    const Options &options, device::Device &device, std::span<const std::string_view> inputs)
{
    auto prepared = PrepareRead(options, inputs, std::nullopt);
    if (auto *rejected = std::get_if<Conversion>(&prepared))
        return std::move(*rejected);
    const PreparedRead &read = std::get<PreparedRead>(prepared);
    device::RegisterReader reader(device, options.maxGap);
    reader.readAll({ &read.wanted, 1 });
    if (std::optional<Conversion> done = FinishRead(options, read, reader))
        return std::move(*done);
    // Stopped before the one request went out.
    Conversion conversion = FinishRead(options, read, device::DeviceError {});
    conversion.problem = SubjectProblem(Problem::Kind::NotRead, read.subject);
    conversion.problem->device.kind = device::DeviceError::Kind::Stopped;
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
