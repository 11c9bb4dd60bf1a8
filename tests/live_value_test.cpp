// The live value without a toolkit: which register the fields name, the
// settings as a store keeps them, and the reader's worker against a
// stand-in transport.

#include "form/handlers.h"
#include "form/live_value.h"
#include "form/memory_field_set.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace modbuscalc {
namespace {

TEST(LiveValue, TheRegisterTheFieldsName)
{
    struct Case {
        const char *what;
        std::string address, table, column, row;
        bool modbus;
        std::optional<LiveTarget> target;
    };
    const Case cases[] = {
        { "a cell", "2305", "1", "1", "1", false,
            LiveTarget { 2305, "Table 1, Row 1, Column 1", "2305" } },
        { "Modbus addressing", "2306", "1", "1", "1", true,
            LiveTarget { 2305, "Table 1, Row 1, Column 1", "2306" } },
        { "the last register", "65535", "31", "7", "255", false,
            LiveTarget { 65535, "Table 31, Row 255, Column 7", "65535" } },
        { "an address typed", "12abc", "0", "0", "12", false,
            LiveTarget { 12, "Table 0, Row 12, Column 0", "12" } },
        { "a cell out of range", "Error", "32", "0", "0", false, std::nullopt },
        { "an address out of range", "65536", "Error", "Error", "Error", false, std::nullopt },
        { "a fraction", "100.5", "0", "0", "100.5", false, std::nullopt },
        { "address 0 in Modbus addressing", "0", "Error", "Error", "Error", true, std::nullopt },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MemoryFieldSet fields;
        fields.setText(Field::Address, c.address);
        fields.setText(Field::Table, c.table);
        fields.setText(Field::Column, c.column);
        fields.setText(Field::Row, c.row);
        fields.setModbusSelected(c.modbus);
        EXPECT_EQ(TargetOf(fields), c.target);
    }
}

TEST(LiveValue, SettingsComeBackFromTheirStore)
{
    LiveSettings settings;
    settings.serial = true;
    settings.host = "plc.example";
    settings.port = 1502;
    settings.serialPort = "/dev/ttyUSB0";
    settings.baud = 9600;
    settings.parity = 'N';
    settings.unit = 7;
    settings.interval = 0.25;
    settings.timeout = 0.5;
    settings.type = RegisterType::InputRegister;
    settings.format = ValueFormat::F32;
    settings.order = WordOrder::CDAB;
    std::map<std::string, std::string, std::less<>> store;
    for (const auto &[key, value] : settings.toPairs())
        store[key] = value;
    const auto lookup = [&store](std::string_view key) -> std::optional<std::string> {
        const auto found = store.find(key);
        return found == store.end() ? std::nullopt : std::optional(found->second);
    };
    EXPECT_EQ(LiveSettings::FromPairs(lookup), settings);
    // What a store cannot make sense of keeps the default.
    store = { { "port", "0" }, { "unit", "x" }, { "interval", "-1" }, { "format", "f128" },
        { "parity", "Q" } };
    EXPECT_EQ(LiveSettings::FromPairs(lookup), LiveSettings {});
}

TEST(LiveValue, SettingsAreCheckedAsTheCommandLineChecksThem)
{
    struct Case {
        const char *what;
        std::function<void(LiveSettings &)> change;
        std::string problem; // empty: none
        std::string where; // for none: where the device is
    };
    const Case cases[] = {
        { "as they start", [](LiveSettings &) {}, "", "127.0.0.1:502" },
        { "a port in the host field", [](LiveSettings &s) { s.host = "plc.example:1502"; }, "",
            "plc.example:1502" },
        { "IPv6 with a port", [](LiveSettings &s) { s.host = "[::1]:5020"; }, "", "[::1]:5020" },
        { "IPv6 alone", [](LiveSettings &s) { s.host = "::1"; }, "", "[::1]:502" },
        { "a bad port", [](LiveSettings &s) { s.host = "plc.example:0"; },
            "invalid port in 'plc.example:0'", "" },
        { "a speed libmodbus would not set",
            [](LiveSettings &s) {
                s.serial = true;
                s.serialPort = "/dev/ttyUSB0";
                s.baud = 12345;
            },
            "no serial speed 12345", "" },
        { "a timeout under 1 ms", [](LiveSettings &s) { s.timeout = 0.0001; },
            "the timeout runs from 0.001", "" },
        { "f32 for a coil",
            [](LiveSettings &s) {
                s.type = RegisterType::Coil;
                s.format = ValueFormat::F32;
            },
            "coils and discrete inputs are single bits", "" },
    };
    for (const Case &c : cases) {
        LiveSettings settings;
        c.change(settings);
        const std::string problem = settings.problem().value_or("");
        if (c.problem.empty()) {
            EXPECT_EQ(problem, "") << c.what;
            EXPECT_EQ(device::Where(settings.connection().link), c.where) << c.what;
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << c.what << ": " << problem;
        }
    }
}

// A transport whose register a holds a + 1000, and that, while `blocked`
// is set, waits in each read until asked to stop, as a silent device does.
class StandIn final : public device::Transport {
public:
    StandIn(device::Stop &stop, std::atomic<bool> &blocked, std::atomic<int> &reads)
        : m_stop(stop)
        , m_blocked(blocked)
        , m_reads(reads)
    {
    }
    std::optional<device::DeviceError> open() override
    {
        m_open = true;
        return std::nullopt;
    }
    bool isOpen() const override { return m_open; }
    void close() override { m_open = false; }
    device::ReadResult read(RegisterType, int address, int count) override
    {
        ++m_reads;
        while (m_blocked && !m_stop.requested())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (m_stop.requested())
            return device::DeviceError { device::DeviceError::Kind::Stopped, 0, "stopped" };
        std::vector<std::uint16_t> words;
        for (int i = 0; i < count; ++i)
            words.push_back(static_cast<std::uint16_t>(address + i + 1000));
        return words;
    }
    device::WriteResult write(RegisterType, int, std::span<const std::uint16_t>, bool) override
    {
        return std::nullopt;
    }
    int maxPerRead(RegisterType type) const override { return device::MaxPerRead(type); }
    bool serial() const override { return false; }
    void setUnit(int) override { }

private:
    device::Stop &m_stop;
    std::atomic<bool> &m_blocked;
    std::atomic<int> &m_reads;
    bool m_open = false;
};

struct Readings {
    std::mutex mutex;
    std::vector<LiveReading> all;
    // The first reading of the generation, waited for (at most 10 s).
    std::optional<LiveReading> of(std::uint64_t generation)
    {
        for (int i = 0; i < 10000; ++i) {
            {
                const std::lock_guard lock(mutex);
                for (const LiveReading &reading : all)
                    if (reading.generation == generation)
                        return reading;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return std::nullopt;
    }
};

TEST(LiveReader, ReadsWhatTheFieldsNameInTheFormatChosen)
{
    Readings readings;
    std::atomic<bool> blocked = false;
    std::atomic<int> reads = 0;
    LiveReader reader(
        [&readings](LiveReading reading) {
            const std::lock_guard lock(readings.mutex);
            readings.all.push_back(std::move(reading));
        },
        std::make_shared<DeviceLine>([&](const device::Connection &, device::Stop &stop) {
            return std::make_unique<StandIn>(stop, blocked, reads);
        }));
    LiveSettings settings;
    settings.interval = 60; // no poll but the first, in this test
    const auto first = readings.of(reader.follow(LiveTarget { 5, "0 0 5", "5" }, settings));
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->ok);
    EXPECT_EQ(first->value, "1005");
    EXPECT_EQ(first->state, "reading every 60 s");
    settings.format = ValueFormat::U32;
    settings.order = WordOrder::CDAB;
    const auto wide = readings.of(reader.follow(LiveTarget { 5, "0 0 5", "5" }, settings));
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->value, std::to_string((1006U << 16) | 1005U));
    // A setting that cannot work is told, not tried.
    settings.host.clear();
    const auto refused = readings.of(reader.follow(LiveTarget { 5, "0 0 5", "5" }, settings));
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->ok);
    EXPECT_EQ(refused->value, NoValue);
    EXPECT_EQ(refused->state, "give the device's host");
}

TEST(LiveReader, GoesAwayInTheMiddleOfAReadThatWaits)
{
    std::atomic<bool> blocked = true;
    std::atomic<int> reads = 0;
    {
        LiveReader reader([](LiveReading) {},
            std::make_shared<DeviceLine>([&](const device::Connection &, device::Stop &stop) {
                return std::make_unique<StandIn>(stop, blocked, reads);
            }));
        reader.follow(LiveTarget { 5, "0 0 5", "5" }, LiveSettings {});
        while (reads == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // The worker waits on the device: going away must not wait for it.
    }
    EXPECT_EQ(reads, 1);
}

} // namespace
} // namespace modbuscalc
