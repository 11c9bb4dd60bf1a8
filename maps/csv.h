#pragma once

// Delimited text as spreadsheets write it (RFC 4180): fields separated by a
// comma, semicolon, tab or runs of blanks; a field in double quotes may hold
// separators, doubled quotes ("") and line breaks. Records are read over the
// line reader, so memory stays bounded by the longest record allowed.

#include "maps/line_reader.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace modbuscalc::maps {

// The separator ' ' stands for runs of blanks (spaces and tabs).
inline constexpr char BlankSeparator = ' ';

// The separator of a line: the first ',', ';' or tab outside double quotes,
// else BlankSeparator.
char DetectSeparator(std::string_view line);

// The record with one field's text replaced, quoted where the separator
// needs it; the record as it stood where it has fewer fields. Blanks and
// quotes around the field go with it.
std::string ReplaceField(
    std::string_view record, char separator, std::size_t field, std::string_view text);

class CsvReader {
public:
    struct Record {
        // The record as it stood, without its final line end: one line, or
        // several joined by '\n' where a quoted field holds line breaks.
        std::string_view text;
        bool crlf; // its final line end was "\r\n"
        std::size_t lineNumber; // of its first line, from 1
        std::size_t lines; // how many lines of the input it takes
        bool tooLong; // over the length limit: text is empty, the rest skipped
        bool unterminated; // the input ended inside a quoted field
        // Excel's "sep=;" first line: the separator, told; not a record.
        bool separatorHint = false;
    };

    // separator: the one to use, or nullopt to detect it from the input's
    // first line that is not blank.
    CsvReader(LineReader &lines, std::optional<char> separator);

    // The next record, or nullopt at the end of the input. The text stays
    // valid until the next call.
    std::optional<Record> next();

    // The separator in use: given, or detected; nullopt until detected.
    std::optional<char> separator() const { return m_separator; }

    // The fields of a record's text, unquoted: doubled quotes become one,
    // blanks around a field outside its quotes are dropped. The views stay
    // valid until the next call.
    const std::vector<std::string_view> &split(std::string_view text);

private:
    LineReader &m_lines;
    std::optional<char> m_separator;
    std::size_t m_lineNumber = 0;
    std::string m_record; // a record of several lines, joined
    std::string m_unquoted; // field texts that needed unquoting
    std::vector<std::string_view> m_fields;
};

} // namespace modbuscalc::maps
