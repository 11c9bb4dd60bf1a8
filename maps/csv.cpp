#include "maps/csv.h"

#include "core/text.h"

namespace modbuscalc::maps {

namespace {

// AnySeparator: not yet known, so each that may be one counts.
constexpr char AnySeparator = '\0';

bool separates(char c, char separator)
{
    if (separator == AnySeparator)
        return c == ',' || c == ';' || IsBlank(c);
    return separator == BlankSeparator ? IsBlank(c) : c == separator;
}

// Blanks that may stand around a field: a tab separates, so it is kept.
bool isPadding(char c, char separator)
{
    return c == ' ' || (c == '\t' && separator != '\t');
}

// Whether a line, begun inside a quoted field or not, ends inside one.
bool endsInsideQuotes(std::string_view line, char separator, bool inside)
{
    if (line.find('"') == std::string_view::npos) // most lines: one quick look
        return inside;
    bool atFieldStart = !inside;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inside) {
            if (c == '"') {
                if (i + 1 < line.size() && line[i + 1] == '"')
                    ++i; // a doubled quote stands for one
                else
                    inside = false;
            }
        } else if (atFieldStart && c == '"') {
            inside = true;
            atFieldStart = false;
        } else if (separates(c, separator)) {
            atFieldStart = true;
        } else if (!(atFieldStart && isPadding(c, separator))) {
            atFieldStart = false;
        }
    }
    return inside;
}

std::string_view trimmedEnd(std::string_view text, char separator)
{
    while (!text.empty() && isPadding(text.back(), separator))
        text.remove_suffix(1);
    return text;
}

} // namespace

char DetectSeparator(std::string_view line)
{
    bool inside = false;
    for (char c : line) {
        if (c == '"')
            inside = !inside;
        else if (!inside && (c == ',' || c == ';' || c == '\t'))
            return c;
    }
    // All of it quoted, or a quote left open: the first one anywhere.
    for (char c : line)
        if (c == ',' || c == ';' || c == '\t')
            return c;
    return BlankSeparator;
}

CsvReader::CsvReader(LineReader &lines, std::optional<char> separator)
    : m_lines(lines)
    , m_separator(separator)
{
}

std::optional<CsvReader::Record> CsvReader::next()
{
    std::optional<LineReader::Line> line = m_lines.next();
    if (!line)
        return std::nullopt;
    Record record { {}, false, ++m_lineNumber, 1, line->tooLong, false };
    if (line->tooLong)
        return record;

    std::string_view text = line->text;
    // Until the input's first record that is not blank has been read, the
    // separator is not known.
    const char separator = m_separator.value_or(AnySeparator);

    if (endsInsideQuotes(text, separator, false)) {
        // A quoted field holds a line break: gather lines until it closes.
        m_record.assign(text);
        bool inside = true;
        while (inside) {
            line = m_lines.next();
            if (!line) {
                record.unterminated = true;
                break;
            }
            ++m_lineNumber;
            ++record.lines;
            if (line->tooLong
                || m_record.size() + line->text.size() >= LineReader::DefaultMaxLineLength) {
                record.tooLong = true; // ends here: what follows cannot be told apart
                return record;
            }
            m_record += '\n';
            m_record += line->text;
            inside = endsInsideQuotes(line->text, separator, true);
        }
        text = m_record;
    }
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
        record.crlf = true;
    }
    if (record.lineNumber == 1) {
        std::string_view hint = text;
        if (hint.starts_with("\xEF\xBB\xBF"))
            hint.remove_prefix(3);
        if (hint.size() == 5 && EqualsIgnoringCase(hint.substr(0, 4), "sep=")) {
            record.separatorHint = true;
            if (!m_separator && hint[4] != '"')
                m_separator = hint[4];
            record.text = text;
            return record;
        }
    }
    if (!m_separator && text.find_first_not_of(" \t") != std::string_view::npos)
        m_separator = DetectSeparator(text);
    record.text = text;
    return record;
}

const std::vector<std::string_view> &CsvReader::split(std::string_view text)
{
    const char separator = m_separator.value_or(BlankSeparator);
    m_fields.clear();
    m_unquoted.clear();
    m_unquoted.reserve(text.size()); // no reallocation: the views stay valid

    std::size_t i = 0;
    if (separator == BlankSeparator) {
        while (i < text.size() && IsBlank(text[i]))
            ++i;
        if (i == text.size())
            return m_fields;
    }
    for (;;) {
        while (i < text.size() && isPadding(text[i], separator))
            ++i;
        if (i < text.size() && text[i] == '"') {
            // Quoted: up to the closing quote, then anything else up to the
            // separator is kept as it stands.
            const std::size_t start = m_unquoted.size();
            for (++i; i < text.size(); ++i) {
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        m_unquoted += '"';
                        ++i;
                    } else {
                        ++i;
                        break;
                    }
                } else {
                    m_unquoted += text[i];
                }
            }
            const std::size_t closed = m_unquoted.size();
            while (i < text.size() && !separates(text[i], separator))
                m_unquoted += text[i++];
            // Blanks inside the quotes are the field's own.
            while (m_unquoted.size() > closed && isPadding(m_unquoted.back(), separator))
                m_unquoted.pop_back();
            m_fields.push_back(std::string_view(m_unquoted).substr(start));
        } else {
            const std::size_t start = i;
            while (i < text.size() && !separates(text[i], separator))
                ++i;
            m_fields.push_back(trimmedEnd(text.substr(start, i - start), separator));
        }
        if (i >= text.size())
            return m_fields;
        ++i; // the separator
        if (separator == BlankSeparator) {
            while (i < text.size() && IsBlank(text[i]))
                ++i;
            if (i == text.size())
                return m_fields;
        }
    }
}

std::string ReplaceField(
    std::string_view record, char separator, std::size_t field, std::string_view text)
{
    const bool blanks = separator == BlankSeparator;
    const auto splits = [&](char c) { return blanks ? c == ' ' || c == '\t' : c == separator; };
    std::size_t i = 0;
    if (blanks)
        while (i < record.size() && splits(record[i]))
            ++i;
    for (std::size_t index = 0;; ++index) {
        const std::size_t begin = i;
        bool quoted = false;
        for (; i < record.size() && (quoted || !splits(record[i])); ++i)
            if (record[i] == '"')
                quoted = !quoted;
        if (index == field) {
            std::string value(text);
            if (value.find_first_of(
                    std::string("\"\r\n") + (blanks ? " \t" : std::string(1, separator)))
                != std::string::npos) {
                std::string quotedValue = "\"";
                for (const char c : value)
                    quotedValue += c == '"' ? std::string("\"\"") : std::string(1, c);
                value = quotedValue + '"';
            }
            return std::string(record.substr(0, begin)) + value + std::string(record.substr(i));
        }
        if (i >= record.size())
            return std::string(record);
        ++i;
        if (blanks)
            while (i < record.size() && splits(record[i]))
                ++i;
    }
}

} // namespace modbuscalc::maps
