#include "cli/batch.h"

#include "core/number_text.h"
#include "core/text.h"

#include <algorithm>
#include <string>
#include <utility>

namespace modbuscalc::cli {

using maps::BlankSeparator;
using maps::CsvReader;
using maps::LineReader;

namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
// Output is handed on in blocks of about this size.
constexpr std::size_t FlushSize = 64 * 1024;
// A device's reads are planned over this many lines at most, and as many
// bytes of their text, so that memory stays bounded on any input: no device
// has more registers than the first, and lines are seldom long.
constexpr std::size_t WindowLines = 65536;
constexpr std::size_t WindowBytes = 16 * 1024 * 1024;

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

std::optional<std::string> GivenUpSummary(
    const std::vector<std::string> &givenUp, std::size_t devices)
{
    if (givenUp.empty())
        return std::nullopt;
    std::string text = std::to_string(givenUp.size()) + " of " + std::to_string(devices)
        + (devices == 1 ? " device" : " devices") + " given up on: ";
    for (std::size_t i = 0; i < givenUp.size(); ++i)
        text += (i == 0 ? "" : ", ") + givenUp[i];
    return text;
}

BatchConverter::BatchConverter(const Verb &verb, const Options &options, Report report)
    : m_verb(verb)
    , m_options(options)
    , m_report(std::move(report))
{
}

bool BatchConverter::skipped(std::size_t results, char separator, std::string &sink)
{
    // What read writes of a device, written back as it stands: a value it
    // could not read, a line without one, and a register nobody can write
    // are left alone, and counted.
    std::optional<Skipped> why;
    const std::string_view value = TrimBlanks(m_value);
    if (value.empty())
        why = Skipped::NoValue;
    else if (value == ErrorMark)
        why = Skipped::Error;
    else if (auto prepared = PrepareWrite(m_options, m_inputs, { &m_value, 1 }, m_format);
             std::holds_alternative<Conversion>(prepared)) {
        const std::optional<Problem> &problem = std::get<Conversion>(prepared).problem;
        if (problem && problem->kind == Problem::Kind::ReadOnly)
            why = Skipped::ReadOnly;
    }
    if (!why)
        return false;
    ++m_skipped[static_cast<std::size_t>(*why)];
    if (m_options.serving)
        return true; // served, the map's text stays as it stood
    for (std::size_t i = 0; i < results; ++i) {
        sink += separator;
        sink += SkippedMark;
    }
    return true;
}

std::optional<std::string> BatchConverter::skippedNote() const
{
    static constexpr const char *Reasons[] = { "read-only", "without a value", "Error" };
    std::size_t total = 0;
    std::string reasons;
    for (std::size_t i = 0; i < m_skipped.size(); ++i) {
        if (m_skipped[i] == 0)
            continue;
        total += m_skipped[i];
        reasons += (reasons.empty() ? "" : ", ") + std::to_string(m_skipped[i]) + ' ' + Reasons[i];
    }
    if (total == 0)
        return std::nullopt;
    return std::to_string(total) + (total == 1 ? " line" : " lines") + " left alone (" + reasons
        + ')';
}

void BatchConverter::reject(std::size_t lineNumber, const Problem &problem)
{
    ++m_failed;
    if (m_options.quiet)
        return;
    // While a window waits for its reads, its messages wait too, to be told
    // in the order of the lines.
    if (readsLines())
        m_held.emplace_back(lineNumber, Describe(problem));
    else
        m_report(lineNumber, Describe(problem));
}

bool BatchConverter::resolveColumns(const std::vector<std::string_view> &header)
{
    const auto column = [&](const std::string &name) -> std::optional<std::size_t> {
        const auto found = std::find_if(header.begin(), header.end(),
            [&name](std::string_view field) { return EqualsIgnoringCase(field, name); });
        if (found != header.end())
            return static_cast<std::size_t>(found - header.begin());
        Problem problem(Problem::Kind::NoSuchColumn);
        problem.text = name;
        m_report(0, Describe(problem));
        return std::nullopt;
    };
    if (!m_options.columns.empty()) {
        m_selected.clear();
        for (const std::string &name : m_options.columns) {
            const std::optional<std::size_t> found = column(name);
            if (!found)
                return false;
            m_selected.push_back(*found);
        }
    }
    // A map read wrote (table, column, row, address, value) names its
    // cells by its header: it goes back as it came.
    if (m_options.columns.empty() && m_options.fields.empty() && m_verb.inputs == 3) {
        std::vector<std::size_t> cell;
        for (const std::string_view name : { "table", "column", "row" }) {
            const auto found = std::find_if(header.begin(), header.end(),
                [name](std::string_view field) { return EqualsIgnoringCase(field, name); });
            if (found != header.end())
                cell.push_back(static_cast<std::size_t>(found - header.begin()));
        }
        if (cell.size() == 3)
            m_selected = cell;
    }
    if (!m_options.formatColumn.empty() && !m_formatColumn) {
        m_formatColumn = column(m_options.formatColumn);
        if (!m_formatColumn)
            return false;
    }
    if (!m_options.valueColumn.empty() && !m_valueColumn) {
        m_valueColumn = column(m_options.valueColumn);
        if (!m_valueColumn)
            return false;
    }
    for (const auto &[name, found] : { std::pair { &m_options.unitColumn, &m_unitColumn },
             std::pair { &m_options.deviceColumn, &m_deviceColumn },
             std::pair { &m_options.nameColumn, &m_nameColumn } }) {
        if (name->empty() || *found)
            continue;
        *found = column(*name);
        if (!*found)
            return false;
    }
    return true;
}

std::variant<std::size_t, Problem> BatchConverter::lineDevice()
{
    const auto bad = [](std::size_t column, std::string_view text, std::string shouldBe) {
        Problem problem(Problem::Kind::BadDevice);
        problem.field = column + 1;
        problem.text = std::string(text);
        problem.subject = std::move(shouldBe);
        return problem;
    };
    std::optional<device::Link> link;
    const std::string_view deviceText = TrimBlanks(m_deviceText);
    if (!deviceText.empty()) {
        if (m_options.deviceIsSerial) {
            device::SerialLine line = m_options.serialSettings;
            line.device = std::string(deviceText);
            link = line;
        } else if (const auto endpoint = device::EndpointOf(deviceText)) {
            link = *endpoint;
        } else {
            return bad(*m_deviceColumn, m_deviceText, "a host (HOST[:PORT])");
        }
    } else if (m_defaults) {
        link = m_defaults->link;
    } else {
        Problem problem(Problem::Kind::BadDevice);
        if (m_deviceColumn)
            problem.field = *m_deviceColumn + 1;
        problem.subject = m_options.deviceIsSerial ? "no serial device, and --serial gives none"
                                                   : "no host, and --host gives none";
        return problem;
    }
    int unit = m_defaults ? m_defaults->unit : 1;
    const std::string_view unitText = TrimBlanks(m_unit);
    const bool tcp = std::holds_alternative<device::TcpEndpoint>(*link);
    if (!unitText.empty()) {
        const std::optional<double> number = WholeNumber(unitText);
        const int lowest = tcp ? 0 : 1, highest = tcp ? 255 : 247;
        if (!number || *number < lowest || *number > highest)
            return bad(*m_unitColumn, m_unit,
                "a unit (" + std::to_string(lowest) + " to " + std::to_string(highest)
                    + (tcp ? " over TCP)" : " on a serial line)"));
        unit = static_cast<int>(*number);
    }
    return m_fleet->add(*link, unit);
}

std::optional<Conversion> BatchConverter::withDevice(std::size_t &device, std::size_t results)
{
    if (!m_fleet)
        return std::nullopt;
    auto found = lineDevice();
    if (auto *bad = std::get_if<Problem>(&found))
        return Conversion { std::vector<std::string>(results, std::string(ErrorMark)),
            std::move(*bad) };
    device = std::get<std::size_t>(found);
    return std::nullopt;
}

std::optional<Problem> BatchConverter::pickInputs(const std::vector<std::string_view> &fields)
{
    m_inputs.clear();
    m_inputColumns.clear();
    m_format.reset();
    if (m_formatColumn)
        m_format = *m_formatColumn < fields.size() ? fields[*m_formatColumn] : std::string_view();
    for (const auto &[column, text] : { std::pair { &m_unitColumn, &m_unit },
             std::pair { &m_deviceColumn, &m_deviceText }, std::pair { &m_nameColumn, &m_name } })
        *text = *column && **column < fields.size() ? fields[**column] : std::string_view();
    m_value = {};
    if (m_valueColumn && *m_valueColumn < fields.size())
        m_value = fields[*m_valueColumn];
    else if (m_options.serving && m_options.valueColumn.empty())
        m_value = "0";
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
    // The format's and the value's columns are not inputs.
    for (std::size_t i = 0; i < count; ++i) {
        if (i == m_formatColumn || i == m_valueColumn || i == m_unitColumn || i == m_deviceColumn
            || i == m_nameColumn)
            continue;
        m_inputs.push_back(fields[i]);
        m_inputColumns.push_back(i);
    }
    if (!TakesInputs(m_verb, m_inputs.size())) {
        Problem problem(Problem::Kind::FieldCount);
        problem.expected = m_verb.inputs;
        problem.expectedOther = m_verb.otherInputs;
        problem.found = m_inputs.size();
        return problem;
    }
    return std::nullopt;
}

bool BatchConverter::convertAll(LineReader &reader, char oneColumnSeparator, std::string &out,
    const std::function<void(std::string &)> &flush)
{
    CsvReader records(reader, m_options.delimiter);
    m_selected = m_options.fields;
    // Columns by number now, by name once the header is read.
    const auto byNumber = [](const std::string &column) -> std::optional<std::size_t> {
        if (column.empty() || !std::all_of(column.begin(), column.end(), IsDigit))
            return std::nullopt;
        return std::stoul(column) - 1;
    };
    m_formatColumn = byNumber(m_options.formatColumn);
    m_valueColumn = byNumber(m_options.valueColumn);
    m_unitColumn = byNumber(m_options.unitColumn);
    m_deviceColumn = byNumber(m_options.deviceColumn);
    m_nameColumn = byNumber(m_options.nameColumn);
    const std::vector<std::string_view> names = m_verb.resultNames(m_options);
    bool first = true;
    // A map read from a device is written a window of lines at a time,
    // once the window's registers are read; anything else line by line.
    std::string &sink = readsLines() || m_verb.holdsMaps() ? m_window : out;

    while (const auto record = records.next()) {
        if (record->separatorHint) {
            // Copied through; the header, if any, is the line after it.
            sink += record->text;
            sink += record->crlf ? "\r\n" : "\n";
            ++m_linesRead;
            continue;
        }
        const bool isFirst = std::exchange(first, false);
        ++m_linesRead;
        if (record->tooLong) {
            Problem tooLong(Problem::Kind::LineTooLong);
            tooLong.expected = LineReader::DefaultMaxLineLength;
            reject(record->lineNumber, tooLong);
            // Its fields are gone; the marks alone keep one line per line.
            const char separator = records.separator().value_or(oneColumnSeparator);
            for (std::size_t i = 0; i < names.size(); ++i) {
                sink += i == 0 ? "" : std::string(1, separator);
                sink += ErrorMark;
            }
            // One output line for each input line it took.
            sink.append(record->lines, '\n');
        } else if (!convertRecord(*record, records, isFirst, oneColumnSeparator, names, sink)) {
            return false;
        }
        if (readsLines() && (m_pending.size() >= WindowLines || m_window.size() >= WindowBytes))
            readWindow(out, flush);
        if (out.size() >= FlushSize)
            flush(out);
        if (!readsLines())
            m_linesDone = m_linesRead;
        if (m_stop && m_stop())
            break;
    }
    if (readsLines())
        readWindow(out, flush);
    return true;
}

BatchConverter::Held BatchConverter::takeHeld()
{
    Held held { std::move(m_window), std::move(m_pending) };
    m_window.clear();
    m_pending.clear();
    m_linesDone = m_linesRead;
    return held;
}

bool BatchConverter::convertRecord(const CsvReader::Record &record, CsvReader &records,
    bool isFirst, char oneColumnSeparator, const std::vector<std::string_view> &names,
    std::string &sink)
{
    // The record is copied as it stood; only the results are added.
    std::string_view text = record.text;
    const std::size_t before = sink.size();
    sink += text;
    if (isFirst && text.starts_with(ByteOrderMark))
        text.remove_prefix(ByteOrderMark.size());
    // UTF-16 without its byte-order mark has a NUL byte beside each letter
    // of a Latin text: nothing in it reads, so say why once.
    if (isFirst && !text.empty()
        && static_cast<std::size_t>(std::count(text.begin(), text.end(), '\0')) * 3 >= text.size())
        m_report(0,
            "the input looks like UTF-16 without a byte-order mark; modbuscalc reads "
            "UTF-8, or UTF-16 with its mark (Excel's Unicode text)");
    const std::vector<std::string_view> &fields = records.split(text);
    // A row of separators alone, as spreadsheets write an empty row, is as
    // blank as a blank line.
    const bool empty = std::all_of(
        fields.begin(), fields.end(), [](std::string_view field) { return field.empty(); });
    if (!empty && !IsBlankText(text)) {
        char separator = records.separator().value_or(oneColumnSeparator);
        if (separator == BlankSeparator && fields.size() == 1)
            separator = oneColumnSeparator;

        if (isFirst && m_options.header) {
            if (!resolveColumns(fields)) {
                sink.resize(before);
                return false;
            }
            if (m_headerSink)
                m_headerSink({ fields.begin(), fields.end() }, record.text, separator);
            // Served with values of its own, a map keeps its columns.
            const bool keeps = m_options.serving && !m_options.valueColumn.empty();
            for (std::size_t i = 0; i < names.size() && !keeps; ++i) {
                sink += separator;
                sink += names[i];
            }
        } else {
            std::optional<Problem> problem
                = record.unterminated ? Problem(Problem::Kind::UnclosedQuote) : pickInputs(fields);
            if (!problem) {
                Conversion conversion;
                if (m_verb.holdsMaps() && skipped(names.size(), separator, sink)) {
                    sink += record.crlf ? "\r\n" : "\n";
                    return true;
                }
                if (m_verb.holdsMaps()) {
                    auto prepared = PrepareWrite(m_options, m_inputs, { &m_value, 1 }, m_format);
                    std::size_t device = 0;
                    if (std::holds_alternative<PreparedWrite>(prepared))
                        if (auto bad = withDevice(device, names.size()))
                            prepared = std::move(*bad);
                    if (auto *write = std::get_if<PreparedWrite>(&prepared)) {
                        // Its results follow once the whole map is written.
                        m_pending.push_back({ before, sink.size(), separator, record.lineNumber, {},
                            std::move(*write) });
                        m_pending.back().valueColumn = m_valueColumn;
                        m_pending.back().device = device;
                        sink += record.crlf ? "\r\n" : "\n";
                        return true;
                    }
                    conversion = std::get<Conversion>(std::move(prepared));
                } else if (readsLines()) {
                    auto prepared = PrepareRead(m_options, m_inputs, m_format);
                    std::size_t device = 0;
                    if (std::holds_alternative<PreparedRead>(prepared))
                        if (auto bad = withDevice(device, names.size()))
                            prepared = std::move(*bad);
                    if (auto *read = std::get_if<PreparedRead>(&prepared);
                        read && m_onlyLink && m_fleet->linkOf(device) != *m_onlyLink) {
                        sink += record.crlf ? "\r\n" : "\n"; // another link's
                        return true;
                    }
                    if (auto *read = std::get_if<PreparedRead>(&prepared)) {
                        // Its results follow once the window is read.
                        m_pending.push_back({ before, sink.size(), separator, record.lineNumber,
                            std::move(*read), {} });
                        m_pending.back().device = device;
                        m_pending.back().name = std::string(TrimBlanks(m_name));
                        if (m_lineSink)
                            m_pending.back().fields.assign(fields.begin(), fields.end());
                        sink += record.crlf ? "\r\n" : "\n";
                        return true;
                    }
                    conversion = std::get<Conversion>(std::move(prepared));
                } else {
                    conversion = m_verb.convert(m_options, m_inputs);
                }
                problem = std::move(conversion.problem);
                if (problem && problem->input)
                    problem->field = m_inputColumns[*problem->input] + 1;
                if (problem && problem->kind == Problem::Kind::UnknownFormat)
                    problem->field = *m_formatColumn + 1;
                if (problem && problem->kind == Problem::Kind::BadValue)
                    problem->field = *m_valueColumn + 1;
                for (const std::string &result : conversion.results) {
                    sink += separator;
                    sink += result;
                }
            } else {
                for (std::size_t i = 0; i < names.size(); ++i) {
                    sink += separator;
                    sink += ErrorMark;
                }
            }
            if (problem && m_onlyLink && !m_takesRejected)
                problem.reset(); // told by the link that takes them
            if (problem && m_lineSink) {
                // In its place among the lines the device answers.
                Conversion rejected { std::vector<std::string>(
                                          names.size(), std::string(ErrorMark)),
                    std::move(problem) };
                m_pending.push_back(
                    { before, before + record.text.size(), separator, record.lineNumber, {}, {},
                        { fields.begin(), fields.end() }, std::move(rejected) });
                ++m_failed;
                problem.reset();
            }
            if (problem)
                reject(record.lineNumber, *problem);
        }
    }
    sink += record.crlf ? "\r\n" : "\n";
    return true;
}

void BatchConverter::readWindow(std::string &out, const std::function<void(std::string &)> &flush)
{
    if (m_pending.empty() && m_window.empty())
        return;
    std::stable_sort(m_held.begin(), m_held.end(),
        [](const auto &a, const auto &b) { return a.first < b.first; });
    if (m_fleet && m_readFleet && !m_pending.empty()) {
        readFleet(out, flush);
    } else if (m_device && !m_pending.empty()) {
        std::vector<device::Wanted> wanted;
        wanted.reserve(m_pending.size());
        for (const Pending &line : m_pending)
            wanted.push_back(line.read.wanted);
        if (!m_reader)
            m_reader = std::make_unique<device::RegisterReader>(*m_device, m_options.maxGap);
        const std::function<void()> answered = [&] {
            const std::size_t before = m_next;
            writeDone(out);
            if (m_next != before)
                flush(out);
        };
        m_reader->readAll(wanted, m_stop, answered);
    }
    writeDone(out);

    // What is left was never asked for: cut off here when the user stopped
    // it; otherwise it is a fault of ours, told as such, never dropped.
    const bool stopped = m_stop && m_stop();
    bool cut = false;
    for (; m_next < m_pending.size(); ++m_next) {
        const Pending &line = m_pending[m_next];
        if (line.ready && !stopped) {
            writeResults(line, *line.ready, out);
            continue;
        }
        if (stopped || !(m_device || (m_fleet && m_readFleet))) {
            if (stopped) {
                writeThrough(line.start, line.lineNumber, out);
                cut = true;
                break;
            }
            Conversion conversion = FinishRead(m_options, line.read, device::DeviceError {});
            conversion.problem = SubjectProblem(Problem::Kind::NoDevice, line.read.subject);
            writeResults(line, std::move(conversion), out);
            continue;
        }
        Conversion conversion = FinishRead(m_options, line.read, device::DeviceError {});
        conversion.problem = SubjectProblem(Problem::Kind::NotRead, line.read.subject);
        ++m_unread;
        writeResults(line, std::move(conversion), out);
    }
    if (!cut)
        writeThrough(m_window.size(), static_cast<std::size_t>(-1), out);
    m_held.clear();
    m_nextHeld = 0;
    m_linesDone = m_linesRead; // blank and rejected lines are done too
    m_window.clear();
    m_pending.clear();
    m_next = 0;
    m_written = 0;
    if (m_reader)
        m_reader->clear();
    flush(out);
}

void BatchConverter::writeDone(std::string &out)
{
    for (; m_next < m_pending.size(); ++m_next) {
        const Pending &line = m_pending[m_next];
        if (line.ready) {
            writeResults(line, *line.ready, out);
            continue;
        }
        if (!m_reader)
            return; // nothing was read: told below
        std::optional<Conversion> conversion = FinishRead(m_options, line.read, *m_reader);
        if (!conversion)
            return;
        writeResults(line, std::move(*conversion), out);
    }
}

void BatchConverter::writeThrough(std::size_t end, std::size_t line, std::string &out)
{
    for (; m_nextHeld < m_held.size() && m_held[m_nextHeld].first < line; ++m_nextHeld)
        m_report(m_held[m_nextHeld].first, m_held[m_nextHeld].second);
    if (m_lineSink)
        return; // the sink writes
    if (end > m_written)
        out.append(m_window, m_written, end - m_written);
    m_written = std::max(m_written, end);
}

void BatchConverter::writeResults(const Pending &line, Conversion conversion, std::string &out)
{
    writeThrough(line.at, line.lineNumber, out);
    if (m_lineSink) {
        // Giving up is the sink's to tell, once for all its inputs.
        m_gaveUp = m_gaveUp
            || (conversion.problem
                && conversion.problem->device.kind == device::DeviceError::Kind::GaveUp);
        if (conversion.problem && !line.ready)
            ++m_failed;
        if (conversion.problem && m_fleet)
            gaveUpOn(line.device, *conversion.problem);
        m_lineSink({ line.lineNumber,
            std::string_view(m_window).substr(line.start, line.at - line.start), line.separator,
            line.fields, line.ready ? nullptr : &line.read, conversion, line.device, line.name });
        return;
    }
    for (const std::string &text : conversion.results) {
        out += line.separator;
        out += text;
    }
    // The line's own ending goes with its results: what is handed on then
    // ends with a whole line, and a terminal's progress line cannot land
    // inside one.
    if (m_written == line.at) {
        const std::size_t ending = m_window.compare(line.at, 2, "\r\n") == 0 ? 2
            : m_window.compare(line.at, 1, "\n") == 0                        ? 1
                                                                             : 0;
        out.append(m_window, line.at, ending);
        m_written += ending;
    }
    if (!conversion.problem)
        return;
    const bool gaveUp = conversion.problem->device.kind == device::DeviceError::Kind::GaveUp;
    if (m_fleet)
        gaveUpOn(line.device, *conversion.problem);
    else if (gaveUp && !m_gaveUp)
        m_report(0, conversion.problem->device.text);
    m_gaveUp = m_gaveUp || gaveUp;
    if (!gaveUp) {
        ++m_failed;
        if (!m_options.quiet)
            m_report(line.lineNumber, Describe(*conversion.problem));
    } else {
        ++m_failed; // said once, for every line
    }
}

void BatchConverter::readFleet(std::string &out, const std::function<void(std::string &)> &flush)
{
    std::vector<device::Wanted> wanted;
    std::vector<std::size_t> devices, lines;
    for (std::size_t i = 0; i < m_pending.size(); ++i) {
        if (m_pending[i].ready)
            continue;
        wanted.push_back(m_pending[i].read.wanted);
        devices.push_back(m_pending[i].device);
        lines.push_back(i);
    }
    const device::Stop *stop = m_fleetStop;
    bool blocked = false; // a line was not read: the rest wait for the cut below
    m_fleet->readAll(
        wanted, devices, m_options.maxGap, [stop] { return stop && stop->requested(); },
        [&](std::size_t k, device::Fleet::Values values) {
            if (blocked)
                return;
            const std::size_t at = lines[k];
            for (; m_next < at; ++m_next) // rejected before any device was asked
                writeResults(m_pending[m_next], *m_pending[m_next].ready, out);
            std::optional<Conversion> conversion
                = FinishRead(m_options, m_pending[at].read, values);
            if (!conversion) {
                blocked = true;
                return;
            }
            // Which device failed, where the map has several.
            if (auto &problem = conversion->problem;
                problem && problem->device.kind != device::DeviceError::Kind::GaveUp)
                problem->device.text
                    = m_fleet->name(m_pending[at].device) + ": " + problem->device.text;
            writeResults(m_pending[at], std::move(*conversion), out);
            ++m_next;
            if (m_stop)
                m_stop(); // the progress line
            flush(out);
        });
    for (; !blocked && m_next < m_pending.size() && m_pending[m_next].ready; ++m_next)
        writeResults(m_pending[m_next], *m_pending[m_next].ready, out);
}

void BatchConverter::gaveUpOn(std::size_t device, const Problem &problem)
{
    if (problem.device.kind != device::DeviceError::Kind::GaveUp)
        return;
    m_deviceGaveUp.resize(std::max(m_deviceGaveUp.size(), device + 1));
    if (m_deviceGaveUp[device])
        return;
    m_deviceGaveUp[device] = true;
    m_devicesGivenUp.push_back(m_fleet->name(device));
    if (m_tellGivingUp)
        m_report(0, m_fleet->name(device) + ": " + problem.device.text);
}

std::size_t BatchConverter::linesDone() const
{
    return m_linesDone + m_next;
}

} // namespace modbuscalc::cli
