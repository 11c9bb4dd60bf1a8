// The line reader and the CSV reader on their own: line ends, lengths at
// and over the limit, reads in small pieces; separators as detected,
// quoting, padding and blanks.

#include "maps/csv.h"
#include "maps/encoding.h"
#include "maps/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace modbuscalc::maps {
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

// All a TextSource gives, read in pieces of `piece` bytes from a source that
// hands out `raw` bytes at a time.
std::string decoded(const std::string &input, std::size_t raw, std::size_t piece)
{
    TextSource source(sourceOf(input, raw));
    std::string out;
    std::vector<char> buffer(piece);
    while (const std::size_t n = source(buffer.data(), buffer.size()))
        out.append(buffer.data(), n);
    return out;
}

std::string utf16(std::u16string_view text, bool little)
{
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        out += little ? std::string { low, high } : std::string { high, low };
    }
    return out;
}

TEST(TextSource, Utf16WithItsMarkBecomesUtf8)
{
    struct Case {
        std::string input;
        std::string out;
    };
    const Case cases[] = {
        // Its mark becomes UTF-8's; one, two, three and four bytes.
        { utf16(u"1,2\r\n", true),
            "\xEF\xBB\xBF"
            "1,2\r\n" },
        { utf16(u"1,2\r\n", false),
            "\xEF\xBB\xBF"
            "1,2\r\n" },
        { utf16(u"\u00DC\u20AC\U0001F600", true),
            "\xEF\xBB\xBF"
            "\xC3\x9C"
            "\xE2\x82\xAC"
            "\xF0\x9F\x98\x80" },
        // A surrogate alone, and an odd byte at the end, are U+FFFD.
        { utf16(u"a", true) + std::string("\x00\xD8", 2) + std::string("b\0", 2) + "c",
            "\xEF\xBB\xBF"
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD" },
        // Anything else passes as its bytes.
        { "1,2\n", "1,2\n" },
        { "\xFF", "\xFF" },
        { "", "" },
        { "\xEF\xBB\xBF"
          "1\n",
            "\xEF\xBB\xBF"
            "1\n" },
    };
    for (const Case &c : cases) {
        for (const std::size_t raw :
            { std::size_t { 1 }, std::size_t { 3 }, std::size_t { 4096 } }) {
            for (const std::size_t piece :
                { std::size_t { 1 }, std::size_t { 5 }, std::size_t { 4096 } }) {
                SCOPED_TRACE(std::to_string(raw) + ' ' + std::to_string(piece));
                EXPECT_EQ(decoded(c.input, raw, piece), c.out);
            }
        }
    }
}

} // namespace
} // namespace modbuscalc::maps

namespace modbuscalc::maps {
namespace {

TEST(ReplaceField, OneFieldReplacedTheRestAsItStood)
{
    struct Case {
        std::string_view record;
        char separator;
        std::size_t field;
        std::string_view text, replaced;
    };
    const Case cases[] = {
        { "1,1,1,1234", ',', 3, "77", "1,1,1,77" },
        { "1,1,1,1234,note", ',', 3, "77", "1,1,1,77,note" },
        { "\"a,b\",1,\"1\"\"\",5", ',', 3, "6", "\"a,b\",1,\"1\"\"\",6" },
        { "x;2306;\"21,5\"", ';', 2, "22.5", "x;2306;22.5" },
        { "x;2306;1", ';', 2, "a;b", "x;2306;\"a;b\"" },
        { "1\t1\t1\t", '\t', 3, "9", "1\t1\t1\t9" },
        { "  1   1 1  5", BlankSeparator, 3, "-5", "  1   1 1  -5" },
        { "1 1 1", BlankSeparator, 1, "a b", "1 \"a b\" 1" },
        { "1,1,1", ',', 5, "9", "1,1,1" }, // fewer fields: as it stood
        { "1,1,1,", ',', 3, "9", "1,1,1,9" },
    };
    for (const Case &c : cases)
        EXPECT_EQ(ReplaceField(c.record, c.separator, c.field, c.text), c.replaced) << c.record;
}

} // namespace
} // namespace modbuscalc::maps
