// The table view without a toolkit: the device line two windows take turns
// on, the reader's requests and what each cell shows of their answers, the
// writes, and the state the grid draws from; against a stand-in device.

#include "device/read_plan.h"
#include "form/table_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace modbuscalc {
namespace {

using namespace std::chrono_literals;

// A device in memory: register a of every type holds a * 7 (bits a % 2),
// but for those set; a request touching a lacking address is refused with
// exception 2; while silent, nothing answers (at once, as a timeout would
// end). It counts what it is asked, and fails a test that sees two
// exchanges at once.
struct Plant {
    std::mutex mutex;
    std::map<int, std::uint16_t> set;
    std::set<int> lacking;
    std::atomic<bool> silent = false;
    std::atomic<bool> blocked = false; // waits in each exchange until stopped
    std::optional<device::DeviceError> writeFails;
    std::vector<device::ReadRequest> reads;
    std::vector<std::pair<int, std::vector<std::uint16_t>>> writes;
    std::atomic<int> inside = 0;
    std::atomic<bool> overlapped = false;

    std::uint16_t at(RegisterType type, int address)
    {
        if (const auto found = set.find(address); found != set.end())
            return found->second;
        return device::IsBits(type) ? static_cast<std::uint16_t>(address % 2)
                                    : static_cast<std::uint16_t>(address * 7);
    }
};

device::DeviceError timeout(bool maybeDone = false)
{
    return { device::DeviceError::Kind::Timeout, 0, "timeout", maybeDone };
}

class StandIn final : public device::Transport {
public:
    StandIn(Plant &plant, device::Stop &stop)
        : m_plant(plant)
        , m_stop(stop)
    {
    }
    std::optional<device::DeviceError> open() override
    {
        m_open = true;
        return std::nullopt;
    }
    bool isOpen() const override { return m_open; }
    void close() override { m_open = false; }
    device::ReadResult read(RegisterType type, int address, int count) override
    {
        const Exchange exchange(m_plant);
        if (!waited())
            return device::DeviceError { device::DeviceError::Kind::Stopped, 0, "stopped", false };
        const std::lock_guard lock(m_plant.mutex);
        m_plant.reads.push_back({ type, address, count });
        if (m_plant.silent)
            return timeout();
        std::vector<std::uint16_t> words;
        for (int a = address; a < address + count; ++a) {
            if (m_plant.lacking.contains(a))
                return device::DeviceError { device::DeviceError::Kind::Exception, 2,
                    "illegal data address (exception 2)", false };
            words.push_back(m_plant.at(type, a));
        }
        return words;
    }
    device::WriteResult write(
        RegisterType, int address, std::span<const std::uint16_t> values, bool) override
    {
        const Exchange exchange(m_plant);
        if (!waited())
            return device::DeviceError { device::DeviceError::Kind::Stopped, 0, "stopped", false };
        const std::lock_guard lock(m_plant.mutex);
        m_plant.writes.emplace_back(address, std::vector(values.begin(), values.end()));
        if (m_plant.writeFails)
            return m_plant.writeFails;
        for (std::size_t i = 0; i < values.size(); ++i)
            m_plant.set[address + static_cast<int>(i)] = values[i];
        return std::nullopt;
    }
    int maxPerRead(RegisterType type) const override { return device::MaxPerRead(type); }
    bool serial() const override { return true; }
    void setUnit(int) override { }

private:
    struct Exchange {
        Plant &plant;
        explicit Exchange(Plant &p)
            : plant(p)
        {
            if (++plant.inside > 1)
                plant.overlapped = true;
        }
        ~Exchange() { --plant.inside; }
    };
    bool waited()
    {
        while (m_plant.blocked && !m_stop.requested())
            std::this_thread::sleep_for(1ms);
        return !m_stop.requested();
    }
    Plant &m_plant;
    device::Stop &m_stop;
    bool m_open = false;
};

std::shared_ptr<DeviceLine> lineTo(Plant &plant)
{
    return std::make_shared<DeviceLine>([&plant](const device::Connection &, device::Stop &stop) {
        return std::make_unique<StandIn>(plant, stop);
    });
}

// What the reader delivers, waited for.
struct Delivered {
    std::mutex mutex;
    std::vector<TableReading> readings;
    std::vector<WriteOutcome> outcomes;

    template <typename Found> auto waitFor(Found found)
    {
        for (int i = 0; i < 10000; ++i) {
            {
                const std::lock_guard lock(mutex);
                if (auto hit = found())
                    return hit;
            }
            std::this_thread::sleep_for(1ms);
        }
        const std::lock_guard lock(mutex);
        return decltype(found()) {};
    }
    std::optional<TableReading> reading(std::uint64_t generation, std::uint64_t writesDone = 0)
    {
        return waitFor([&]() -> std::optional<TableReading> {
            for (const TableReading &r : readings)
                if (r.generation == generation && r.writesDone >= writesDone)
                    return r;
            return std::nullopt;
        });
    }
    std::optional<WriteOutcome> outcome(std::uint64_t id)
    {
        return waitFor([&]() -> std::optional<WriteOutcome> {
            for (const WriteOutcome &o : outcomes)
                if (o.id == id)
                    return o;
            return std::nullopt;
        });
    }
};

struct Fixture {
    Plant plant;
    Delivered delivered;
    TableReader reader { [this](TableReading r) {
                            const std::lock_guard lock(delivered.mutex);
                            delivered.readings.push_back(std::move(r));
                        },
        [this](WriteOutcome o) {
            const std::lock_guard lock(delivered.mutex);
            delivered.outcomes.push_back(std::move(o));
        },
        lineTo(plant) };

    static LiveSettings settings()
    {
        LiveSettings settings;
        settings.interval = 3600; // no poll but those a test asks for
        return settings;
    }
};

TEST(TableReader, ReadsATableInTheFewestRequestsIntoItsCells)
{
    struct Case {
        const char *what;
        RegisterType type;
        ValueFormat format;
        std::size_t requests;
    };
    const Case cases[] = {
        { "registers", RegisterType::HoldingRegister, ValueFormat::U16, 17 },
        { "input registers", RegisterType::InputRegister, ValueFormat::S16, 17 },
        { "32-bit values, none cut", RegisterType::HoldingRegister, ValueFormat::U32, 17 },
        { "64-bit values, none cut", RegisterType::HoldingRegister, ValueFormat::F64, 17 },
        { "coils", RegisterType::Coil, ValueFormat::U16, 2 },
        { "discrete inputs, whatever the format", RegisterType::DiscreteInput, ValueFormat::F32,
            2 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        const TableChoice choice { 31, c.type, c.format, WordOrder::CDAB };
        const auto reading = f.delivered.reading(f.reader.follow(choice, Fixture::settings()));
        ASSERT_TRUE(reading);
        EXPECT_TRUE(reading->full);
        EXPECT_EQ(reading->error, "");
        EXPECT_EQ(f.plant.reads.size(), c.requests);
        std::set<int> asked;
        for (const device::ReadRequest &request : f.plant.reads)
            for (int a = request.address; a < request.address + request.count; ++a) {
                EXPECT_EQ(request.type, c.type);
                EXPECT_TRUE(asked.insert(a).second) << "read twice: " << a;
            }
        EXPECT_EQ(asked.size(), 2048U);
        EXPECT_EQ(*asked.begin(), 31 * 2048);
        // Each cell holds its own register's value: table, column and row
        // as the calculator numbers them.
        const int width = choice.width();
        for (const int index : { CellIndex(0, 0), CellIndex(5, 12), CellIndex(7, 252) }) {
            const int pdu = 31 * 2048 + index;
            std::vector<std::uint16_t> words;
            for (int k = 0; k < width; ++k)
                words.push_back(f.plant.at(c.type, pdu + k));
            const TableCell &cell = reading->cells[static_cast<std::size_t>(index)];
            EXPECT_EQ(cell.kind, CellKind::Value) << index;
            EXPECT_EQ(cell.text, ValueText(choice.shownFormat(), choice.order, words)) << index;
            for (int k = 1; k < width; ++k)
                EXPECT_EQ(
                    reading->cells[static_cast<std::size_t>(index + k)].kind, CellKind::Continues);
        }
    }
}

TEST(TableReader, TellsARegisterTheDeviceLacksFromOneThatDidNotAnswer)
{
    Fixture f;
    f.plant.lacking = { 2048 + CellIndex(1, 7), 2048 + CellIndex(6, 201) };
    const TableChoice choice { 1, RegisterType::HoldingRegister, ValueFormat::U32,
        WordOrder::ABCD };
    const auto holes = f.delivered.reading(f.reader.follow(choice, Fixture::settings()));
    ASSERT_TRUE(holes);
    EXPECT_TRUE(holes->full); // an exception is an answer
    // The 32-bit value that holds a lacking register lacks, both its cells.
    for (const int index :
        { CellIndex(1, 6), CellIndex(1, 7), CellIndex(6, 200), CellIndex(6, 201) })
        EXPECT_EQ(holes->cells[static_cast<std::size_t>(index)],
            (TableCell { CellKind::Lacking, "no register" }))
            << index;
    // Its neighbours are read all the same.
    EXPECT_EQ(holes->cells[CellIndex(1, 8)].kind, CellKind::Value);
    EXPECT_EQ(holes->cells[CellIndex(1, 5)].kind, CellKind::Continues);
    EXPECT_EQ(holes->error, "illegal data address (exception 2)");

    const std::size_t before = f.plant.reads.size();
    f.plant.silent = true;
    const auto silent = f.delivered.reading(f.reader.follow(choice, [] {
        LiveSettings settings = Fixture::settings();
        settings.timeout = 0.5; // another setting: another generation
        return settings;
    }()));
    ASSERT_TRUE(silent);
    EXPECT_FALSE(silent->full);
    for (const TableCell &cell : silent->cells)
        ASSERT_EQ(cell.kind, CellKind::NoAnswer);
    EXPECT_EQ(silent->cells.front().text, "no answer");
    // Given up on after a few, not 17 timeouts in a row.
    EXPECT_EQ(
        f.plant.reads.size() - before, static_cast<std::size_t>(device::Session::GiveUpAfter));
}

TEST(TableReader, WritesWhatTheUserTypedOnceAndReadsItBack)
{
    Fixture f;
    const TableChoice choice { 2, RegisterType::HoldingRegister, ValueFormat::S32,
        WordOrder::CDAB };
    const std::uint64_t generation = f.reader.follow(choice, Fixture::settings());
    ASSERT_TRUE(f.delivered.reading(generation));
    const auto sent = f.reader.write(CellIndex(3, 10), "-2");
    ASSERT_TRUE(std::holds_alternative<std::uint64_t>(sent));
    const auto outcome = f.delivered.outcome(std::get<std::uint64_t>(sent));
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->written);
    EXPECT_EQ(outcome->pdu, 2 * 2048 + CellIndex(3, 10));
    ASSERT_EQ(f.plant.writes.size(), 1U);
    EXPECT_EQ(f.plant.writes[0].second, (std::vector<std::uint16_t> { 0xFFFE, 0xFFFF }));
    // The read after it shows what the device holds now.
    const auto back = f.delivered.reading(generation, std::get<std::uint64_t>(sent));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->cells[CellIndex(3, 10)].text, "-2");
}

TEST(TableReader, RefusesBeforeSendingWhatCannotBeWritten)
{
    struct Case {
        const char *what;
        TableChoice choice;
        int index;
        const char *text;
        const char *problem;
    };
    const Case cases[] = {
        { "beyond the format", { 0, RegisterType::HoldingRegister, ValueFormat::U16, {} }, 0,
            "70000", "'70000' is not u16 (0 to 65535)" },
        { "a fraction for a whole format",
            { 0, RegisterType::HoldingRegister, ValueFormat::S32, {} }, 2, "1.5",
            "'1.5' is not s32" },
        { "not a number", { 0, RegisterType::HoldingRegister, ValueFormat::F32, {} }, 2, "warm",
            "'warm' is not f32" },
        { "inside a value", { 0, RegisterType::HoldingRegister, ValueFormat::U64, {} }, 3, "1",
            "part of the value above it" },
        { "an input register", { 0, RegisterType::InputRegister, ValueFormat::U16, {} }, 0, "1",
            "read-only" },
        { "a discrete input", { 0, RegisterType::DiscreteInput, ValueFormat::U16, {} }, 0, "1",
            "read-only" },
        { "a coil's state", { 0, RegisterType::Coil, ValueFormat::U16, {} }, 0, "2",
            "'2' is not a coil's state" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        ASSERT_TRUE(f.delivered.reading(f.reader.follow(c.choice, Fixture::settings())));
        const auto sent = f.reader.write(c.index, c.text);
        ASSERT_TRUE(std::holds_alternative<std::string>(sent));
        EXPECT_NE(std::get<std::string>(sent).find(c.problem), std::string::npos)
            << std::get<std::string>(sent);
        std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(f.plant.writes.empty());
    }
}

TEST(TableReader, AWriteWithoutAnAnswerIsUncertainAndNeverSentAgain)
{
    struct Case {
        const char *what;
        device::DeviceError error;
        bool uncertain;
    };
    const Case cases[] = {
        { "refused",
            { device::DeviceError::Kind::Exception, 3, "illegal data value (exception 3)", false },
            false },
        { "no answer", timeout(true), true },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        f.plant.writeFails = c.error;
        const TableChoice choice { 0, RegisterType::Coil, ValueFormat::U16, {} };
        ASSERT_TRUE(f.delivered.reading(f.reader.follow(choice, Fixture::settings())));
        const auto sent = f.reader.write(CellIndex(0, 4), "on");
        const auto outcome = f.delivered.outcome(std::get<std::uint64_t>(sent));
        ASSERT_TRUE(outcome);
        EXPECT_FALSE(outcome->written);
        EXPECT_EQ(outcome->uncertain, c.uncertain);
        EXPECT_EQ(outcome->text.find(c.error.text), 0U) << outcome->text;
        EXPECT_EQ(outcome->text.find("may or may not") != std::string::npos, c.uncertain);
        // Another poll or two: still the one request.
        f.reader.follow(choice, [] {
            LiveSettings settings = Fixture::settings();
            settings.interval = 0.01;
            return settings;
        }());
        std::this_thread::sleep_for(100ms);
        const std::lock_guard lock(f.plant.mutex);
        EXPECT_EQ(f.plant.writes.size(), 1U);
    }
}

TEST(TableReader, GoesAwayInTheMiddleOfATimeout)
{
    Plant plant;
    plant.blocked = true;
    const auto started = std::chrono::steady_clock::now();
    {
        TableReader reader([](TableReading) { FAIL() << "delivered after closing"; },
            [](WriteOutcome) {}, lineTo(plant));
        reader.follow({}, Fixture::settings());
        while (plant.inside == 0)
            std::this_thread::sleep_for(1ms);
    }
    // No fixed bound: only that it came back, which a wait for the device
    // would not have.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
    EXPECT_TRUE(plant.reads.empty()); // the one exchange ended unanswered
}

// Two windows polling one line, thousands of requests: never two at once,
// each answer its own, and a window that goes away does not hold up the
// other.
TEST(DeviceLine, TwoUsersNeverTalkAtOnce)
{
    Plant plant;
    const auto line = lineTo(plant);
    std::atomic<bool> wrong = false;
    const auto user = [&](unsigned seed, int requests) {
        std::mt19937 random(seed);
        LineDevice device(*line, &seed, device::Connection {}, [] { return false; });
        for (int i = 0; i < requests; ++i) {
            const int address = static_cast<int>(random() % 65000);
            const int count = 1 + static_cast<int>(random() % 125);
            const auto result = device.read(RegisterType::InputRegister, address, count);
            const auto *words = std::get_if<std::vector<std::uint16_t>>(&result);
            if (!words || words->size() != static_cast<std::size_t>(count)
                || words->front() != static_cast<std::uint16_t>(address * 7))
                wrong = true;
        }
    };
    std::thread first(user, 1U, 3000);
    std::thread second(user, 2U, 3000);
    first.join();
    second.join();
    EXPECT_FALSE(plant.overlapped);
    EXPECT_FALSE(wrong);
    EXPECT_EQ(plant.reads.size(), 6000U);
}

TEST(DeviceLine, AUserLeavingWhileItWaitsForATurnLeavesAtOnce)
{
    Plant plant;
    plant.blocked = true;
    const auto line = lineTo(plant);
    int holder = 0, waiter = 0;
    std::thread holding([&] {
        line->use(
            &holder, {}, [] { return false; },
            [](device::Session &s) { s.read(RegisterType::Coil, 0, 1); });
    });
    while (plant.inside == 0)
        std::this_thread::sleep_for(1ms);
    std::atomic<bool> leaving = false;
    std::atomic<bool> ran = false;
    std::thread waiting([&] {
        EXPECT_FALSE(line->use(
            &waiter, {}, [&] { return leaving.load(); }, [&](device::Session &) { ran = true; }));
    });
    std::this_thread::sleep_for(20ms);
    leaving = true;
    line->interrupt(&waiter);
    waiting.join();
    EXPECT_FALSE(ran);
    // The holder's exchange is its own to end.
    line->interrupt(&holder);
    holding.join();
    // And the line goes on for the next.
    plant.blocked = false;
    EXPECT_TRUE(line->use(
        &waiter, {}, [] { return false; },
        [&](device::Session &s) {
            EXPECT_TRUE(std::holds_alternative<std::vector<std::uint16_t>>(
                s.read(RegisterType::Coil, 0, 1)));
        }));
}

TableReading readingOf(std::uint64_t generation, std::vector<std::pair<int, std::string>> values)
{
    TableReading reading;
    reading.generation = generation;
    reading.cells.assign(TableCells, { CellKind::Value, "0" });
    for (auto &[index, text] : values)
        reading.cells[static_cast<std::size_t>(index)] = { CellKind::Value, std::move(text) };
    reading.full = true;
    reading.time = "12:00:00";
    return reading;
}

TEST(TableState, OnlyCellsThatChangedAreRedrawnAndMarkedAWhile)
{
    TableState state;
    state.reset({ 3, RegisterType::HoldingRegister, ValueFormat::U16, {} }, 7);
    const auto start = TableState::Clock::now();
    EXPECT_EQ(state.take(readingOf(7, {}), start).size(), 2048U); // all new
    EXPECT_EQ(state.unmark(start + TableState::ChangeMark).size(), 2048U);
    EXPECT_EQ(state.take(readingOf(7, {}), start + 2s), std::vector<int> {});
    const auto moved = state.take(readingOf(7, { { 9, "5" }, { 300, "6" } }), start + 3s);
    EXPECT_EQ(moved, (std::vector<int> { 9, 300 }));
    EXPECT_TRUE(state.marked(9));
    EXPECT_FALSE(state.marked(10));
    EXPECT_EQ(state.unmark(start + 3s + TableState::ChangeMark / 2), std::vector<int> {});
    EXPECT_EQ(state.unmark(start + 3s + TableState::ChangeMark), (std::vector<int> { 9, 300 }));
    // A reading of a table no longer shown changes nothing.
    EXPECT_EQ(state.take(readingOf(6, { { 9, "1" } }), start + 5s), std::vector<int> {});
    EXPECT_EQ(state.text(9), "5");
    EXPECT_EQ(state.status(LiveSettings {}),
        "127.0.0.1:502, unit 1 \xC2\xB7 last full read 12:00:00 \xC2\xB7 no errors");
}

TEST(TableState, AWriteShowsWritingThenTheValueReadBackOrItsError)
{
    TableState state;
    state.reset({ 0, RegisterType::HoldingRegister, ValueFormat::U16, {} }, 1);
    const auto start = TableState::Clock::now();
    state.take(readingOf(1, {}), start);
    // Written: "writing" until the read after it.
    state.writing(4, 1, { 12 });
    EXPECT_EQ(state.text(4), "writing");
    state.take(WriteOutcome { 1, 4, true, false, {} }, start);
    EXPECT_EQ(state.text(4), "writing");
    TableReading before = readingOf(1, { { 4, "0" } });
    state.take(before, start); // began before the write ended
    EXPECT_EQ(state.text(4), "writing");
    TableReading after = readingOf(1, { { 4, "11" } });
    after.writesDone = 1;
    EXPECT_EQ(state.take(after, start), std::vector<int> { 4 });
    EXPECT_EQ(state.text(4), "11");
    EXPECT_NE(state.status({}).find("row 4, column 0: wrote 12, read back 11"), std::string::npos);

    // Uncertain: said in the cell a while, then the value again.
    state.writing(5, 2, { 1 });
    const auto failed = start + 10s;
    EXPECT_EQ(state.take(WriteOutcome { 2, 5, false, true,
                             "timeout; the write may or may not have taken effect" },
                  failed),
        std::vector<int> { 5 });
    EXPECT_EQ(state.text(5), "uncertain: timeout; the write may or may not have taken effect");
    after.writesDone = 2;
    state.take(after, failed + 1s);
    EXPECT_EQ(state.text(5), "uncertain: timeout; the write may or may not have taken effect");
    state.take(after, failed + TableState::WriteNotice);
    EXPECT_EQ(state.text(5), "0");
    // Refused: the same, in its words.
    state.writing(6, 3, { 1 });
    state.take(WriteOutcome { 3, 6, false, false, "illegal data value (exception 3)" }, failed);
    EXPECT_EQ(state.text(6), "not written: illegal data value (exception 3)");
}

TEST(TableState, CopiesAsASpreadsheetPastesAndSavesAsReadWritesAMap)
{
    TableState state;
    state.reset({ 1, RegisterType::HoldingRegister, ValueFormat::U32, {} }, 1);
    TableReading reading = readingOf(1, {});
    for (int index = 0; index < TableCells; ++index)
        reading.cells[static_cast<std::size_t>(index)] = index % 2
            ? TableCell { CellKind::Continues, "x" }
            : TableCell { CellKind::Value, std::to_string(index) };
    reading.cells[CellIndex(2, 4)] = { CellKind::Lacking, "no register" };
    state.take(reading, {});
    // Rows 2 to 4 of columns 1 and 2, but for one cell: a row a line.
    const int selected[]
        = { CellIndex(1, 2), CellIndex(2, 2), CellIndex(1, 3), CellIndex(1, 4), CellIndex(2, 4) };
    EXPECT_EQ(state.tabSeparated(selected), "258\t514\n\t\n260\tno register\n");

    const std::string csv = state.csv(true);
    EXPECT_EQ(csv.substr(0, csv.find('\n', 50) + 1),
        "table,column,row,address,value\n1,0,0,2049,0\n1,0,2,2051,2\n");
    EXPECT_NE(csv.find("\n1,2,4,2565,Error\n"), std::string::npos);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 1024);
    EXPECT_NE(state.csv(false).find("\n1,0,2,2050,2\n"), std::string::npos);
}

TEST(TableView, EachCellNamedInEveryNotation)
{
    EXPECT_EQ(CellNotes({ 1, RegisterType::HoldingRegister, ValueFormat::U16, {} }, CellIndex(1, 7),
                  false),
        "Table 1, Row 7, Column 1\nAddress: 2311 (absolute addressing)\n"
        "PDU address (0-based): 2311\nRegister number (1-based): 2312\n"
        "Holding-register reference: 402312\nHex: 0x0907");
    const std::string coil
        = CellNotes({ 0, RegisterType::Coil, ValueFormat::U32, {} }, CellIndex(0, 1), true);
    EXPECT_NE(coil.find("Address: 2 (Modbus addressing)"), std::string::npos);
    EXPECT_NE(coil.find("Coil reference: 000002"), std::string::npos);
    EXPECT_EQ(coil.find("Part of"), std::string::npos); // a bit is never wide
    EXPECT_NE(
        CellNotes(
            { 31, RegisterType::InputRegister, ValueFormat::F64, {} }, CellIndex(7, 255), false)
            .find("Input-register reference: 365536\nHex: 0xFFFF\nPart of the value in row 252"),
        std::string::npos);
}

TEST(TableView, TheChoiceKeptBetweenRuns)
{
    const TableChoice choice { 17, RegisterType::InputRegister, ValueFormat::F32, WordOrder::DCBA };
    std::map<std::string, std::string> store;
    for (const auto &[key, value] : choice.toPairs())
        store[key] = value;
    const auto lookup = [&store](std::string_view key) -> std::optional<std::string> {
        if (const auto found = store.find(std::string(key)); found != store.end())
            return found->second;
        return std::nullopt;
    };
    EXPECT_EQ(TableChoice::FromPairs(lookup), choice);
    store["table"] = "32"; // out of range: the default
    store["format"] = "f128";
    const TableChoice kept = TableChoice::FromPairs(lookup);
    EXPECT_EQ(kept.table, 0);
    EXPECT_EQ(kept.format, ValueFormat::U16);
    EXPECT_EQ(kept.type, RegisterType::InputRegister);
}

} // namespace
} // namespace modbuscalc
