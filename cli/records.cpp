#include "cli/records.h"

#include "cli/console.h"
#include "cli/output.h"
#include "core/number_text.h"
#include "maps/records_out.h"

#include <span>
#include <utility>

namespace modbuscalc::cli {

RecordWriter::RecordWriter(const Options &options, const Verb &verb, bool watching)
    : m_options(options)
    , m_resultNames(verb.resultNames(options))
    , m_watching(watching)
{
}

void RecordWriter::header(
    const std::vector<std::string> &names, std::string_view text, char separator)
{
    if (m_headerNames)
        return;
    m_headerNames = names;
    if (m_options.output != OutputFormat::Text)
        return;
    if (m_watching) {
        m_out += "time";
        m_out += separator;
    }
    m_out += text;
    for (const std::string_view name : m_resultNames) {
        m_out += separator;
        m_out += name;
    }
    m_out += '\n';
}

void RecordWriter::line(const std::string &time, std::size_t input, const std::string &name,
    const BatchConverter::DoneLine &line)
{
    const Conversion &conversion = line.conversion;
    const auto count = static_cast<std::size_t>(m_options.count);
    const std::size_t addresses = conversion.results.size() - count;
    bool changed = !m_options.changes || m_polled.count(input) == 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string &value = conversion.results[addresses + i];
        const bool failed = value == ErrorMark;
        ++m_values;
        m_failed += failed ? 1U : 0U;
        std::string state
            = failed && conversion.problem ? "! " + Describe(*conversion.problem) : value;
        std::string &before = m_last[{ input, line.lineNumber, i }];
        if (before != state)
            changed = true;
        before = std::move(state);
    }
    if (!changed)
        return;
    // Giving up is told once, for the whole device, where it starts.
    const bool gaveUp = conversion.problem
        && conversion.problem->device.kind == device::DeviceError::Kind::GaveUp;
    if (conversion.problem && !gaveUp && !m_options.quiet && m_options.output == OutputFormat::Text)
        ReportAt(name, line.lineNumber, Describe(*conversion.problem));
    switch (m_options.output) {
    case OutputFormat::Text:
        text(time, line);
        break;
    case OutputFormat::Json:
        for (std::size_t i = 0; i < count; ++i)
            json(time, line, i, addresses);
        break;
    case OutputFormat::Csv:
        for (std::size_t i = 0; i < count; ++i)
            csv(time, line, i, addresses);
        break;
    }
}

void RecordWriter::text(const std::string &time, const BatchConverter::DoneLine &line)
{
    const char separator = line.text.empty() ? ' ' : line.separator;
    if (m_watching) {
        m_out += time;
        m_out += separator;
    }
    m_out += line.text;
    bool first = line.text.empty();
    for (const std::string &result : line.conversion.results) {
        if (!first)
            m_out += separator;
        m_out += result;
        first = false;
    }
    m_out += '\n';
}

std::optional<RecordWriter::Where> RecordWriter::where(
    const BatchConverter::DoneLine &line, std::size_t i) const
{
    if (!line.read)
        return std::nullopt;
    const device::Wanted &wanted = line.read->wanted;
    const double pdu = wanted.address + static_cast<double>(i) * wanted.width;
    return Where { pdu, wanted.type, CellOfAddress(pdu, AddressingMode::Absolute) };
}

void RecordWriter::json(const std::string &time, const BatchConverter::DoneLine &line,
    std::size_t i, std::size_t addresses)
{
    maps::JsonRecord object;
    object.text("time", time);
    if (line.lineNumber > 0) {
        object.number("line", static_cast<double>(line.lineNumber));
        object.fields("fields", line.fields,
            m_headerNames ? std::span<const std::string>(*m_headerNames)
                          : std::span<const std::string>());
    }
    const std::optional<Where> at = where(line, i);
    for (const auto &[key, value] : { std::pair { "table", at && at->cell ? at->cell->table : -1 },
             std::pair { "column", at && at->cell ? at->cell->column : -1 },
             std::pair { "row", at && at->cell ? at->cell->row : -1 } }) {
        if (value < 0)
            object.null(key);
        else
            object.number(key, value);
    }
    if (!at)
        object.null("address");
    else if (m_options.notation == Notation::Address)
        object.number("address", at->pdu + ModbusOffset(m_options.mode));
    else
        object.text("address", AddressText(m_options, at->pdu, at->type));
    const std::string &value = line.conversion.results[addresses + i];
    const bool read = value != ErrorMark && line.read;
    if (read && object.value("value", value)) {
        m_out += object.dump() + '\n';
        return;
    }
    if (!read)
        object.null("value");
    else
        ++m_failed; // a float that is no number: no value a program can use
    object.text("error",
        !read && line.conversion.problem ? Describe(*line.conversion.problem)
                                         : "not a finite number: " + value);
    m_out += object.dump() + '\n';
}

void RecordWriter::csv(const std::string &time, const BatchConverter::DoneLine &line, std::size_t i,
    std::size_t addresses)
{
    const bool single = line.lineNumber == 0;
    const std::optional<Where> at = where(line, i);
    if (!m_csvHeader) {
        m_csvHeader = true;
        std::string header = "time";
        if (single)
            header += ",table,column,row";
        else if (m_headerNames)
            for (const std::string &name : *m_headerNames)
                header += ',' + maps::CsvField(name);
        else
            for (std::size_t f = 0; f < line.fields.size(); ++f)
                header += ",field" + std::to_string(f + 1);
        m_out += header + ",address,value\r\n";
    }
    std::string record = maps::CsvField(time);
    if (single) {
        for (const double n : { at && at->cell ? at->cell->table : -1.0,
                 at && at->cell ? at->cell->column : -1.0, at && at->cell ? at->cell->row : -1.0 })
            record += ',' + (n < 0 ? std::string() : NumberText(n));
    } else {
        for (const std::string &field : line.fields)
            record += ',' + maps::CsvField(field);
    }
    record += ','
        + maps::CsvField(at ? AddressText(m_options, at->pdu, at->type) : std::string(ErrorMark));
    record += ',' + maps::CsvField(line.conversion.results[addresses + i]);
    m_out += record + "\r\n";
}

} // namespace modbuscalc::cli
