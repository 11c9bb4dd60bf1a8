#include "form/table_view.h"

#include "core/number_text.h"
#include "core/text.h"
#include "device/read_plan.h"
#include "form/address_notes.h"
#include "maps/records_out.h"

#include <algorithm>

namespace modbuscalc {

namespace {

using Clock = std::chrono::steady_clock;

// A wide value's later registers, in the cell: a vertical ellipsis.
constexpr std::string_view ContinuesMark = "\xE2\x8B\xAE";
constexpr std::string_view LackingText = "no register";
constexpr std::string_view NoAnswerText = "no answer";
constexpr std::string_view WritingText = "writing";

TableCell failedCell(const device::DeviceError &error)
{
    if (error.kind != device::DeviceError::Kind::Exception)
        return { CellKind::NoAnswer, std::string(NoAnswerText) };
    if (error.exception == 2)
        return { CellKind::Lacking, std::string(LackingText) };
    return { CellKind::Failed, "exception " + std::to_string(error.exception) };
}

} // namespace

int TableChoice::width() const
{
    return device::IsBits(type) ? 1 : RegistersPerValue(format);
}

ValueFormat TableChoice::shownFormat() const
{
    return device::IsBits(type) ? ValueFormat::Bit : format;
}

std::vector<std::pair<std::string, std::string>> TableChoice::toPairs() const
{
    return {
        { "table", std::to_string(table) },
        { "type", std::string(ChoiceName(LiveTypes, static_cast<int>(type))) },
        { "format", std::string(ChoiceName(LiveFormats, static_cast<int>(format))) },
        { "wordOrder", std::string(ChoiceName(LiveWordOrders, static_cast<int>(order))) },
    };
}

TableChoice TableChoice::FromPairs(
    const std::function<std::optional<std::string>(std::string_view key)> &lookup)
{
    TableChoice choice;
    const auto text = [&lookup](std::string_view key) { return lookup(key).value_or(""); };
    if (const auto table = NumberOf<int>(text("table"));
        table && *table >= 0 && *table < TableCount)
        choice.table = *table;
    if (const auto type = ChoiceValue(LiveTypes, text("type")))
        choice.type = static_cast<RegisterType>(*type);
    if (const auto format = ChoiceValue(LiveFormats, text("format")))
        choice.format = static_cast<ValueFormat>(*format);
    if (const auto order = ChoiceValue(LiveWordOrders, text("wordOrder")))
        choice.order = static_cast<WordOrder>(*order);
    return choice;
}

std::variant<std::vector<std::uint16_t>, std::string> CellWords(
    const TableChoice &choice, std::string_view text)
{
    const std::string given(TrimBlanks(text));
    if (choice.type == RegisterType::Coil) {
        if (const std::optional<bool> state = CoilState(given))
            return std::vector<std::uint16_t> { static_cast<std::uint16_t>(*state) };
        return "'" + given + "' is not a coil's state (0 or 1, on or off)";
    }
    if (auto words = ValueWords(choice.format, choice.order, given))
        return std::move(*words);
    return "'" + given + "' is not "
        + std::string(ChoiceName(LiveFormats, static_cast<int>(choice.format))) + " ("
        + ValueRange(choice.format) + ')';
}

std::string CellNotes(const TableChoice &choice, int index, bool modbus)
{
    const int pdu = choice.table * TableCells + index;
    std::string notes = "Table " + std::to_string(choice.table) + ", Row "
        + std::to_string(RowOf(index)) + ", Column " + std::to_string(ColumnOf(index))
        + "\nAddress: " + std::to_string(pdu + (modbus ? 1 : 0))
        + (modbus ? " (Modbus addressing)" : " (absolute addressing)") + '\n'
        + NotationNotes(pdu, choice.type);
    if (const int width = choice.width(); RowOf(index) % width != 0)
        notes
            += "\nPart of the value in row " + std::to_string(RowOf(index) - RowOf(index) % width);
    return notes;
}

TableReader::TableReader(Deliver deliver, Report report, std::shared_ptr<DeviceLine> line)
    : m_deliver(std::move(deliver))
    , m_report(std::move(report))
    , m_line(std::move(line))
    , m_worker([this] { run(); })
{
}

TableReader::~TableReader()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_line->interrupt(this); // ends a wait for the device at once
    m_wake.notify_all();
    m_worker.join();
}

bool TableReader::stopping()
{
    const std::lock_guard lock(m_mutex);
    return m_stopping;
}

std::uint64_t TableReader::follow(const TableChoice &choice, const LiveSettings &settings)
{
    const std::lock_guard lock(m_mutex);
    if (!m_following || !(choice == m_choice) || !(settings == m_settings)) {
        m_following = true;
        m_choice = choice;
        m_settings = settings;
        ++m_generation;
        m_fresh = true;
        m_wake.notify_all();
    }
    return m_generation;
}

std::variant<std::uint64_t, std::string> TableReader::write(int index, std::string_view text)
{
    const std::lock_guard lock(m_mutex);
    if (!device::IsWritable(m_choice.type))
        return std::string("input registers and discrete inputs are read-only");
    if (index < 0 || index >= TableCells || RowOf(index) % m_choice.width() != 0)
        return std::string("the cell is part of the value above it");
    auto words = CellWords(m_choice, text);
    if (auto *problem = std::get_if<std::string>(&words))
        return std::move(*problem);
    m_jobs.push_back({ ++m_lastJob, m_choice.type, m_choice.table * TableCells + index,
        std::get<std::vector<std::uint16_t>>(std::move(words)), m_settings });
    m_wake.notify_all();
    return m_lastJob;
}

void TableReader::run()
{
    std::unique_lock lock(m_mutex);
    Clock::time_point next = Clock::now();
    for (;;) {
        const auto due = [&] { return m_stopping || m_fresh || !m_jobs.empty(); };
        if (m_following)
            m_wake.wait_until(lock, next, due);
        else
            m_wake.wait(lock, due);
        if (m_stopping)
            return;
        if (!m_jobs.empty()) {
            // Before any read: what the user typed goes out first, once.
            const Job job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            WriteOutcome outcome = carryOut(job);
            if (!stopping())
                m_report(std::move(outcome));
            lock.lock();
            m_writesDone = job.id;
            m_fresh = true; // the read after it shows what the device holds
            continue;
        }
        if (!m_fresh && Clock::now() < next)
            continue; // woken early, for nothing
        m_fresh = false;
        const TableChoice choice = m_choice;
        const LiveSettings settings = m_settings;
        const std::uint64_t generation = m_generation;
        const std::uint64_t writesDone = m_writesDone;
        const Clock::time_point started = Clock::now();
        lock.unlock();
        TableReading reading = read(choice, settings);
        reading.generation = generation;
        reading.writesDone = writesDone;
        if (!stopping())
            m_deliver(std::move(reading));
        lock.lock();
        next = started
            + std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(settings.interval));
    }
}

TableReading TableReader::read(const TableChoice &choice, const LiveSettings &settings)
{
    TableReading reading;
    reading.cells.resize(TableCells);
    LiveSettings checked = settings;
    checked.type = choice.type;
    checked.format = device::IsBits(choice.type) ? ValueFormat::U16 : choice.format;
    if (const std::optional<std::string> problem = checked.problem()) {
        reading.error = *problem;
        return reading;
    }
    const device::Connection connection = settings.connection();
    const auto leaving = [this] { return stopping(); };
    // A device that was given up on is asked afresh at each poll.
    m_line->use(this, connection, leaving, [](device::Session &session) { session.reset(); });
    LineDevice device(*m_line, this, connection, leaving);
    device::RegisterReader reader(device);
    const int width = choice.width();
    const device::Wanted wanted { choice.type, choice.table * TableCells, TableCells, width };
    reader.readAll(std::span(&wanted, 1), leaving);
    const std::vector<device::LineResult> values = reader.eachValue(wanted);
    reading.full = true;
    for (std::size_t v = 0; v < values.size(); ++v) {
        const std::size_t first = v * static_cast<std::size_t>(width);
        TableCell cell;
        if (const auto *words = std::get_if<std::vector<std::uint16_t>>(&values[v])) {
            cell = { CellKind::Value, ValueText(choice.shownFormat(), choice.order, *words) };
        } else if (const auto *error = std::get_if<device::DeviceError>(&values[v])) {
            cell = failedCell(*error);
            // Giving up is ours; what the device last did is said better.
            if (error->kind != device::DeviceError::Kind::GaveUp || reading.error.empty())
                reading.error = error->text;
            if (error->kind != device::DeviceError::Kind::Exception)
                reading.full = false;
        } else {
            reading.full = false; // stopped first
        }
        reading.cells[first] = cell;
        for (int k = 1; k < width; ++k)
            reading.cells[first + static_cast<std::size_t>(k)] = cell.kind == CellKind::Value
                ? TableCell { CellKind::Continues, std::string(ContinuesMark) }
                : cell;
    }
    reading.time = TimeOfDay();
    return reading;
}

WriteOutcome TableReader::carryOut(const Job &job)
{
    WriteOutcome outcome;
    outcome.id = job.id;
    outcome.pdu = job.pdu;
    device::WriteResult result
        = device::DeviceError { device::DeviceError::Kind::Stopped, 0, "not sent: stopped" };
    m_line->use(
        this, job.settings.connection(), [this] { return stopping(); },
        [&](device::Session &session) {
            session.reset(); // a write the user asked for is tried, given up on or not
            result = session.write(job.type, job.pdu, job.words, job.words.size() > 1);
        });
    outcome.written = !result.has_value();
    if (result) {
        outcome.uncertain = result->maybeDone;
        outcome.text = result->text;
        if (outcome.uncertain)
            outcome.text += "; the write may or may not have taken effect";
    }
    return outcome;
}

TableState::TableState()
    : m_cells(TableCells)
    , m_marked(TableCells)
    , m_markedAt(TableCells)
    , m_pending(TableCells)
{
}

void TableState::reset(const TableChoice &choice, std::uint64_t generation)
{
    m_choice = choice;
    m_generation = generation;
    std::fill(m_cells.begin(), m_cells.end(), TableCell {});
    std::fill(m_marked.begin(), m_marked.end(), false);
    std::fill(m_pending.begin(), m_pending.end(), std::nullopt);
    m_lastFull.clear();
    m_error.clear();
}

void TableState::changed(int index, Clock::time_point now, std::vector<int> &into)
{
    const auto i = static_cast<std::size_t>(index);
    m_marked[i] = true;
    m_markedAt[i] = now;
    into.push_back(index);
}

std::vector<int> TableState::take(const TableReading &reading, Clock::time_point now)
{
    std::vector<int> changes;
    if (reading.generation != m_generation || reading.cells.size() != m_cells.size())
        return changes;
    for (std::size_t i = 0; i < m_cells.size(); ++i) {
        const int index = static_cast<int>(i);
        if (!m_pending[i]) {
            // The common case, without a copy: a cell as it was read.
            if (!(m_cells[i] == reading.cells[i])) {
                m_cells[i] = reading.cells[i];
                changed(index, now, changes);
            }
            continue;
        }
        const std::string before = text(index);
        // A write is done with once the read after it came; its failure
        // stays in the cell a while, so that it can be read.
        auto &pending = m_pending[i];
        if (pending->failure.empty() && pending->answered && reading.writesDone >= pending->id) {
            const std::string written
                = ValueText(m_choice.shownFormat(), m_choice.order, pending->words);
            if (reading.cells[i].kind == CellKind::Value && reading.cells[i].text != written)
                m_lastWrite = "row " + std::to_string(RowOf(index)) + ", column "
                    + std::to_string(ColumnOf(index)) + ": wrote " + written + ", read back "
                    + reading.cells[i].text;
            pending.reset();
        } else if (!pending->failure.empty() && now - pending->failedAt >= WriteNotice) {
            pending.reset();
        }
        m_cells[i] = reading.cells[i];
        if (text(index) != before)
            changed(index, now, changes);
    }
    if (reading.full)
        m_lastFull = reading.time;
    m_error = reading.error;
    return changes;
}

void TableState::writing(int index, std::uint64_t id, std::vector<std::uint16_t> words)
{
    m_pending[static_cast<std::size_t>(index)] = Pending { id, std::move(words), false, {}, {} };
}

void TableState::refused(int index, const std::string &why)
{
    m_lastWrite = "row " + std::to_string(RowOf(index)) + ", column "
        + std::to_string(ColumnOf(index)) + ": not sent: " + why;
}

std::vector<int> TableState::take(const WriteOutcome &outcome, Clock::time_point now)
{
    std::vector<int> changes;
    const int index = outcome.pdu - m_choice.table * TableCells;
    if (index < 0 || index >= TableCells)
        return changes;
    auto &pending = m_pending[static_cast<std::size_t>(index)];
    if (!pending || pending->id != outcome.id)
        return changes;
    const std::string where
        = "row " + std::to_string(RowOf(index)) + ", column " + std::to_string(ColumnOf(index));
    if (outcome.written) {
        pending->answered = true;
        m_lastWrite = where + ": written";
        return changes;
    }
    pending->failure = (outcome.uncertain ? "uncertain: " : "not written: ") + outcome.text;
    pending->failedAt = now;
    m_lastWrite = where + ": " + pending->failure;
    changed(index, now, changes);
    return changes;
}

std::vector<int> TableState::unmark(Clock::time_point now)
{
    std::vector<int> ended;
    for (std::size_t i = 0; i < m_marked.size(); ++i)
        if (m_marked[i] && now - m_markedAt[i] >= ChangeMark) {
            m_marked[i] = false;
            ended.push_back(static_cast<int>(i));
        }
    return ended;
}

std::string TableState::text(int index) const
{
    const auto i = static_cast<std::size_t>(index);
    if (const auto &pending = m_pending[i])
        return pending->failure.empty() ? std::string(WritingText) : pending->failure;
    return m_cells[i].text;
}

bool TableState::editable(int index) const
{
    return device::IsWritable(m_choice.type) && RowOf(index) % m_choice.width() == 0;
}

std::string TableState::status(const LiveSettings &settings) const
{
    std::string status = device::Where(settings.connection().link) + ", unit "
        + std::to_string(settings.unit) + " \xC2\xB7 last full read "
        + (m_lastFull.empty() ? std::string(NoValue) : m_lastFull) + " \xC2\xB7 "
        + (m_error.empty() ? std::string("no errors") : m_error);
    if (!m_lastWrite.empty())
        status += " \xC2\xB7 " + m_lastWrite;
    return status;
}

std::string TableState::tabSeparated(std::span<const int> selected) const
{
    if (selected.empty())
        return {};
    int top = TableRows, bottom = -1, left = TableColumns, right = -1;
    std::vector<bool> chosen(TableCells);
    for (const int index : selected) {
        top = std::min(top, RowOf(index));
        bottom = std::max(bottom, RowOf(index));
        left = std::min(left, ColumnOf(index));
        right = std::max(right, ColumnOf(index));
        chosen[static_cast<std::size_t>(index)] = true;
    }
    std::string text;
    for (int row = top; row <= bottom; ++row) {
        for (int column = left; column <= right; ++column) {
            const int index = CellIndex(column, row);
            if (column > left)
                text += '\t';
            if (chosen[static_cast<std::size_t>(index)] && kind(index) != CellKind::Continues)
                text += this->text(index);
        }
        text += '\n';
    }
    return text;
}

std::string TableState::csv(bool modbus) const
{
    std::string text = "table,column,row,address,value\n";
    const int offset = modbus ? 1 : 0;
    for (int index = 0; index < TableCells; ++index) {
        const TableCell &cell = m_cells[static_cast<std::size_t>(index)];
        if (cell.kind == CellKind::Continues)
            continue;
        text += std::to_string(m_choice.table) + ',' + std::to_string(ColumnOf(index)) + ','
            + std::to_string(RowOf(index)) + ','
            + std::to_string(m_choice.table * TableCells + index + offset) + ','
            + maps::CsvField(cell.kind == CellKind::Value ? cell.text : std::string(ErrorMark))
            + '\n';
    }
    return text;
}

} // namespace modbuscalc
