#pragma once

// The live value beside the calculator, without a toolkit: which register
// the fields name now, how the companion window reads it and shows it, and
// a reader on a worker thread that owns the device session. The windows
// bind these to their controls and post each reading to their own thread.
//
// Data flow: a key release or click -> the calculator's handler -> the
// window tells LiveReader::follow() what the fields name now -> the worker
// reads it at once, then every interval -> Deliver, on the worker thread
// -> the window's own queue (a queued signal, PostMessage) -> the value
// and the state on screen.

#include "core/register_value.h"
#include "form/device_line.h"
#include "form/field_set.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace modbuscalc {

// The register the calculator's fields name: nullopt while the address
// does not read as a whole 0-based address 0..65535 (less 1 in Modbus
// addressing), or the cell fields show Error.
struct LiveTarget {
    int pdu;
    std::string cell; // "Table 1, Row 7, Column 1"
    std::string address; // as the window shows it: "2306" in Modbus addressing
    bool operator==(const LiveTarget &) const = default;
};
std::optional<LiveTarget> TargetOf(const FieldSet &fields);

// How the companion window reads, and shows what it reads; kept between
// runs as text pairs in whatever store the toolkit has.
struct LiveSettings {
    bool serial = false; // else Modbus TCP
    std::string host = "127.0.0.1";
    int port = 502;
    std::string serialPort;
    int baud = 19200;
    char parity = 'E';
    int unit = 1;
    double interval = 1; // seconds between reads
    double timeout = 1; // seconds a read may take
    RegisterType type = RegisterType::HoldingRegister;
    ValueFormat format = ValueFormat::U16;
    WordOrder order = WordOrder::ABCD;

    bool operator==(const LiveSettings &) const = default;

    // As "key", "value" pairs, and back: a key missing or unreadable keeps
    // its default, so that a store from another version still opens.
    std::vector<std::pair<std::string, std::string>> toPairs() const;
    static LiveSettings FromPairs(
        const std::function<std::optional<std::string>(std::string_view key)> &lookup);

    // Where the device is, and how patiently to ask it.
    device::Connection connection() const;
    // "reading every 1 s"
    std::string readingState() const;
    // Why the settings cannot be used ("the port runs from 1 to 65535"),
    // or nullopt.
    std::optional<std::string> problem() const;
};

// The names the windows offer, in their order, with their values.
struct LiveChoice {
    std::string_view name;
    int value;
};
extern const std::vector<LiveChoice> LiveTypes; // holding, input, coil, discrete
extern const std::vector<LiveChoice> LiveFormats; // u16, s16, hex, u32, s32, f32, ...
extern const std::vector<LiveChoice> LiveWordOrders; // ABCD, CDAB, BADC, DCBA
extern const std::vector<LiveChoice> LiveParities; // None, Even, Odd: value the letter
// The name of the value among the choices (the first's when none has it),
// and the value of a name (nullopt when none has it).
std::string_view ChoiceName(const std::vector<LiveChoice> &choices, int value);
std::optional<int> ChoiceValue(const std::vector<LiveChoice> &choices, std::string_view name);
// The usual serial speeds, offered; any other may be typed.
extern const std::vector<int> LiveSpeeds;

// One reading, as the window shows it.
struct LiveReading {
    std::uint64_t generation = 0; // the follow() it answers
    bool ok = false;
    std::string value; // "1234", or "—" when there is none to show
    std::string state; // "reading every 1 s", "timeout", "no connection: refused"
    std::string time; // of this read, when ok: "20:50:04"
};

// The time of day on this machine: "20:50:04".
std::string TimeOfDay();

// The text shown where there is no value: an em dash.
inline constexpr std::string_view NoValue = "\xE2\x80\x94";

// Reads the target on a worker thread, at once and then every interval,
// and hands each reading to deliver on that thread. A dead device costs a
// read its timeout and never blocks the caller; a device that comes back
// gets its values back. Destroying it stops the worker within 100 ms,
// even in the middle of a timeout.
class LiveReader {
public:
    using Deliver = std::function<void(LiveReading reading)>;

    // line: the device session it takes turns on with the other windows.
    LiveReader(Deliver deliver, std::shared_ptr<DeviceLine> line);
    ~LiveReader();
    LiveReader(const LiveReader &) = delete;
    LiveReader &operator=(const LiveReader &) = delete;

    // What to read from now on, and how: the worker reads it at once. No
    // target: nothing is read, and the reading says so. Thread-safe.
    // Returns the generation the readings that answer it carry.
    std::uint64_t follow(std::optional<LiveTarget> target, const LiveSettings &settings);

private:
    void run();
    LiveReading read(const LiveTarget &target, const LiveSettings &settings);
    bool stopping();

    Deliver m_deliver;
    std::shared_ptr<DeviceLine> m_line;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_fresh = false; // a new target or new settings wait to be read
    std::uint64_t m_generation = 0;
    std::optional<LiveTarget> m_target;
    LiveSettings m_settings;
    std::thread m_worker; // last: started once everything else is made
};

} // namespace modbuscalc
