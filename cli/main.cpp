// modbuscalc: the calculator's conversions for scripts and register maps.
// Parses the command line, then hands one conversion or each input to the
// verb table and the list converter.

#include "cli/batch.h"
#include "cli/device.h"
#include "cli/printable.h"
#include "cli/verbs.h"
#include "version.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace {

using namespace modbuscalc;
using namespace modbuscalc::cli;

constexpr int ExitOk = 0;
constexpr int ExitDataProblem = 1;
constexpr int ExitTrouble = 2; // usage, reading or writing, a device out of reach
constexpr int ExitInterrupted = 130; // as a shell reports Ctrl+C

constexpr const char *Version = "modbuscalc " MODBUSCALC_VERSION "\n"
                                "Copyright (C) 2026 The Modbus Calculator developers.\n"
                                "License: MIT; this is free software: you are free to change "
                                "and redistribute it.\nThere is NO WARRANTY, to the extent "
                                "permitted by law.";

constexpr const char *Footer
    = R"(Operands: exactly the verb's count of numbers is one conversion; otherwise
they name files to read ('-' is standard input; none: standard input).

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
fields, empty fields at its end aside. Each output line is the input line
with the results added after its own separator.

Examples:
  modbuscalc address 5 0 1               prints 10241
  modbuscalc -m cell 10241               prints 5 0 0 (Modbus addressing)
  modbuscalc address --all 1 1 1         prints 2305 2306 402306 0x0901
  modbuscalc -n ref cell 402306          prints 1 1 1
  modbuscalc address -f 3,4,5 map.csv    reads the cells from columns 3 to 5
  modbuscalc --header --columns table,column,row address map.csv
  modbuscalc read --host 192.0.2.10 -m 1 1 1   reads register 2306 from a device

read asks a live device (--host for Modbus TCP, --serial for RTU) for the
value at each cell; -m changes only the address written, the request always
carries the 0-based address. Ctrl+C stops a map after the line in progress.

Exit status: 0 if every result is in range, 1 if any line was rejected or
out of range or a read failed, 2 for a usage error, trouble reading or
writing, or a device out of reach; 130 when interrupted.
)";

std::string lowerFirst(std::string text)
{
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

int usageError(const std::string &message)
{
    std::cerr << "modbuscalc: " << message << "\nTry 'modbuscalc --help' for more information.\n";
    return ExitTrouble;
}

// A file's name in a message: as it is where it can be shown, else escaped
// and quoted, so that no control byte reaches the terminal.
std::string nameOf(const std::string &file)
{
    const std::string printable = Printable(file, std::string::npos);
    return printable == file ? file : '\'' + printable + '\'';
}

void writeOut(std::string &buffer, bool &writeFailed)
{
    if (!buffer.empty() && !writeFailed
        && std::fwrite(buffer.data(), 1, buffer.size(), stdout) != buffer.size())
        writeFailed = true;
    buffer.clear();
}

// A full disk or a closed output must not pass for success, on every path.
int withOutputChecked(int status, bool writeFailed = false)
{
    std::cout.flush();
    if (writeFailed || !std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int error = errno;
        std::cerr << "modbuscalc: write error"
                  << (error ? std::string(": ") + std::strerror(error) : "") << '\n';
        return ExitTrouble;
    }
    return status;
}

struct Invocation {
    const Verb *verb = nullptr;
    Options options;
    Connection connection;
    std::unique_ptr<Device> device;
    std::vector<std::string> operands;
    bool conversion = false; // the operands are one conversion's numbers
};

// The operands are one conversion when there are exactly the verb's count
// of them, none names a file, and one at least looks like a number.
bool isOneConversion(const Verb &verb, const std::vector<std::string> &operands)
{
    if (operands.size() != verb.inputs)
        return false;
    bool numberLike = false;
    for (const std::string &operand : operands) {
        struct stat info { };
        if (operand == "-" || ::stat(operand.c_str(), &info) == 0)
            return false;
        const std::size_t start = operand.find_first_not_of(" \t");
        numberLike = numberLike || start == std::string::npos
            || std::string_view("0123456789+-.&").find(operand[start]) != std::string_view::npos;
    }
    return numberLike;
}

bool allNumberLike(const std::vector<std::string> &operands)
{
    for (const std::string &operand : operands) {
        if (!WholeNumber(operand) && !ReadHex(operand))
            return false;
    }
    return true;
}

// "3,4,5" or "3-5": 1-based column numbers, to 0-based.
std::optional<std::vector<std::size_t>> fieldList(const std::string &list)
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

std::optional<char> delimiterOf(const std::string &text)
{
    if (text == "\\t" || text == "tab" || text == "\t")
        return '\t';
    if (text.size() == 1 && text[0] != '"' && text[0] != '\n' && text[0] != '\r')
        return text[0];
    return std::nullopt;
}

// Checks read's options and connects to the device. Returns the exit status
// when that fails: a usage error, or the device cannot be reached.
std::optional<int> setUpRead(Invocation &invocation, const std::string &host,
    const std::string &parity, const std::string &format, const std::string &wordOrder)
{
    Options &options = invocation.options;
    Connection &connection = invocation.connection;
    if (!DeviceAccessAvailable()) {
        std::cerr << "modbuscalc: read is not available in this build\n";
        return ExitTrouble;
    }
    if (host.empty() == connection.serial.empty())
        return usageError("read needs --host HOST[:PORT] or --serial DEVICE");
    connection.host = host;
    if (const std::size_t colon = host.rfind(':');
        colon != std::string::npos && host.find(':') == colon) {
        try {
            std::size_t used = 0;
            connection.port = std::stoi(host.substr(colon + 1), &used);
            if (used != host.size() - colon - 1 || connection.port < 1 || connection.port > 65535)
                throw std::invalid_argument("port");
        } catch (const std::exception &) {
            return usageError("invalid port in '" + Printable(host) + "'");
        }
        connection.host = host.substr(0, colon);
    }
    if (parity != "N" && parity != "E" && parity != "O")
        return usageError("invalid parity '" + Printable(parity) + "': N, E or O");
    connection.parity = parity[0];
    if (!(connection.timeout > 0 && connection.timeout <= 3600) || connection.retries < 0)
        return usageError("the timeout is seconds above 0, the retries 0 or more");

    static const std::map<std::string, ValueFormat> Formats = { { "u16", ValueFormat::U16 },
        { "s16", ValueFormat::S16 }, { "hex", ValueFormat::Hex }, { "u32", ValueFormat::U32 },
        { "s32", ValueFormat::S32 }, { "f32", ValueFormat::F32 } };
    const auto found = Formats.find(format);
    if (found == Formats.end())
        return usageError(
            "invalid format '" + Printable(format) + "': u16, s16, hex, u32, s32 or f32");
    options.format = found->second;
    if (wordOrder != "high-first" && wordOrder != "low-first")
        return usageError(
            "invalid word order '" + Printable(wordOrder) + "': high-first or low-first");
    options.lowWordFirst = wordOrder == "low-first";
    const bool bits
        = options.type == RegisterType::Coil || options.type == RegisterType::DiscreteInput;
    if (bits && RegistersPerValue(options.format) != 1)
        return usageError("coils and discrete inputs are single bits: no 32-bit format");
    const int most
        = bits ? MaxBitsPerRead : MaxRegistersPerRead / RegistersPerValue(options.format);
    if (options.count < 1 || options.count > most)
        return usageError("the count runs from 1 to " + std::to_string(most));

    std::string error;
    invocation.device = Connect(connection, error);
    if (!invocation.device) {
        std::cerr << "modbuscalc: " << Printable(error, std::string::npos) << '\n';
        return ExitTrouble;
    }
    options.device = invocation.device.get();
    return std::nullopt;
}

// Reads the command line into invocation. Returns the exit status when the
// program is done already: help, version or a usage error.
std::optional<int> parseCommandLine(int argc, char **argv, Invocation &invocation)
{
    // The parser takes "-.5" for a cluster of short options; with its leading
    // zero the same negative number passes, and messages get the original.
    std::vector<const char *> arguments(argv, argv + argc);
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

    Options &options = invocation.options;
    bool modbus = false;
    std::string notation = "address", type = "holding", delimiter, fields, columns;
    app.add_flag("-m,--modbus", modbus, "Modbus (1-based) addressing; without it, absolute");
    app.add_flag("--header", options.header, "Each input's first line is a header: copy it");
    app.add_flag("--lenient", options.lenient,
        "Read numbers as the window does: the number a field begins with, else 0");
    app.add_flag("-q,--quiet", options.quiet, "No message for each rejected line");
    app.add_flag("-a,--all", options.all, "Every notation: pdu, register, reference, hex");
    app.add_option("-n,--notation", notation, "address (default), hex or ref");
    app.add_option(
        "--type", type, "For ref: holding (4, default), input (3), discrete (1), coil (0)");
    app.add_option("-d,--delimiter", delimiter, "The field separator (tab: \\t)");
    app.add_option("-f,--fields", fields, "The columns to read, from 1: 3,4,5 or 3-5");
    app.add_option("--columns", columns, "With --header, the columns to read by name");

    Connection &connection = invocation.connection;
    std::string host, parity = "E", format = "u16", wordOrder = "high-first";
    app.add_option("--host", host, "read: the device's HOST[:PORT] (Modbus TCP, port 502)");
    app.add_option("--serial", connection.serial, "read: the serial DEVICE (Modbus RTU)");
    app.add_option("--baud", connection.baud, "read: RTU speed (19200)");
    app.add_option("--parity", parity, "read: RTU parity N, E (default) or O");
    app.add_option("--data-bits", connection.dataBits, "read: RTU data bits (8)");
    app.add_option("--stop-bits", connection.stopBits, "read: RTU stop bits (1)");
    app.add_option("--unit", connection.unit, "read: the unit (slave) id (1)");
    app.add_option("--timeout", connection.timeout, "read: seconds for each request (1)");
    app.add_option("--retries", connection.retries, "read: further tries of a failed request (0)");
    app.add_option("--count", options.count, "read: how many values from the cell on (1)");
    app.add_option("--format", format, "read: u16 (default), s16, hex, u32, s32 or f32");
    app.add_option("--word-order", wordOrder, "read: 32 bits: high-first (default) or low-first");
    app.add_flag("--verbose", connection.verbose, "read: each request on standard error");

    std::vector<std::vector<std::string>> operands(Verbs().size());
    std::vector<CLI::App *> subcommands;
    for (std::size_t i = 0; i < Verbs().size(); ++i) {
        const Verb &verb = Verbs()[i];
        CLI::App *sub = app.add_subcommand(std::string(verb.name),
            std::string(verb.operands) + " to " + std::string(verb.summary));
        sub->add_option("operands", operands[i],
            std::string(verb.operands) + "; or files to read, none: standard input");
        sub->fallthrough(); // options before or after the verb
        subcommands.push_back(sub);
    }

    try {
        app.parse(static_cast<int>(arguments.size()), arguments.data());
    } catch (const CLI::CallForHelp &e) {
        app.exit(e);
        return withOutputChecked(ExitOk);
    } catch (const CLI::CallForAllHelp &e) {
        app.exit(e);
        return withOutputChecked(ExitOk);
    } catch (const CLI::CallForVersion &e) {
        app.exit(e);
        return withOutputChecked(ExitOk);
    } catch (const CLI::ExtrasError &e) {
        // "The following argument(s) was/were not expected: X ..."
        const std::string what = e.what();
        std::string first = what.substr(what.find(": ") + 2);
        first = first.substr(0, first.find(' '));
        return usageError(first.starts_with('-') ? "unrecognized option '" + first + "'"
                                                 : "unknown command '" + Printable(first) + "'");
    } catch (const CLI::RequiredError &) {
        const std::vector<std::string> rest = app.remaining();
        if (!rest.empty() && !rest.front().starts_with('-'))
            return usageError("unknown command '" + Printable(rest.front()) + "'");
        return usageError("missing command: address or cell");
    } catch (const CLI::ArgumentMismatch &e) {
        const std::string what = e.what(); // "--notation: 1 required TEXT missing"
        return usageError("option '" + what.substr(0, what.find(':')) + "' requires an argument");
    } catch (const CLI::ParseError &e) {
        return usageError(lowerFirst(e.what()));
    }

    for (std::size_t i = 0; i < subcommands.size(); ++i) {
        if (subcommands[i]->parsed()) {
            invocation.verb = &Verbs()[i];
            invocation.operands = operands[i];
        }
    }
    for (std::string &operand : invocation.operands)
        if (const auto original = originals.find(operand); original != originals.end())
            operand = original->second;
    invocation.operands.insert(invocation.operands.end(), afterDashes.begin(), afterDashes.end());

    options.mode = modbus ? AddressingMode::Modbus : AddressingMode::Absolute;
    if (notation == "address")
        options.notation = Notation::Address;
    else if (notation == "hex")
        options.notation = Notation::Hex;
    else if (notation == "ref" || notation == "reference")
        options.notation = Notation::Reference;
    else
        return usageError("invalid notation '" + Printable(notation) + "': address, hex or ref");
    if (type == "holding")
        options.type = RegisterType::HoldingRegister;
    else if (type == "input")
        options.type = RegisterType::InputRegister;
    else if (type == "discrete")
        options.type = RegisterType::DiscreteInput;
    else if (type == "coil")
        options.type = RegisterType::Coil;
    else
        return usageError(
            "invalid type '" + Printable(type) + "': holding, input, discrete or coil");
    if (app.count("--delimiter")) {
        options.delimiter = delimiterOf(delimiter);
        if (!options.delimiter)
            return usageError(
                "the delimiter must be a single character: '" + Printable(delimiter) + "'");
    }
    const Verb &verb = *invocation.verb;
    if (app.count("--fields")) {
        const auto list = fieldList(fields);
        if (!list)
            return usageError("invalid field list '" + Printable(fields) + "'");
        options.fields = *list;
    }
    if (app.count("--columns")) {
        if (!options.header)
            return usageError("--columns picks columns by the header's names: give --header too");
        if (!options.fields.empty())
            return usageError("give -f or --columns, not both");
        for (std::size_t pos = 0; pos <= columns.size();) {
            const std::size_t end = std::min(columns.find(',', pos), columns.size());
            options.columns.push_back(columns.substr(pos, end - pos));
            pos = end + 1;
        }
    }
    if (verb.name == "read") {
        if (std::optional<int> status = setUpRead(invocation, host, parity, format, wordOrder))
            return status;
    }
    const std::size_t chosen = options.fields.size() + options.columns.size();
    if (chosen != 0 && chosen != verb.inputs)
        return usageError(std::string(verb.name) + " reads " + std::to_string(verb.inputs)
            + (verb.inputs == 1 ? " column" : " columns") + ", not " + std::to_string(chosen));

    invocation.conversion = isOneConversion(verb, invocation.operands);
    if (!invocation.conversion && !invocation.operands.empty()
        && allNumberLike(invocation.operands))
        return usageError(std::string(verb.name) + " takes " + std::to_string(verb.inputs)
            + (verb.inputs == 1 ? " number" : " numbers") + ", got "
            + std::to_string(invocation.operands.size()));
    return std::nullopt;
}

// The numbers given on the command line: one conversion, results on one line.
int convertOnce(const Invocation &invocation)
{
    const std::vector<std::string_view> inputs(
        invocation.operands.begin(), invocation.operands.end());
    Conversion conversion;
    invocation.verb->convert(invocation.options, inputs, conversion);
    if (conversion.rejectedInput) {
        std::cerr << "modbuscalc: '" << Printable(inputs[*conversion.rejectedInput]) << "' "
                  << conversion.problem << '\n';
    } else if (invocation.options.device && !conversion.problem.empty()) {
        // A failed read says why; for the conversions "Error" says it all.
        std::cerr << "modbuscalc: " << conversion.problem << '\n';
    }
    std::string line;
    for (const std::string &result : conversion.results)
        line += (line.empty() ? "" : " ") + result;
    line += '\n';
    bool writeFailed = false;
    writeOut(line, writeFailed);
    return withOutputChecked(conversion.inRange ? ExitOk : ExitDataProblem, writeFailed);
}

// A one-column input's results go after -d's separator, else the one its
// file name's extension implies, else a blank.
char oneColumnSeparator(const Options &options, const std::string &file)
{
    if (options.delimiter)
        return *options.delimiter;
    const auto endsWith = [&file](std::string_view tail) {
        return file.size() >= tail.size()
            && std::equal(tail.rbegin(), tail.rend(), file.rbegin(), [](char a, char b) {
                   return a == (b >= 'A' && b <= 'Z' ? char(b - 'A' + 'a') : b);
               });
    };
    if (endsWith(".csv"))
        return ',';
    if (endsWith(".tsv"))
        return '\t';
    return BlankSeparator;
}

std::atomic<bool> interrupted = false;

extern "C" void onInterrupt(int)
{
    interrupted = true;
}

// While a device is read: Ctrl+C stops after the line in progress, and on a
// terminal, standard error shows the lines done and the reads per second on
// one line redrawn in place. Standard output is never touched.
class Progress {
public:
    explicit Progress(bool reading)
        : m_reading(reading)
        , m_shown(reading && isatty(2))
    {
        if (m_reading)
            std::signal(SIGINT, onInterrupt);
    }
    ~Progress()
    {
        if (m_reading)
            std::signal(SIGINT, SIG_DFL);
    }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // After each line; false once the user has asked to stop.
    bool step(std::size_t linesDone)
    {
        ++m_done;
        if (m_shown) {
            const auto now = Clock::now();
            if (now - m_lastShown >= std::chrono::milliseconds(100)) {
                m_lastShown = now;
                const double seconds = std::chrono::duration<double>(now - m_start).count();
                std::fprintf(stderr, "\r\033[K%zu of %zu lines, %.1f reads/s", m_done, linesDone,
                    seconds > 0 ? static_cast<double>(m_done) / seconds : 0.0);
            }
        }
        return !interrupted;
    }
    bool stopped() const { return interrupted; }
    void finish()
    {
        if (m_shown && m_done > 0)
            std::fputs("\r\033[K", stderr);
    }

private:
    using Clock = std::chrono::steady_clock;
    bool m_reading;
    bool m_shown;
    std::size_t m_done = 0;
    Clock::time_point m_start = Clock::now();
    Clock::time_point m_lastShown = Clock::now() - std::chrono::seconds(1);
};

// Each input in turn, "-" being standard input.
int convertLists(const Invocation &invocation)
{
    std::vector<std::string> files = invocation.operands;
    if (files.empty())
        files.emplace_back("-");
    int status = ExitOk;
    std::string name;
    BatchConverter batch(
        *invocation.verb, invocation.options, [&name](std::size_t line, std::string_view message) {
            std::cerr << "modbuscalc: " << name;
            if (line > 0)
                std::cerr << ':' << line;
            std::cerr << ": " << message << '\n';
        });
    std::string out;
    bool writeFailed = false;
    const auto flush = [&writeFailed](std::string &buffer) { writeOut(buffer, writeFailed); };
    Progress progress(invocation.options.device != nullptr);
    batch.onEachRecord([&progress](std::size_t linesDone) { return progress.step(linesDone); });

    for (const std::string &file : files) {
        if (progress.stopped())
            break;
        const bool standardInput = file == "-";
        name = standardInput ? "<stdin>" : nameOf(file);
        struct stat info { };
        if (!standardInput && ::stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            std::cerr << "modbuscalc: " << name << ": " << std::strerror(EISDIR) << '\n';
            status = ExitTrouble;
            continue;
        }
        std::FILE *in = standardInput ? stdin : std::fopen(file.c_str(), "rb");
        if (!in) {
            std::cerr << "modbuscalc: " << name << ": " << std::strerror(errno) << '\n';
            status = ExitTrouble;
            continue;
        }
        LineReader reader(
            [in](char *buffer, std::size_t size) { return std::fread(buffer, 1, size, in); });
        if (!batch.convertAll(reader, oneColumnSeparator(invocation.options, file), out, flush))
            status = ExitTrouble;
        flush(out);
        if (std::ferror(in)) {
            std::cerr << "modbuscalc: " << name << ": read error\n";
            status = ExitTrouble;
        }
        if (!standardInput)
            std::fclose(in);
    }
    progress.finish();
    if (batch.failed() > 0 && status == ExitOk)
        status = ExitDataProblem;
    if (progress.stopped()) {
        std::cerr << "modbuscalc: interrupted\n";
        status = ExitInterrupted;
    }
    return withOutputChecked(status, writeFailed);
}

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    // Bytes in, bytes out: CRLF line ends are the input's own, not added.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    Invocation invocation;
    if (const std::optional<int> status = parseCommandLine(argc, argv, invocation))
        return *status;
    if (invocation.conversion)
        return convertOnce(invocation);
    return convertLists(invocation);
}
