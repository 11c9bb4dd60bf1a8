// The line reader and the CSV reader on their own: line ends, lengths at
// and over the limit, reads in small pieces; separators as detected,
// quoting, padding and blanks.

#include "cli/csv.h"
#include "cli/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace modbuscalc::cli {
namespace {

// A source that hands out text at most `piece` bytes a read.
LineReader::Source sourceOf(const std::string &text, std::size_t piece = 1 << 16)
{
    return [text, piece, at = std::size_t { 0 }](char *buffer, std::size_t size) mutable {
        const std::size_t n = std::min({ size, piece, text.size() - at });
        std::memcpy(buffer, text.data() + at, n);
        at += n;
        return n;
    };
}

struct Line {
    std::string text;
    bool terminated, tooLong;
    bool operator==(const Line &) const = default;
};

std::vector<Line> linesOf(const std::string &text, std::size_t limit, std::size_t piece)
{
    LineReader reader(sourceOf(text, piece), limit);
    std::vector<Line> lines;
    while (const auto line = reader.next())
        lines.push_back({ std::string(line->text), line->terminated, line->tooLong });
    return lines;
}

TEST(LineReader, SplitsLinesWhateverThePieces)
{
    struct Case {
        std::string input;
        std::vector<Line> lines;
    };
    const std::string nul("a\0b", 3);
    const Case cases[] = {
        { "", {} },
        { "a\nb\n", { { "a", true, false }, { "b", true, false } } },
        { "a\r\nb", { { "a\r", true, false }, { "b", false, false } } },
        { "\n\n", { { "", true, false }, { "", true, false } } },
        { nul + "\n", { { nul, true, false } } },
        // Limit 8: eight bytes are a line, nine are skipped to the next.
        { "12345678\n123456789\nok\n",
            { { "12345678", true, false }, { "", true, true }, { "ok", true, false } } },
        { "123456789", { { "", false, true } } },
    };
    for (const Case &c : cases) {
        for (const std::size_t piece :
            { std::size_t { 1 }, std::size_t { 3 }, std::size_t { 1000 } }) {
            SCOPED_TRACE("'" + c.input + "' in pieces of " + std::to_string(piece));
            EXPECT_EQ(linesOf(c.input, 8, piece), c.lines);
        }
    }
}

struct Parsed {
    char separator;
    std::vector<std::vector<std::string>> records;
};

Parsed parse(const std::string &text, std::optional<char> separator = std::nullopt)
{
    LineReader lines(sourceOf(text));
    CsvReader reader(lines, separator);
    Parsed parsed { '?', {} };
    while (const auto record = reader.next()) {
        if (record->tooLong) {
            parsed.records.push_back({ "(too long)" });
            continue;
        }
        const auto &fields = reader.split(record->text);
        parsed.records.emplace_back(fields.begin(), fields.end());
    }
    parsed.separator = reader.separator().value_or('?');
    return parsed;
}

TEST(CsvReader, DetectsTheSeparator)
{
    struct Case {
        std::string input;
        char separator;
    };
    const Case cases[] = {
        { "3,5,17\n", ',' },
        { "3;5;17\n", ';' },
        { "3\t5\t17\n", '\t' },
        { "3 5  17\n", BlankSeparator },
        // A separator inside quotes is the field's own.
        { "\"Pump, main\";5;0;1\n", ';' },
        { "\"a\tb\",1\n", ',' },
        // Blank lines before the first record do not decide it.
        { "\n5,0,1\n", ',' },
        { " \n\t\n5;0;1\n", ';' },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(parse(c.input).separator, c.separator);
    }
}

TEST(CsvReader, SplitsFieldsAsSpreadsheetsWriteThem)
{
    using Records = std::vector<std::vector<std::string>>;
    struct Case {
        std::string input;
        Records records;
    };
    const Case cases[] = {
        // An empty field between two tabs is a field, not padding.
        { "3\t\t5\n", { { "3", "", "5" } } },
        { "3,,5\n", { { "3", "", "5" } } },
        // Runs of blanks are one separator.
        { "  3   5 17  \n", { { "3", "5", "17" } } },
        // Blanks around unquoted fields are not theirs; inside quotes they are.
        { " table , column ,row \n", { { "table", "column", "row" } } },
        { "\" a \",b\n", { { " a ", "b" } } },
        // Doubled quotes, separators and line breaks inside quotes.
        { "\"x\"\"y\",1\n", { { "x\"y", "1" } } },
        { "\"Pump, main\";5;0;1\n", { { "Pump, main", "5", "0", "1" } } },
        { "\"two\nlines\",3\r\nnext,4\n", { { "two\nlines", "3" }, { "next", "4" } } },
        // After the closing quote, the rest up to the separator stays.
        { "\"ab\"cd,1\n", { { "abcd", "1" } } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(parse(c.input).records, c.records);
    }
}

TEST(CsvReader, RecordsOverTheLimitAreSkippedWhole)
{
    const std::size_t limit = LineReader::DefaultMaxLineLength;
    // A quoted record over two lines: at the limit it is read...
    const std::string second = std::string(limit - 6, 'x') + "\",1";
    const std::string fits = "\"a\n" + second + "\n";
    ASSERT_EQ(fits.size(), limit + 1); // the record and its line end
    EXPECT_EQ(parse(fits + "5,6\n").records.size(), 2U);
    EXPECT_NE(parse(fits + "5,6\n").records[0][0], "(too long)");
    // ...one byte more and it is skipped, the next record read as before.
    const std::string over = "\"ab\n" + second + "\n";
    const auto records = parse(over + "5,6\n").records;
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0][0], "(too long)");
    EXPECT_EQ(records[1], (std::vector<std::string> { "5", "6" }));
}

} // namespace
} // namespace modbuscalc::cli
