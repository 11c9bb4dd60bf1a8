#pragma once

// The command line's conversions: one set of numbers, or a whole register
// list line by line. Every result comes from the same field set and
// calculations the window uses, so a script and the window never disagree.

#include "cli/line_reader.h"
#include "core/address_conversion.h"
#include "form/memory_field_set.h"

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modbuscalc::cli {

// address: TABLE COLUMN ROW to the address; cell: ADDRESS to the cell.
enum class Verb { Address, Cell };

struct Options {
    Verb verb = Verb::Address;
    AddressingMode mode = AddressingMode::Absolute;
    bool lenient = false; // read numbers as the window does, never reject
    bool header = false; // each input's first line names its columns
};

// How many numbers a verb takes, and the names of the results it gives.
std::size_t InputCount(Verb verb);
std::span<const std::string_view> ResultNames(Verb verb);

// One conversion of texts as typed, with the window's rules.
struct Conversion {
    std::vector<std::string> results; // as the window's fields show them
    bool inRange = false; // false when the window shows "Error"
    std::string problem; // why the inputs were rejected; empty if they were not
};

// Converts inputs (InputCount(verb) texts). Strictly, a text that is not
// wholly a number rejects the set: every result is "Error" and problem says
// which text. Leniently, each text reads as the window reads it.
class Converter {
public:
    explicit Converter(const Options &options);
    const Conversion &convert(std::span<const std::string_view> inputs);

private:
    Options m_options;
    MemoryFieldSet m_fields { '.' }; // output is for machines: always '.'
    Conversion m_result;
};

// The separator a line uses: the first ',', ';' or tab in it, else ' ' for
// fields separated by runs of blanks.
char SeparatorOf(std::string_view line);

// The line's fields, split at separator; blanks around each are trimmed.
// With ' ', runs of spaces and tabs separate, and blanks at the ends are
// ignored.
void SplitFields(std::string_view line, char separator, std::vector<std::string_view> &fields);

// Writes a text into a message so that control bytes, bytes beyond ASCII
// and very long texts cannot garble the terminal: "\x00", "...".
std::string Printable(std::string_view text);

// Converts a register list: for each input line exactly one output line,
// the line as it stood with the results appended after its own separator.
// Blank lines are copied; a rejected line gets "Error" results and a message.
class BatchConverter {
public:
    // Receives "LINE: what is wrong" for each rejected line, in order.
    using Report = std::function<void(std::size_t lineNumber, std::string_view message)>;

    BatchConverter(const Options &options, Report report);

    // Converts one whole input (a file or standard input), appending every
    // output line to out; flush is called whenever out has grown large.
    void convertAll(
        LineReader &reader, std::string &out, const std::function<void(std::string &)> &flush);

    // Lines that were rejected or out of range, over every input so far.
    std::size_t failed() const { return m_failed; }

private:
    void convertLine(std::string_view line, std::size_t lineNumber, std::string &out);

    Options m_options;
    Report m_report;
    Converter m_converter;
    std::vector<std::string_view> m_fields;
    std::size_t m_failed = 0;
};

} // namespace modbuscalc::cli
