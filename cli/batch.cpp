#include "cli/batch.h"

#include "core/number_text.h"

#include <array>
#include <string>
#include <utility>

namespace modbuscalc::cli {

namespace {

constexpr std::array<std::string_view, 1> AddressNames = { "address" };
constexpr std::array<std::string_view, 3> CellNames = { "table", "column", "row" };
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
// Output is handed on in blocks of about this size.
constexpr std::size_t FlushSize = 64 * 1024;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string rejection(std::size_t field, std::string_view text)
{
    std::string message = "field " + std::to_string(field + 1);
    if (trimmed(text).empty())
        return message + " is empty";
    return message + " ('" + Printable(trimmed(text)) + "') is not a number";
}

} // namespace

std::size_t InputCount(Verb verb)
{
    return verb == Verb::Address ? 3 : 1;
}

std::span<const std::string_view> ResultNames(Verb verb)
{
    if (verb == Verb::Address)
        return AddressNames;
    return CellNames;
}

Converter::Converter(const Options &options)
    : m_options(options)
{
    m_fields.setModbusSelected(options.mode == AddressingMode::Modbus);
    m_result.results.resize(ResultNames(options.verb).size());
}

const Conversion &Converter::convert(std::span<const std::string_view> inputs)
{
    m_result.problem.clear();
    if (!m_options.lenient) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (!WholeNumber(inputs[i])) {
                for (std::string &result : m_result.results)
                    result = ErrorMark;
                m_result.inRange = false;
                m_result.problem = rejection(i, inputs[i]);
                return m_result;
            }
        }
    }

    // The same field texts and calculation as a key release in the window.
    if (m_options.verb == Verb::Address) {
        m_fields.setText(Field::Table, std::string(inputs[0]));
        m_fields.setText(Field::Column, std::string(inputs[1]));
        m_fields.setText(Field::Row, std::string(inputs[2]));
        CalculateAddress(m_fields);
        m_result.results[0] = m_fields.text(Field::Address);
    } else {
        m_fields.setText(Field::Address, std::string(inputs[0]));
        CalculateTables(m_fields);
        m_result.results[0] = m_fields.text(Field::Table);
        m_result.results[1] = m_fields.text(Field::Column);
        m_result.results[2] = m_fields.text(Field::Row);
    }
    // Out-of-range results are marked in every output field alike.
    m_result.inRange = m_result.results[0] != ErrorMark;
    return m_result;
}

char SeparatorOf(std::string_view line)
{
    // A plain loop: find_first_of looks each character up in the set anew.
    for (char c : line)
        if (c == ',' || c == ';' || c == '\t')
            return c;
    return ' ';
}

void SplitFields(std::string_view line, char separator, std::vector<std::string_view> &fields)
{
    fields.clear();
    if (separator == ' ') {
        for (std::size_t pos = 0;;) {
            while (pos < line.size() && isBlank(line[pos]))
                ++pos;
            if (pos == line.size())
                return;
            std::size_t end = pos;
            while (end < line.size() && !isBlank(line[end]))
                ++end;
            fields.push_back(line.substr(pos, end - pos));
            pos = end;
        }
    }
    for (std::size_t pos = 0;;) {
        const std::size_t end = line.find(separator, pos);
        fields.push_back(trimmed(line.substr(pos, end - pos)));
        if (end == std::string_view::npos)
            return;
        pos = end + 1;
    }
}

std::string Printable(std::string_view text)
{
    constexpr std::size_t Longest = 40;
    constexpr std::string_view Hex = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < Longest; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 0xF];
        } else {
            out += static_cast<char>(byte);
        }
    }
    if (text.size() > Longest)
        out += "...";
    return out;
}

BatchConverter::BatchConverter(const Options &options, Report report)
    : m_options(options)
    , m_report(std::move(report))
    , m_converter(options)
{
}

void BatchConverter::convertAll(
    LineReader &reader, std::string &out, const std::function<void(std::string &)> &flush)
{
    std::size_t lineNumber = 0;
    while (const auto line = reader.next()) {
        ++lineNumber;
        if (line->tooLong) {
            ++m_failed;
            m_report(lineNumber,
                "line longer than " + std::to_string(LineReader::DefaultMaxLineLength)
                    + " bytes, skipped");
            // Its fields are gone; the marks alone keep one line per line.
            const std::size_t marks = ResultNames(m_options.verb).size();
            for (std::size_t i = 0; i < marks; ++i) {
                out += i == 0 ? "" : " ";
                out += ErrorMark;
            }
            out += '\n';
        } else {
            convertLine(line->text, lineNumber, out);
        }
        if (out.size() >= FlushSize)
            flush(out);
    }
}

void BatchConverter::convertLine(std::string_view line, std::size_t lineNumber, std::string &out)
{
    // The line is copied as it stood; only the results are added.
    const bool crlf = !line.empty() && line.back() == '\r';
    const std::string_view content = crlf ? line.substr(0, line.size() - 1) : line;
    std::string_view text = content;
    if (lineNumber == 1 && text.starts_with(ByteOrderMark))
        text.remove_prefix(ByteOrderMark.size());

    out += content;
    if (trimmed(text).empty()) {
        // A blank line stays blank.
    } else if (lineNumber == 1 && m_options.header) {
        const char separator = SeparatorOf(text);
        for (std::string_view name : ResultNames(m_options.verb)) {
            out += separator;
            out += name;
        }
    } else {
        const char separator = SeparatorOf(text);
        SplitFields(text, separator, m_fields);
        const std::size_t expected = InputCount(m_options.verb);
        if (m_fields.size() != expected) {
            ++m_failed;
            m_report(lineNumber,
                "expected " + std::to_string(expected) + (expected == 1 ? " field" : " fields")
                    + ", found " + std::to_string(m_fields.size()));
            for (std::size_t i = 0; i < ResultNames(m_options.verb).size(); ++i) {
                out += separator;
                out += ErrorMark;
            }
        } else {
            const Conversion &conversion = m_converter.convert(m_fields);
            if (!conversion.problem.empty())
                m_report(lineNumber, conversion.problem);
            if (!conversion.inRange)
                ++m_failed;
            for (const std::string &result : conversion.results) {
                out += separator;
                out += result;
            }
        }
    }
    if (crlf)
        out += '\r';
    out += '\n';
}

} // namespace modbuscalc::cli
