#include "cli/options.h"

#include "cli/printable.h"
#include "core/text.h"
#include "version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <string_view>
#include <tuple>

namespace modbuscalc::cli {

namespace {

constexpr const char *Version = "modbuscalc " MODBUSCALC_VERSION "\n"
                                "Copyright (C) 2026 The Modbus Calculator developers.\n"
                                "License: MIT; this is free software: you are free to change "
                                "and redistribute it.\nThere is NO WARRANTY, to the extent "
                                "permitted by law.";

constexpr const char *Footer
    = R"(Operands: exactly the verb's count of numbers is one conversion, even where
files of those names exist (write ./1 to read a file named 1). Otherwise they
name files to read ('-' is standard input; none: standard input); where no
such file exists, the verb's count of them is one conversion that says what
is not a number.

Numbers: whole numbers (a fraction or 1E-300 is rejected as not a whole
number); 0x0901 is hex. --lenient reads as the window does: the number a
field begins with, else 0. The window reads &H and &O as signed 16-bit
values (&H8000 is -32768): write 0x8000 for 32768.

Notations (-n): address, as the window shows it (0-based, or 1-based with
-m); hex, the same number in hex (0x0901); ref, the 6-digit reference
(402306 = holding register 2306 = PDU address 2305), whatever -m says, its
first digit from --type. A 5-digit reference (40001) is read where that
form exists, up to 49999: most cells of this controller need the 6-digit
form. -a writes pdu, register, reference and hex side by side.

Maps: fields separated by commas, semicolons, tabs or blanks (or -d), as
spreadsheets write them: "quoted" fields may hold separators, "" and line
breaks. Without -f or --columns a line holds exactly the verb's count of
fields, empty fields at its end aside; with --header, a header that names
table, column and row (as read writes a map) names the cell's columns.
Each output line is the input line with the results added after its own
separator.

Examples:
  modbuscalc address 5 0 1               prints 10241
  modbuscalc -m cell 10241               prints 5 0 0 (Modbus addressing)
  modbuscalc address --all 1 1 1         prints 2305 2306 402306 0x0901
  modbuscalc -n ref cell 402306          prints 1 1 1
  modbuscalc address -f 3,4,5 map.csv    reads the cells from columns 3 to 5
  modbuscalc --header --columns table,column,row address map.csv
  modbuscalc read --host 192.0.2.10 -m 1 1 1   reads register 2306 from a device
  modbuscalc write --host 192.0.2.10 -n ref 402306 1234   writes it
  modbuscalc serve --value-column 4 map.csv   serves the map's values

read asks a live device (--host for Modbus TCP, --serial for RTU) for the
value at each cell; -m changes only the address written, the request always
carries the 0-based address. A map is read in as few requests as the
protocol allows (--max-gap lets one span registers nobody asked for), never
splitting a value, and each line is written as soon as it and the lines
before it are done; a request the device refuses is split, so that exactly
the lines it lacks fail, keeping their address. After a timeout or a broken
link the connection is opened afresh (--retries asks again on it); a late
reply on a serial line never passes for another request's answer; after 3
requests in a row without an answer (or a gateway's exception 10 or 11) the
device is given up on.

read --interval SECONDS reads again and again on a fixed schedule, each line
with the time its poll started (RFC 3339, UTC); --changes writes only what
changed; --output json or csv writes JSON Lines or RFC 4180 records. A dead
device costs a poll 3 requests, and is asked afresh at the next.

scan lists the units that answer (--units FIRST-LAST, 1-247) and the types
each serves.

Several devices in one map: --host-column (or --serial-column) and
--unit-column name each line's device; a line that leaves them empty takes
--host, --serial and --unit. read, its watch, write and serve take them.
Hosts are read at the same time, the units of one host or serial line in
turn; a dead device costs its own lines only, and is named at the end.

export --to telegraf, home-assistant or node-red writes the maps, read as
read reads them (--name-column names each value), as that engine's
configuration; two lines that would get one name are an error, and nothing
is written.

write sets holding registers or coils: a cell (or -n and an address) and its
values, or maps with --value-column. Everything is checked before anything
is sent: read-only types, values that do not fit their format, two lines
writing one register. A map asks [y/N] on a terminal (--yes for scripts;
--dry-run shows the requests). A write is sent at most once (again only
with --retries); --verify reads the registers back and compares them.

serve is a device: the whole controller (65536 of each type, all 0) on
Modbus TCP (--listen, 127.0.0.1:5020) or RTU (--serial), its values set by
maps read as write reads them; each request is logged on standard error
(--output json: JSON Lines). --unit 1,2,7 serves each unit with registers of
its own (another unit gets exception 11 over TCP, silence on a line).
--save FILE writes the maps back with the values served when a signal ends
it. Faults on purpose: --delay, --drop-every, --busy-every, --exception,
--read-only, --only-mapped; --ramp counts a register up once a second.

Signals: SIGINT (Ctrl+C), SIGTERM and SIGHUP end the run at a whole line,
then kill modbuscalc by the same signal; a second one at once.

Exit status: 0 if every result is in range, 1 if any line was rejected or
out of range, a read or write failed or a value read back differs, 2 for a
usage error, trouble reading or writing, a map write refused before
anything was sent, or a device out of reach or given up on.
)";

std::string lowerFirst(std::string text)
{
    if (!text.empty())
        text[0] = AsciiLower(text[0]);
    return text;
}

// An option's help: what it is, then its names from the table.
template <typename Value, std::size_t N>
std::string choices(std::string_view what, const std::array<Name<Value>, N> &names)
{
    return std::string(what) + ": " + NameList(names, true);
}

// Reads an option's name from its table, or says which names there are.
template <typename Value, std::size_t N>
std::optional<UsageError> pick(const std::array<Name<Value>, N> &names, std::string_view what,
    const std::string &given, Value &value)
{
    if (const std::optional<Value> found = FindName(names, given)) {
        value = *found;
        return std::nullopt;
    }
    return UsageError { "invalid " + std::string(what) + " '" + Printable(given)
        + "': " + NameList(names) };
}

std::optional<char> delimiterOf(const std::string &text)
{
    if (text == "\\t" || text == "tab" || text == "\t")
        return '\t';
    if (text.size() == 1 && text[0] != '"' && text[0] != '\n' && text[0] != '\r')
        return text[0];
    return std::nullopt;
}

std::string plural(std::size_t count, std::string_view one, std::string_view many)
{
    return std::to_string(count) + ' ' + std::string(count == 1 ? one : many);
}

// Where read's device is, from --host or --serial and the line settings.
struct DeviceArguments {
    std::string host, serial, parity = "E";
    device::SerialLine line;
};

std::variant<device::Connection, UsageError> connectionOf(
    std::string_view verb, const DeviceArguments &given, device::Connection connection)
{
    if (!given.host.empty() && !given.serial.empty())
        return UsageError { "give --host or --serial, not both" };
    if (given.host.empty() && given.serial.empty())
        return UsageError { std::string(verb) + " needs --host HOST[:PORT] or --serial DEVICE" };
    if (!given.host.empty()) {
        const std::optional<device::TcpEndpoint> endpoint = device::EndpointOf(given.host);
        if (!endpoint)
            return UsageError { "invalid port in '" + Printable(given.host) + "'" };
        connection.link = *endpoint;
    } else {
        device::SerialLine line = given.line;
        line.device = given.serial;
        if (auto error = pick(ParityNames, "parity", given.parity, line.parity))
            return *error;
        connection.link = line;
    }
    if (std::optional<std::string> problem = device::ConnectionProblem(connection))
        return UsageError { *problem };
    return connection;
}

// A device verb's value options: the format, the word order; for read, a
// count that requests can carry.
std::optional<UsageError> checkValues(
    Options &options, const std::string &format, const std::string &wordOrder)
{
    if (auto error = pick(ValueFormatNames, "format", format, options.format))
        return error;
    if (auto error = pick(WordOrderNames, "word order", wordOrder, options.wordOrder))
        return error;
    const bool bits = device::IsBits(options.type);
    if (bits && RegistersPerValue(options.format) != 1)
        return UsageError { "coils and discrete inputs are single bits: no wider format" };
    // More than one request carries is read in several.
    const int most = (static_cast<int>(MaxPduAddress) + 1) / RegistersPerValue(options.format);
    if (options.count < 1 || options.count > most)
        return UsageError { "the count runs from 1 to " + std::to_string(most) };
    if (options.maxGap < 0 || options.maxGap > device::MaxRegistersPerRead)
        return UsageError { "the gap runs from 0 to "
            + std::to_string(device::MaxRegistersPerRead) };
    return std::nullopt;
}

// write's own rules: the function, and either a map (--value-column) or
// a cell or address and its values, checked whole here, before anything is
// opened or sent.
ParseResult checkWrite(Invocation invocation, int function, bool notationGiven)
{
    Options &options = invocation.options;
    const bool coils = options.type == RegisterType::Coil;
    switch (function) {
    case 0:
        break;
    case 5:
    case 15:
    case 6:
    case 16:
        if ((function == 5 || function == 15) != coils)
            return UsageError { "function " + std::to_string(function) + " writes "
                + (coils ? "registers, not coils" : "coils: give --type coil") };
        options.function = function == 5 || function == 6 ? device::WriteFunction::Single
                                                          : device::WriteFunction::Multiple;
        break;
    default:
        return UsageError { "invalid function " + std::to_string(function)
            + ": 6 or 16 for registers, 5 or 15 for coils" };
    }
    if (!options.valueColumn.empty()) {
        // A map: the operands are its files.
        if (!options.formatColumn.empty() && options.formatColumn == options.valueColumn)
            return UsageError { "the value and the format come from the same column" };
        return invocation;
    }
    const std::vector<std::string> &operands = invocation.operands;
    const std::size_t inputs = notationGiven ? 1 : 3;
    if (operands.size() <= inputs)
        return UsageError { notationGiven
                ? "write takes an ADDRESS in the notation and its values"
                : "write takes TABLE COLUMN ROW and the values (or -n NOTATION ADDRESS and the "
                  "values; or --value-column and a map)" };
    const std::vector<std::string_view> words(operands.begin(), operands.end());
    const std::span<const std::string_view> all(words);
    auto prepared = PrepareWrite(options, all.first(inputs), all.subspan(inputs), std::nullopt);
    if (auto *rejected = std::get_if<Conversion>(&prepared))
        return UsageError { Describe(*rejected->problem) };
    invocation.write = std::get<PreparedWrite>(std::move(prepared));
    invocation.numbers = true;
    return invocation;
}

// scan's units, "FIRST-LAST" or one, within what the link allows.
ParseResult checkScan(Invocation invocation, const std::string &units)
{
    const std::size_t dash = units.find('-');
    const auto number = [](std::string_view text) -> std::optional<int> {
        if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), IsDigit))
            return std::nullopt;
        return std::stoi(std::string(text));
    };
    const std::optional<int> first = number(std::string_view(units).substr(0, dash));
    const std::optional<int> last
        = dash == std::string::npos ? first : number(std::string_view(units).substr(dash + 1));
    const bool tcp = std::holds_alternative<device::TcpEndpoint>(invocation.connection->link);
    const int lowest = tcp ? 0 : 1, highest = tcp ? 255 : 247;
    if (!first || !last || *first > *last || *first < lowest || *last > highest)
        return UsageError { "invalid units '" + Printable(units) + "': FIRST-LAST within "
            + std::to_string(lowest) + '-' + std::to_string(highest)
            + (tcp ? " over TCP" : " on a serial line") };
    invocation.options.firstUnit = *first;
    invocation.options.lastUnit = *last;
    return invocation;
}

std::string verbList()
{
    std::string list;
    for (std::size_t i = 0; i < Verbs().size(); ++i) {
        list += i == 0 ? "" : i + 1 == Verbs().size() ? " or " : ", ";
        list += Verbs()[i].name;
    }
    return list;
}

// Where each option's value goes.
struct Bound {
    Bound(Options &o, device::Connection &c, DeviceArguments &d)
        : options(o)
        , connection(c)
        , device(d)
    {
    }
    Options &options;
    device::Connection &connection;
    DeviceArguments &device;
    bool modbus = false;
    bool verbose = false;
    std::string notation = "address", type = "holding", delimiter, fields, columns;
    std::string format = "u16", wordOrder = "high-first", formatColumn, valueColumn;
    std::string output = "text", units = "1-247";
    std::string unitColumn, hostColumn, serialColumn, nameColumn, to;
    int function = 0;
    // serve:
    std::string listen = "127.0.0.1:5020", servedUnits, save;
    bool onlyMapped = false, readOnly = false;
    int delay = 0, dropEvery = 0, busyEvery = 0;
    std::vector<std::string> exceptions, ramps;
};

// An address of serve's options, in the notation, and its type (a
// reference's own, else --type), or what is wrong with it.
std::variant<device::Ramp, UsageError> servedAddress(
    const Options &options, std::string_view option, std::string_view text)
{
    Options one = options;
    one.count = 1;
    one.format = ValueFormat::U16;
    const std::string_view inputs[] = { text };
    auto prepared = PrepareRead(one, inputs, std::nullopt);
    if (const auto *rejected = std::get_if<Conversion>(&prepared))
        return UsageError { std::string(option) + ": " + Describe(*rejected->problem) };
    const device::Wanted &wanted = std::get<PreparedRead>(prepared).wanted;
    return device::Ramp { wanted.type, wanted.address };
}

// --listen's HOST[:PORT]: a host alone takes port 5020, never a port that
// needs privileges unasked; port 0 any free one, told when it listens.
std::optional<device::TcpEndpoint> listenEndpoint(const std::string &text)
{
    const bool anyPort = text.ends_with(":0");
    std::optional<device::TcpEndpoint> endpoint
        = device::EndpointOf(anyPort ? text.substr(0, text.size() - 2) : text);
    if (!endpoint || endpoint->host.empty())
        return std::nullopt;
    // A port is written after "]", or after the one colon of a name or an
    // IPv4 address; a bare IPv6 address is all address.
    const std::size_t bracket = text.rfind(']');
    const bool portWritten = bracket != std::string::npos
        ? text.find(':', bracket) != std::string::npos
        : std::count(text.begin(), text.end(), ':') == 1;
    if (anyPort)
        endpoint->port = 0;
    else if (!portWritten)
        endpoint->port = 5020;
    return endpoint;
}

// --unit's list, "1,2,7": each within what the link allows, none twice.
std::variant<std::vector<int>, UsageError> servedUnits(const std::string &list, bool tcp)
{
    std::vector<int> units;
    const int lowest = tcp ? 0 : 1, highest = tcp ? 255 : 247;
    for (std::size_t pos = 0; pos <= list.size();) {
        const std::size_t end = std::min(list.find(',', pos), list.size());
        const std::string unit = list.substr(pos, end - pos);
        const bool digits
            = !unit.empty() && unit.size() <= 3 && std::all_of(unit.begin(), unit.end(), IsDigit);
        const int number = digits ? std::stoi(unit) : -1;
        if (number < lowest || number > highest)
            return UsageError { "invalid unit '" + Printable(unit) + "': " + std::to_string(lowest)
                + " to " + std::to_string(highest) + (tcp ? " over TCP" : " on a serial line") };
        if (std::find(units.begin(), units.end(), number) != units.end())
            return UsageError { "unit " + unit + " is given twice" };
        units.push_back(number);
        pos = end + 1;
    }
    return units;
}

// serve's own rules: where it listens, its units, its faults.
ParseResult checkServe(Invocation invocation, const Bound &b, bool listenGiven, bool typeGiven)
{
    Options &options = invocation.options;
    Serving serving;
    const DeviceArguments &device = b.device;
    if (!device.serial.empty() && listenGiven)
        return UsageError { "give --listen or --serial, not both" };
    const bool tcp = device.serial.empty();
    auto units = servedUnits(
        b.servedUnits.empty() ? std::to_string(b.connection.unit) : b.servedUnits, tcp);
    if (auto *error = std::get_if<UsageError>(&units))
        return *error;
    serving.rules.units = std::get<std::vector<int>>(std::move(units));
    if (tcp) {
        const std::optional<device::TcpEndpoint> endpoint = listenEndpoint(b.listen);
        if (!endpoint)
            return UsageError { "invalid --listen '" + Printable(b.listen) + "': HOST:PORT" };
        serving.link = *endpoint;
    } else {
        if (serving.rules.units.size() > 1)
            return UsageError { "a serial line is served as one unit: give one --unit" };
        // The line as read and write take it.
        device::Connection connection;
        connection.unit = serving.rules.units.front();
        auto checked = connectionOf("serve", device, connection);
        if (auto *error = std::get_if<UsageError>(&checked))
            return *error;
        serving.link = std::get<device::Connection>(checked).link;
    }
    if (auto error = pick(OutputFormatNames, "output", b.output, options.output))
        return *error;
    if (options.output == OutputFormat::Csv)
        return UsageError { "serve logs as text or json, not csv" };
    if (b.delay < 0 || b.delay > 60000)
        return UsageError { "the delay runs from 0 to 60000 milliseconds" };
    serving.rules.delay = std::chrono::milliseconds(b.delay);
    for (const auto &[option, every] :
        { std::pair { "--drop-every", b.dropEvery }, std::pair { "--busy-every", b.busyEvery } })
        if (every < 0)
            return UsageError { std::string(option) + " takes a count of requests, 1 or more" };
    serving.rules.dropEvery = b.dropEvery;
    serving.rules.busyEvery = b.busyEvery;
    serving.rules.readOnly = b.readOnly;
    serving.rules.onlyMapped = b.onlyMapped;
    for (const std::string &forced : b.exceptions) {
        const std::size_t colon = forced.rfind(':');
        const std::string code = colon == std::string::npos ? "" : forced.substr(colon + 1);
        const bool digits
            = !code.empty() && code.size() <= 3 && std::all_of(code.begin(), code.end(), IsDigit);
        if (!digits || std::stoi(code) < 1 || std::stoi(code) > 255)
            return UsageError { "invalid --exception '" + Printable(forced)
                + "': ADDRESS:CODE, the code 1 to 255" };
        auto at = servedAddress(options, "--exception", forced.substr(0, colon));
        if (auto *error = std::get_if<UsageError>(&at))
            return *error;
        const device::Ramp &where = std::get<device::Ramp>(at);
        // A plain address without --type stands for every type.
        std::optional<RegisterType> type;
        if (typeGiven || options.notation == Notation::Reference)
            type = where.type;
        serving.rules.exceptions.push_back({ type, where.address, std::stoi(code) });
    }
    for (const std::string &ramp : b.ramps) {
        auto at = servedAddress(options, "--ramp", ramp);
        if (auto *error = std::get_if<UsageError>(&at))
            return *error;
        serving.ramps.push_back(std::get<device::Ramp>(at));
    }
    serving.save = b.save;
    if (!options.formatColumn.empty() && options.formatColumn == options.valueColumn)
        return UsageError { "the value and the format come from the same column" };
    options.serving = true;
    invocation.serving = std::move(serving);
    return invocation;
}

// A column named by number from 1 or, with --header, by name: nullopt, or
// what is wrong with it.
std::optional<UsageError> checkColumn(
    const std::string &option, const std::string &column, bool header)
{
    const bool number = !column.empty() && std::all_of(column.begin(), column.end(), IsDigit);
    if (!number && !header)
        return UsageError { option + " " + Printable(column)
            + " names a column of the header: give --header too" };
    if (column.empty() || (number && (column.size() > 6 || std::stoul(column) == 0))) {
        std::string what = option.substr(2); // "format column"
        std::replace(what.begin(), what.end(), '-', ' ');
        return UsageError { "invalid " + what + " '" + Printable(column) + "'" };
    }
    return std::nullopt;
}

// The options of maps and addresses: every verb's but scan's.
void addMapOptions(CLI::App &app, Bound &b)
{
    Options &options = b.options;
    app.add_flag("-m,--modbus", b.modbus, "Modbus (1-based) addressing; without it, absolute");
    app.add_flag("--header", options.header, "Each input's first line is a header: copy it");
    app.add_flag("--lenient", options.lenient,
        "Read numbers as the window does: the number a field begins with, else 0");
    app.add_flag("-q,--quiet", options.quiet,
        "No message for each rejected line (serve: no line for each request)");
    app.add_flag("-a,--all", options.all, "Every notation: pdu, register, reference, hex");
    app.add_option("-n,--notation", b.notation, choices("The notation", NotationNames));
    app.add_option("--type", b.type,
        choices("The register type, for references written and bare addresses", RegisterTypeNames));
    app.add_option("-d,--delimiter", b.delimiter, "The field separator (tab: \\t)");
    app.add_option("-f,--fields", b.fields, "The columns to read, from 1: 3,4,5 or 3-5");
    app.add_option("--columns", b.columns, "With --header, the columns to read by name");
}

// The options, bound to where their values go: those of every verb, and
// a device verb's own; without a verb, all of them.
void addOptions(CLI::App &app, Bound &b, const Verb *verb)
{
    Options &options = b.options;
    // scan reads no map and writes no address: its --help lists none of it.
    if (!verb || !verb->scansDevice)
        addMapOptions(app, b);
    const bool reads = !verb || verb->readsDevice, writes = !verb || verb->writesDevice,
               scans = !verb || verb->scansDevice, serves = !verb || verb->servesDevice,
               exports = !verb || verb->exportsMap;
    if (!reads && !writes && !scans && !serves && !exports)
        return;
    device::Connection &connection = b.connection;
    DeviceArguments &device = b.device;
    const bool asks = reads || writes || scans || exports;
    if (asks)
        app.add_option("--host", device.host, "device: its HOST[:PORT] (Modbus TCP, port 502)");
    app.add_option("--serial", device.serial, "device: the serial DEVICE (Modbus RTU)");
    app.add_option("--baud", device.line.baud, "device: RTU speed (19200)");
    app.add_option("--parity", device.parity, choices("device: RTU parity", ParityNames));
    app.add_option("--data-bits", device.line.dataBits, "device: RTU data bits (8)");
    app.add_option("--stop-bits", device.line.stopBits, "device: RTU stop bits (1)");
    if (verb && verb->servesDevice)
        app.add_option("--unit", b.servedUnits,
            "serve: the units served, each with registers of its own: 1 or 1,2,7 (1)");
    else
        app.add_option("--unit", connection.unit, "device: the unit (slave) id (1)");
    if (reads || writes || serves || exports)
        app.add_option("--unit-column", b.unitColumn,
            "device: each line's unit from this column (a number, or with --header a name); "
            "a line without one takes --unit");
    if (reads || writes || exports) {
        app.add_option("--host-column", b.hostColumn,
            "device: each line's HOST[:PORT] from this column; a line without one takes --host");
        app.add_option("--serial-column", b.serialColumn,
            "device: each line's serial DEVICE from this column, at --baud and the rest");
    }
    if (exports) {
        app.add_option("--to", b.to, choices("export: for the engine", ExportTargetNames));
        app.add_option("--name-column", b.nameColumn,
            "export: each line's name from this column (a number, or with --header a name)");
    }
    if (asks) {
        app.add_option("--timeout", connection.timeout, "device: seconds for each request (1)");
        app.add_option("--retries", connection.retries,
            "device: further tries of a request without an answer, each on a fresh connection; "
            "a write is sent again only when this asks for it (0)");
        app.add_flag("--verbose", b.verbose, "device: each request and answer on standard error");
    }
    if (scans)
        app.add_option("--units", b.units, "scan: the units to ask, FIRST-LAST (1-247)");
    if (serves) {
        app.add_option("--listen", b.listen,
            "serve: Modbus TCP on HOST:PORT (127.0.0.1:5020; every interface: 0.0.0.0:502)");
        app.add_flag(
            "--only-mapped", b.onlyMapped, "serve: exception 2 for every address no map names");
        app.add_flag("--read-only", b.readOnly, "serve: exception 1 for every write");
        app.add_option("--save", b.save,
            "serve: on SIGINT or SIGTERM, the maps with the values served then, into FILE");
        app.add_option("--delay", b.delay, "serve: milliseconds before each answer (0)");
        app.add_option("--drop-every", b.dropEvery, "serve: every K-th request unanswered");
        app.add_option("--busy-every", b.busyEvery, "serve: exception 6 for every K-th request");
        app.add_option("--exception", b.exceptions,
               "serve: ADDRESS:CODE, exception CODE for each request that covers ADDRESS "
               "(in the notation; repeatable)")
            ->allow_extra_args(false);
        app.add_option("--ramp", b.ramps,
               "serve: ADDRESS counts up once a second (a bit toggles; repeatable)")
            ->allow_extra_args(false);
    }
    if (!reads && !writes && !serves && !exports)
        return;
    app.add_option("--format", b.format, choices("device: the values", ValueFormatNames));
    app.add_option("--format-column", b.formatColumn,
        "device: each line's format from this column (a number, or with --header a name)");
    app.add_option("--word-order", b.wordOrder,
        choices("device: the order of a value's bytes", WordOrderNames));
    if (reads || serves)
        app.add_option("--output", b.output,
            choices("read: the results as; serve: its log as (text or json)", OutputFormatNames));
    if (writes || serves)
        app.add_option("--value-column", b.valueColumn,
            "write, serve: each line's value from this column (a number, or with --header a "
            "name): write or serve a map");
    if (reads)
        app.add_option("--count", options.count, "read: how many values from the cell on (1)");
    if (reads || exports) {
        app.add_option("--max-gap", options.maxGap,
            "read, export: registers nobody asked for that one request may span (0)");
        app.add_option("--interval", options.interval,
            "read: read again and again, every SECONDS (0.05 will do), each line with its time; "
            "export: the engine's poll");
    }
    if (reads) {
        app.add_option("--polls", options.polls, "read: with --interval, stop after N polls");
        app.add_flag("--changes", options.changes,
            "read: with --interval, after the first poll only the lines whose value changed");
    }
    if (writes) {
        app.add_option("--function", b.function,
            "write: the function to write with, 6 or 16 (registers), 5 or 15 (coils); "
            "else 6 or 5 for one, 16 or 15 for more");
        app.add_flag(
            "--verify", options.verify, "write: read every written register back and compare");
        app.add_flag("-y,--yes", options.yes, "write: write a map without asking");
        app.add_flag("--dry-run", options.dryRun,
            "write: show each request as it would be sent, and send none");
    }
}

} // namespace

std::optional<std::vector<std::size_t>> FieldList(const std::string &list)
{
    std::vector<std::size_t> columns;
    std::size_t pos = 0;
    while (pos <= list.size()) {
        const std::size_t end = std::min(list.find(',', pos), list.size());
        const std::string item = list.substr(pos, end - pos);
        const std::size_t dash = item.find('-');
        try {
            std::size_t used = 0;
            const unsigned long first = std::stoul(item.substr(0, dash), &used);
            if (used != (dash == std::string::npos ? item.size() : dash) || first == 0)
                return std::nullopt;
            unsigned long last = first;
            if (dash != std::string::npos) {
                last = std::stoul(item.substr(dash + 1), &used);
                if (used != item.size() - dash - 1 || last < first || last - first > 64)
                    return std::nullopt;
            }
            for (unsigned long c = first; c <= last; ++c)
                columns.push_back(c - 1);
        } catch (const std::exception &) {
            return std::nullopt;
        }
        pos = end + 1;
    }
    return columns;
}

ParseResult ParseCommandLine(std::span<const char *const> argv)
{
    // The parser takes "-.5" for a cluster of short options; with its leading
    // zero the same negative number passes, and messages get the original.
    std::vector<const char *> arguments(argv.begin(), argv.end());
    // Everything after "--" is an operand; the parser sees only what is before.
    std::vector<std::string> afterDashes;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (std::string_view(arguments[i]) == "--") {
            afterDashes.assign(
                arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1, arguments.end());
            arguments.resize(i);
            break;
        }
    }
    std::vector<std::string> respelled;
    respelled.reserve(arguments.size()); // no reallocation: c_str() stays valid
    std::map<std::string, std::string> originals;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (argument.starts_with("-.") && argument.size() > 2) {
            respelled.push_back("-0" + std::string(argument.substr(1)));
            originals[respelled.back()] = std::string(argument);
            arguments[i] = respelled.back().c_str();
        }
    }

    CLI::App app("Converts between Modbus addresses and data cells (table 0-31, column 0-7,\n"
                 "row 0-255): address = table * 2048 + column * 256 + row, plus 1 in Modbus\n"
                 "(1-based) addressing. Results as the Modbus Calculator window shows them.\n",
        "modbuscalc");
    app.set_version_flag("-V,--version", Version);
    app.footer(Footer);
    app.require_subcommand(1);
    app.get_formatter()->column_width(32);

    Invocation invocation;
    Options &options = invocation.options;
    device::Connection connection;
    DeviceArguments device;
    Bound bound { options, connection, device };
    // All of them before the verb; after it, those that apply to it, which
    // its --help lists.
    addOptions(app, bound, nullptr);
    std::vector<std::vector<std::string>> operands(Verbs().size());
    std::vector<CLI::App *> subcommands;
    for (std::size_t i = 0; i < Verbs().size(); ++i) {
        const Verb &verb = Verbs()[i];
        CLI::App *sub = app.add_subcommand(std::string(verb.name),
            verb.operands.empty()
                ? std::string(verb.summary)
                : std::string(verb.operands) + " to " + std::string(verb.summary));
        if (!verb.operands.empty())
            sub->add_option("operands", operands[i],
                verb.servesDevice
                    ? std::string("the maps to serve; none: every register 0")
                    : std::string(verb.operands) + "; or files to read, none: standard input");
        sub->fallthrough(); // the main parser's options after the verb too
        addOptions(*sub, bound, &verb);
        if (verb.scansDevice)
            sub->footer("Each unit is asked for address 0 of each type: a value, or exception\n"
                        "2 or 3, means that it serves the type; exception 1 that it does not;\n"
                        "silence, or a gateway's exception 10 or 11, that no unit is there.");
        subcommands.push_back(sub);
    }

    try {
        app.parse(static_cast<int>(arguments.size()), arguments.data());
    } catch (const CLI::CallForHelp &) {
        return ShowText { app.help() };
    } catch (const CLI::CallForAllHelp &) {
        return ShowText { app.help("", CLI::AppFormatMode::All) };
    } catch (const CLI::CallForVersion &e) {
        return ShowText { std::string(e.what()) + '\n' };
    } catch (const CLI::ExtrasError &e) {
        // "The following argument(s) was/were not expected: X ..."
        const std::string what = e.what();
        std::string first = what.substr(what.find(": ") + 2);
        first = first.substr(0, first.find(' '));
        if (first.starts_with('-'))
            return UsageError { "unrecognized option '" + Printable(first) + "'" };
        // After a verb that takes none, an operand.
        for (std::size_t i = 0; i < subcommands.size(); ++i)
            if (subcommands[i]->parsed())
                return UsageError { std::string(Verbs()[i].name) + " takes no operands: '"
                    + Printable(first) + "'" };
        return UsageError { "unknown command '" + Printable(first) + "'" };
    } catch (const CLI::RequiredError &) {
        // No verb: the first thing left over says why.
        const std::vector<std::string> rest = app.remaining();
        if (!rest.empty() && rest.front().starts_with('-'))
            return UsageError { "unrecognized option '" + Printable(rest.front()) + "'" };
        if (!rest.empty())
            return UsageError { "unknown command '" + Printable(rest.front()) + "'" };
        return UsageError { "missing command: " + verbList() };
    } catch (const CLI::ArgumentMismatch &e) {
        const std::string what = e.what(); // "--notation: 1 required TEXT missing"
        return UsageError { "option '" + what.substr(0, what.find(':'))
            + "' requires an argument" };
    } catch (const CLI::ConversionError &e) {
        // "Could not convert: --interval = abc"
        const std::string what = e.what();
        const std::size_t name = what.find(": ") + 2, equals = what.find(" = ", name);
        if (name > 1 && equals != std::string::npos)
            return UsageError { "option '" + Printable(what.substr(name, equals - name))
                + "' takes a number, not '" + Printable(what.substr(equals + 3)) + "'" };
        return UsageError { lowerFirst(what) };
    } catch (const CLI::ParseError &e) {
        return UsageError { lowerFirst(e.what()) };
    }

    const CLI::App *parsedVerb = nullptr;
    for (std::size_t i = 0; i < subcommands.size(); ++i) {
        if (subcommands[i]->parsed()) {
            invocation.verb = &Verbs()[i];
            invocation.operands = operands[i];
            parsedVerb = subcommands[i];
        }
    }
    // Given before the verb or after it.
    const auto given = [&](const char *name) {
        return app.count(name)
            + (parsedVerb->get_option_no_throw(name) ? parsedVerb->count(name) : 0)
            > 0;
    };
    for (std::string &operand : invocation.operands)
        if (const auto original = originals.find(operand); original != originals.end())
            operand = original->second;
    invocation.operands.insert(invocation.operands.end(), afterDashes.begin(), afterDashes.end());

    options.mode = bound.modbus ? AddressingMode::Modbus : AddressingMode::Absolute;
    if (auto error = pick(NotationNames, "notation", bound.notation, options.notation))
        return *error;
    if (auto error = pick(RegisterTypeNames, "type", bound.type, options.type))
        return *error;
    if (given("--delimiter")) {
        options.delimiter = delimiterOf(bound.delimiter);
        if (!options.delimiter)
            return UsageError { "the delimiter must be a single character: '"
                + Printable(bound.delimiter) + "'" };
    }
    const Verb &verb = *invocation.verb;
    if (given("--fields")) {
        const auto list = FieldList(bound.fields);
        if (!list)
            return UsageError { "invalid field list '" + Printable(bound.fields) + "'" };
        options.fields = *list;
    }
    if (given("--columns")) {
        if (!options.header)
            return UsageError {
                "--columns picks columns by the header's names: give --header too"
            };
        if (!options.fields.empty())
            return UsageError { "give -f or --columns, not both" };
        const std::string &columns = bound.columns;
        for (std::size_t pos = 0; pos <= columns.size();) {
            const std::size_t end = std::min(columns.find(',', pos), columns.size());
            options.columns.push_back(columns.substr(pos, end - pos));
            pos = end + 1;
        }
    }
    if (verb.readsDevice || verb.writesDevice || verb.scansDevice || verb.servesDevice
        || verb.exportsMap) {
        if (given("--host-column") && given("--serial-column"))
            return UsageError { "give --host-column or --serial-column, not both" };
        if (verb.servesDevice && (given("--host-column") || given("--serial-column")))
            return UsageError { "serve is the device: of the columns only --unit-column" };
        options.deviceIsSerial = given("--serial-column");
        options.serialSettings = device.line;
        if (auto error = pick(ParityNames, "parity", device.parity, options.serialSettings.parity))
            return *error;
        // A dry run connects to nothing, and needs no device; serve listens;
        // a map whose lines each name their device needs no other.
        const bool dry = (options.dryRun || given("--host-column") || given("--serial-column"))
            && device.host.empty() && device.serial.empty();
        if (!verb.servesDevice) {
            auto checked = connectionOf(verb.name, device, connection);
            if (auto *error = std::get_if<UsageError>(&checked); error && !dry)
                return *error;
            if (auto *checkedConnection = std::get_if<device::Connection>(&checked))
                invocation.connection = std::move(*checkedConnection);
        }
        invocation.verbose = bound.verbose;
        if (auto error = checkValues(options, bound.format, bound.wordOrder);
            error && !verb.scansDevice)
            return *error;
        for (const auto &[option, value, target] :
            { std::tuple { "--format-column", &bound.formatColumn, &options.formatColumn },
                std::tuple { "--value-column", &bound.valueColumn, &options.valueColumn },
                std::tuple { "--unit-column", &bound.unitColumn, &options.unitColumn },
                std::tuple { "--host-column", &bound.hostColumn, &options.deviceColumn },
                std::tuple { "--serial-column", &bound.serialColumn, &options.deviceColumn },
                std::tuple { "--name-column", &bound.nameColumn, &options.nameColumn } }) {
            if (!given(option))
                continue;
            if (auto error = checkColumn(option, *value, options.header))
                return *error;
            *target = *value;
        }
    }
    if (verb.exportsMap) {
        if (!given("--to"))
            return UsageError { "export needs --to: " + NameList(ExportTargetNames) };
        if (auto error = pick(ExportTargetNames, "engine", bound.to, options.target))
            return *error;
        if (given("--interval") && !(options.interval > 0 && options.interval <= 86400))
            return UsageError { "the interval is seconds above 0, up to a day" };
    }
    if (verb.servesDevice)
        return checkServe(std::move(invocation), bound, given("--listen"), given("--type"));
    if (verb.writesDevice)
        return checkWrite(std::move(invocation), bound.function, given("--notation"));
    if (verb.scansDevice)
        return checkScan(std::move(invocation), bound.units);
    if (verb.readsDevice) {
        if (auto error = pick(OutputFormatNames, "output", bound.output, options.output))
            return *error;
        if (given("--interval") && !(options.interval > 0 && options.interval <= 86400))
            return UsageError { "the interval is seconds above 0, up to a day" };
        if (given("--polls") && options.polls < 1)
            return UsageError { "the polls are 1 or more" };
        if ((given("--polls") || options.changes) && !given("--interval"))
            return UsageError { std::string(given("--polls") ? "--polls" : "--changes")
                + " goes with --interval" };
    }
    const std::size_t chosen = options.fields.size() + options.columns.size();
    const std::string counts = verb.otherInputs == 0
        ? std::to_string(verb.inputs)
        : std::to_string(verb.inputs) + " or " + std::to_string(verb.otherInputs);
    if (chosen != 0 && !TakesInputs(verb, chosen))
        return UsageError { std::string(verb.name) + " reads " + counts
            + (chosen == 1 && verb.inputs == 1 ? " column" : " columns") + ", not "
            + std::to_string(chosen) };

    // One operand is an address in the notation; three are a cell.
    const Notation inputNotation = verb.takesAddress || invocation.operands.size() == 1
        ? options.notation
        : Notation::Address;
    const bool allNumbers = std::all_of(invocation.operands.begin(), invocation.operands.end(),
        [&](const std::string &operand) { return ReadsAsNumber(operand, inputNotation); });
    invocation.numbers = allNumbers && TakesInputs(verb, invocation.operands.size());
    if (allNumbers && !invocation.operands.empty() && !invocation.numbers)
        return UsageError { std::string(verb.name) + " takes "
            + (verb.otherInputs == 0 ? plural(verb.inputs, "number", "numbers")
                                     : std::to_string(verb.inputs) + " numbers or "
                        + std::to_string(verb.otherInputs) + " address")
            + ", got " + std::to_string(invocation.operands.size()) };
    if (verb.exportsMap && invocation.numbers)
        return UsageError { "export takes maps, not numbers: the files to read ('-': standard "
                            "input)" };
    if (invocation.numbers && !options.formatColumn.empty())
        return UsageError { "--format-column reads each line's format from a map" };
    return invocation;
}

} // namespace modbuscalc::cli
