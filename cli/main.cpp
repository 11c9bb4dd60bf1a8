// modbuscalc: the calculator's conversions for scripts and register lists.
// Parses the command line, then hands each conversion or input to cli/batch.

#include "cli/batch.h"
#include "version.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

using namespace modbuscalc;
using namespace modbuscalc::cli;

constexpr int ExitOk = 0;
constexpr int ExitDataProblem = 1;
constexpr int ExitUsage = 2;

constexpr const char *Examples = R"(Examples:
  modbuscalc address 5 0 1             prints 10241
  modbuscalc -m cell 10241             prints 5 0 0 (Modbus addressing)
  modbuscalc address < cells.csv       appends the address to each line
  modbuscalc --header cell -- map.csv  appends table, column and row

Batch lines hold each conversion's numbers separated by commas, semicolons,
tabs or blanks; each output line is the input line with the results added
after its own separator. Exit status: 0 if every result is in range, 1 if
any line was rejected or out of range, 2 for a usage error.
)";

int usageError(const std::string &message)
{
    std::cerr << "modbuscalc: " << message << "\nTry 'modbuscalc --help' for more information.\n";
    return ExitUsage;
}

void writeOut(std::string &buffer, bool &writeFailed)
{
    if (!buffer.empty() && std::fwrite(buffer.data(), 1, buffer.size(), stdout) != buffer.size())
        writeFailed = true;
    buffer.clear();
}

// A full disk or a closed output must not pass for success.
int withOutputChecked(int status, bool writeFailed)
{
    if (writeFailed || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::cerr << "modbuscalc: write error\n";
        return ExitDataProblem;
    }
    return status;
}

// The numbers given on the command line: one conversion, results on one line.
int convertOnce(const Options &options, const std::vector<std::string> &numbers)
{
    const std::vector<std::string_view> inputs(numbers.begin(), numbers.end());
    Converter converter(options);
    const Conversion &conversion = converter.convert(inputs);
    if (!conversion.problem.empty()) {
        for (const std::string &number : numbers)
            if (!WholeNumber(number))
                std::cerr << "modbuscalc: '" << Printable(number) << "' is not a number\n";
    }
    std::string line;
    for (const std::string &result : conversion.results)
        line += (line.empty() ? "" : " ") + result;
    line += '\n';
    bool writeFailed = false;
    writeOut(line, writeFailed);
    return withOutputChecked(conversion.inRange ? ExitOk : ExitDataProblem, writeFailed);
}

// Each input in turn, "-" being standard input.
int convertLists(const Options &options, std::vector<std::string> files)
{
    if (files.empty())
        files.emplace_back("-");
    int status = ExitOk;
    std::string name;
    BatchConverter batch(options, [&name](std::size_t line, std::string_view message) {
        std::cerr << "modbuscalc: " << name << ':' << line << ": " << message << '\n';
    });
    std::string out;
    bool writeFailed = false;
    const auto flush = [&writeFailed](std::string &buffer) { writeOut(buffer, writeFailed); };

    for (const std::string &file : files) {
        const bool standardInput = file == "-";
        name = standardInput ? "<stdin>" : file;
        std::FILE *in = standardInput ? stdin : std::fopen(file.c_str(), "rb");
        if (!in) {
            std::cerr << "modbuscalc: " << file << ": " << std::strerror(errno) << '\n';
            status = ExitDataProblem;
            continue;
        }
        LineReader reader(
            [in](char *buffer, std::size_t size) { return std::fread(buffer, 1, size, in); });
        batch.convertAll(reader, out, flush);
        flush(out);
        if (std::ferror(in)) {
            std::cerr << "modbuscalc: " << name << ": read error\n";
            status = ExitDataProblem;
        }
        if (!standardInput)
            std::fclose(in);
    }
    if (batch.failed() > 0)
        status = ExitDataProblem;
    return withOutputChecked(status, writeFailed);
}

struct Invocation {
    Options options;
    std::vector<std::string> numbers; // one conversion's, if given
    std::vector<std::string> files; // the inputs after "--"
    bool filesGiven = false;
};

// Reads the command line into invocation. Returns the exit status when the
// program is done already: help, version or a usage error.
std::optional<int> parseCommandLine(int argc, char **argv, Invocation &invocation)
{
    // Everything after "--" names an input; the parser sees only what is before.
    std::vector<const char *> arguments(argv, argv + argc);
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (std::string_view(arguments[i]) == "--") {
            invocation.files.assign(
                arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1, arguments.end());
            arguments.resize(i);
            invocation.filesGiven = true;
            break;
        }
    }

    // The parser takes "-.5" for a cluster of short options; with its leading
    // zero the same negative number passes as one.
    std::vector<std::string> respelled;
    respelled.reserve(arguments.size()); // no reallocation: c_str() stays valid
    for (const char *&argument : arguments) {
        if (std::string_view(argument).starts_with("-.")) {
            respelled.push_back("-0" + std::string(argument + 1));
            argument = respelled.back().c_str();
        }
    }

    CLI::App app("Converts between Modbus addresses and data cells (table 0-31, column 0-7,\n"
                 "row 0-255): address = table * 2048 + column * 256 + row, plus 1 in Modbus\n"
                 "(1-based) addressing. Results as the Modbus Calculator window shows them.\n",
        "modbuscalc");
    app.set_version_flag("--version", "modbuscalc " MODBUSCALC_VERSION);
    app.footer(Examples);
    app.require_subcommand(1);

    Options &options = invocation.options;
    bool modbus = false;
    app.add_flag("-m,--modbus", modbus, "Modbus (1-based) addressing; without it, absolute");
    app.add_flag("--header", options.header, "Each input's first line is a header: copy it");
    app.add_flag("--lenient", options.lenient,
        "Read numbers as the window does: the number a field begins with, else 0");

    std::vector<std::string> cellNumbers;
    std::vector<std::string> addressNumbers;
    CLI::App *address = app.add_subcommand("address", "TABLE COLUMN ROW to the address");
    address->add_option("TABLE COLUMN ROW", cellNumbers, "The cell; none: read lists");
    CLI::App *cell = app.add_subcommand("cell", "ADDRESS to TABLE COLUMN ROW");
    cell->add_option("ADDRESS", addressNumbers, "The address; none: read lists");
    for (CLI::App *verb : { address, cell }) {
        verb->fallthrough(); // options before or after the verb
        verb->footer("With no numbers, reads lists from standard input or the files after --.\n");
    }

    try {
        app.parse(static_cast<int>(arguments.size()), arguments.data());
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return usageError(e.what());
    }

    options.verb = address->parsed() ? Verb::Address : Verb::Cell;
    options.mode = modbus ? AddressingMode::Modbus : AddressingMode::Absolute;
    invocation.numbers = options.verb == Verb::Address ? cellNumbers : addressNumbers;
    const std::size_t expected = InputCount(options.verb);
    if (invocation.numbers.empty())
        return std::nullopt;
    if (invocation.filesGiven)
        return usageError("give numbers or files after --, not both");
    if (invocation.numbers.size() != expected) {
        return usageError(std::string(options.verb == Verb::Address ? "address" : "cell")
            + " takes " + std::to_string(expected) + (expected == 1 ? " number" : " numbers")
            + ", got " + std::to_string(invocation.numbers.size()));
    }
    return std::nullopt;
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
    if (invocation.numbers.empty())
        return convertLists(invocation.options, invocation.files);
    return convertOnce(invocation.options, invocation.numbers);
}
