#pragma once

// The table view beside the calculator, without a toolkit: one table of a
// controller's registers (8 columns of 256 rows, as cells are numbered),
// read whole on a worker thread at the live value's interval, what each
// cell shows, and the writes a user makes in it. The windows bind these to
// a grid and post each reading to their own thread.
//
// Data flow: the window's choosers or the calculator's fields ->
// TableReader::follow(table, settings) -> the worker reads the table in the
// fewest requests, taking turns on the device line with the live value ->
// Deliver, on the worker -> the window's queue -> TableState::take() ->
// only the cells whose text changed are redrawn, and marked for a moment.
// An edit -> TableReader::write() -> one request, at most once -> Report ->
// TableState::take(outcome) -> the next reading shows the value read back.

#include "core/register_value.h"
#include "form/device_line.h"
#include "form/live_value.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace modbuscalc {

inline constexpr int TableRows = 256;
inline constexpr int TableColumns = 8;
inline constexpr int TableCells = TableRows * TableColumns;
inline constexpr int TableCount = 32;

// A cell's place in its table, in address order: column * 256 + row.
constexpr int CellIndex(int column, int row)
{
    return column * TableRows + row;
}
constexpr int ColumnOf(int index)
{
    return index / TableRows;
}
constexpr int RowOf(int index)
{
    return index % TableRows;
}

// What the view reads: the table, and the register type, format and word
// order the view chose, over the live value's connection.
struct TableChoice {
    int table = 0;
    RegisterType type = RegisterType::HoldingRegister;
    ValueFormat format = ValueFormat::U16;
    WordOrder order = WordOrder::ABCD;
    bool operator==(const TableChoice &) const = default;

    // Registers a value takes: 1 for bits whatever the format.
    int width() const;
    // The format cells are shown in: Bit for coils and discrete inputs.
    ValueFormat shownFormat() const;
    // "table", "type", "format", "wordOrder": as text pairs, and back; a key
    // missing or unreadable keeps its default.
    std::vector<std::pair<std::string, std::string>> toPairs() const;
    static TableChoice FromPairs(
        const std::function<std::optional<std::string>(std::string_view key)> &lookup);
};

enum class CellKind {
    Unread, // not read yet
    Value, // the register's value, or a wide value's first register
    Continues, // a later register of the wide value above it
    Lacking, // the device has no such register (exception 2)
    NoAnswer, // no answer: timeout, broken link, the device given up on
    Failed, // another exception
};

struct TableCell {
    CellKind kind = CellKind::Unread;
    std::string text;
    bool operator==(const TableCell &) const = default;
};

// One reading of the whole table.
struct TableReading {
    std::uint64_t generation = 0; // the follow() it answers
    std::vector<TableCell> cells; // TableCells of them, by CellIndex
    bool full = false; // every request answered, if only with an exception
    std::string time; // of this read: "20:50:04"
    std::string error; // the device's last error in words, or empty
    std::uint64_t writesDone = 0; // the writes ended before this read began
};

// What came of a write.
struct WriteOutcome {
    std::uint64_t id = 0;
    int pdu = 0;
    bool written = false;
    bool uncertain = false; // sent, and no answer of its own: it may have been done
    std::string text; // the error in words
};

// The cell's value, read as the cell's format takes it: the registers to
// write, or why not ("70000 is not u16 (0 to 65535)").
std::variant<std::vector<std::uint16_t>, std::string> CellWords(
    const TableChoice &choice, std::string_view text);

// The cell's address in every notation, for its tooltip: the address in
// the calculator's addressing, the PDU address, the register number, the
// type's reference and hex.
std::string CellNotes(const TableChoice &choice, int index, bool modbus);

// Reads the table on a worker thread, at once and then every interval,
// and writes what the user edits, each write once and before the next
// read. Destroying it stops the worker at once, even in the middle of a
// timeout.
class TableReader {
public:
    using Deliver = std::function<void(TableReading reading)>;
    using Report = std::function<void(WriteOutcome outcome)>;

    TableReader(Deliver deliver, Report report, std::shared_ptr<DeviceLine> line);
    ~TableReader();
    TableReader(const TableReader &) = delete;
    TableReader &operator=(const TableReader &) = delete;

    // What to read from now on: the worker reads it at once. Returns the
    // generation the readings that answer it carry. Thread-safe.
    std::uint64_t follow(const TableChoice &choice, const LiveSettings &settings);

    // Writes text to the cell of the table followed: the write's id, or
    // why it cannot be sent (a type that is read-only, a cell inside a
    // value, a text that is no value of the format). Thread-safe.
    std::variant<std::uint64_t, std::string> write(int index, std::string_view text);

private:
    struct Job {
        std::uint64_t id;
        RegisterType type;
        int pdu;
        std::vector<std::uint16_t> words;
        LiveSettings settings;
    };

    void run();
    TableReading read(const TableChoice &choice, const LiveSettings &settings);
    WriteOutcome carryOut(const Job &job);
    bool stopping();

    Deliver m_deliver;
    Report m_report;
    std::shared_ptr<DeviceLine> m_line;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_fresh = false;
    bool m_following = false;
    std::uint64_t m_generation = 0;
    TableChoice m_choice;
    LiveSettings m_settings;
    std::deque<Job> m_jobs;
    std::uint64_t m_lastJob = 0;
    std::uint64_t m_writesDone = 0;
    std::thread m_worker; // last: started once everything else is made
};

// What the grid shows, kept on the window's thread: each cell's text,
// which cells changed a moment ago, the writes under way, and the status.
class TableState {
public:
    using Clock = std::chrono::steady_clock;
    // How long a changed cell stays marked.
    static constexpr std::chrono::milliseconds ChangeMark { 1500 };
    // How long a failed write's words stay in its cell.
    static constexpr std::chrono::seconds WriteNotice { 4 };

    TableState();

    // Another table, type or format: nothing shown until it is read.
    void reset(const TableChoice &choice, std::uint64_t generation);
    // A reading: the cells whose text changed. One for another generation
    // changes nothing.
    std::vector<int> take(const TableReading &reading, Clock::time_point now);
    // A write sent: the cell shows "writing".
    void writing(int index, std::uint64_t id, std::vector<std::uint16_t> words);
    // A write refused before it was sent: said in the status.
    void refused(int index, const std::string &why);
    // What came of it: the cells whose text changed.
    std::vector<int> take(const WriteOutcome &outcome, Clock::time_point now);
    // The cells whose mark ended by now.
    std::vector<int> unmark(Clock::time_point now);

    const TableChoice &choice() const { return m_choice; }
    std::uint64_t generation() const { return m_generation; }
    // What the cell shows.
    std::string text(int index) const;
    CellKind kind(int index) const { return m_cells[static_cast<std::size_t>(index)].kind; }
    bool marked(int index) const { return m_marked[static_cast<std::size_t>(index)]; }
    bool editable(int index) const;
    // "127.0.0.1:502, unit 1 · last full read 20:50:04 · timeout"
    std::string status(const LiveSettings &settings) const;

    // The cells as a spreadsheet pastes them: the rows and columns from the
    // first selected to the last, tab-separated, a cell not selected empty.
    std::string tabSeparated(std::span<const int> selected) const;
    // The table as read writes a map: table, column, row, address, value.
    std::string csv(bool modbus) const;

private:
    struct Pending {
        std::uint64_t id = 0;
        std::vector<std::uint16_t> words;
        bool answered = false; // written; waiting for the read after it
        std::string failure; // not written, or uncertain, in words
        Clock::time_point failedAt;
    };
    void changed(int index, Clock::time_point now, std::vector<int> &into);

    TableChoice m_choice;
    std::uint64_t m_generation = 0;
    std::vector<TableCell> m_cells;
    std::vector<bool> m_marked;
    std::vector<Clock::time_point> m_markedAt;
    std::vector<std::optional<Pending>> m_pending;
    std::string m_lastFull; // time of the last full read
    std::string m_error; // the last reading's error
    std::string m_lastWrite; // what the last write came to
};

} // namespace modbuscalc
