#include "cli/batch.h"

#include "core/number_text.h"
#include "core/text.h"

#include <algorithm>
#include <string>
#include <utility>

namespace modbuscalc::cli {

namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
// Output is handed on in blocks of about this size.
constexpr std::size_t FlushSize = 64 * 1024;

} // namespace

char OneColumnSeparator(const Options &options, std::string_view fileName)
{
    if (options.delimiter)
        return *options.delimiter;
    if (EndsWithIgnoringCase(fileName, ".csv"))
        return ',';
    if (EndsWithIgnoringCase(fileName, ".tsv"))
        return '\t';
    return BlankSeparator;
}

BatchConverter::BatchConverter(const Verb &verb, const Options &options, Report report)
    : m_verb(verb)
    , m_options(options)
    , m_report(std::move(report))
{
}

void BatchConverter::reject(std::size_t lineNumber, const Problem &problem)
{
    ++m_failed;
    if (!m_options.quiet)
        m_report(lineNumber, Describe(problem));
}

bool BatchConverter::resolveColumns(const std::vector<std::string_view> &header)
{
    m_selected.clear();
    for (const std::string &name : m_options.columns) {
        const auto found = std::find_if(header.begin(), header.end(),
            [&name](std::string_view field) { return EqualsIgnoringCase(field, name); });
        if (found == header.end()) {
            Problem problem(Problem::Kind::NoSuchColumn);
            problem.text = name;
            m_report(0, Describe(problem));
            return false;
        }
        m_selected.push_back(static_cast<std::size_t>(found - header.begin()));
    }
    return true;
}

std::optional<Problem> BatchConverter::pickInputs(const std::vector<std::string_view> &fields)
{
    m_inputs.clear();
    m_inputColumns.clear();
    if (!m_selected.empty()) {
        for (std::size_t column : m_selected) {
            if (column >= fields.size()) {
                Problem problem(Problem::Kind::NoSuchField);
                problem.field = column + 1;
                problem.found = fields.size();
                return problem;
            }
            m_inputs.push_back(fields[column]);
            m_inputColumns.push_back(column);
        }
        return std::nullopt;
    }
    // Spreadsheets pad rows to the widest one: empty fields at the end do
    // not count.
    std::size_t count = fields.size();
    while (count > 0 && fields[count - 1].empty())
        --count;
    const std::size_t expected = m_verb.inputs;
    if (count != expected) {
        Problem problem(Problem::Kind::FieldCount);
        problem.expected = expected;
        problem.found = count;
        return problem;
    }
    for (std::size_t i = 0; i < count; ++i) {
        m_inputs.push_back(fields[i]);
        m_inputColumns.push_back(i);
    }
    return std::nullopt;
}

bool BatchConverter::convertAll(LineReader &reader, char oneColumnSeparator, std::string &out,
    const std::function<void(std::string &)> &flush)
{
    CsvReader records(reader, m_options.delimiter);
    m_selected = m_options.fields;
    const std::vector<std::string_view> names = m_verb.resultNames(m_options);
    bool first = true;

    while (const auto record = records.next()) {
        const bool isFirst = std::exchange(first, false);
        if (record->tooLong) {
            Problem tooLong(Problem::Kind::LineTooLong);
            tooLong.expected = LineReader::DefaultMaxLineLength;
            reject(record->lineNumber, tooLong);
            // Its fields are gone; the marks alone keep one line per line.
            const char separator = records.separator().value_or(oneColumnSeparator);
            for (std::size_t i = 0; i < names.size(); ++i) {
                out += i == 0 ? "" : std::string(1, separator);
                out += ErrorMark;
            }
            // One output line for each input line it took.
            out.append(record->lines, '\n');
            continue;
        }

        // The record is copied as it stood; only the results are added.
        std::string_view text = record->text;
        const std::size_t before = out.size();
        out += text;
        if (isFirst && text.starts_with(ByteOrderMark))
            text.remove_prefix(ByteOrderMark.size());
        if (!IsBlankText(text)) {
            const std::vector<std::string_view> &fields = records.split(text);
            char separator = records.separator().value_or(oneColumnSeparator);
            if (separator == BlankSeparator && fields.size() == 1)
                separator = oneColumnSeparator;

            if (isFirst && m_options.header) {
                if (!m_options.columns.empty() && !resolveColumns(fields)) {
                    out.resize(before);
                    return false;
                }
                for (std::string_view name : names) {
                    out += separator;
                    out += name;
                }
            } else {
                std::optional<Problem> problem = record->unterminated
                    ? Problem(Problem::Kind::UnclosedQuote)
                    : pickInputs(fields);
                if (!problem) {
                    Conversion conversion = m_verb.convert(m_options, m_inputs);
                    problem = std::move(conversion.problem);
                    if (problem && problem->input)
                        problem->field = m_inputColumns[*problem->input] + 1;
                    for (const std::string &result : conversion.results) {
                        out += separator;
                        out += result;
                    }
                } else {
                    for (std::size_t i = 0; i < names.size(); ++i) {
                        out += separator;
                        out += ErrorMark;
                    }
                }
                if (problem)
                    reject(record->lineNumber, *problem);
            }
        }
        out += record->crlf ? "\r\n" : "\n";
        if (out.size() >= FlushSize)
            flush(out);
        if (m_afterRecord && !m_afterRecord(record->lineNumber + record->lines - 1))
            break;
    }
    return true;
}

} // namespace modbuscalc::cli
