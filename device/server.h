#pragma once

// A simulated controller on Modbus TCP or RTU, through libmodbus's own
// server functions: each unit has a register space of its own (65,536 of
// each type), libmodbus frames and answers every request, and a Referee
// decides first whether it answers at all. Over TCP one thread polls every
// connection: a frame is handed to libmodbus only once it is whole and its
// length tells the truth, so a master that stalls or lies loses its own
// connection and costs the others nothing.

#include "device/device.h"
#include "device/served.h"
#include "device/stop.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace modbuscalc::device {

// A value a map sets, in one unit's space or in every unit's.
struct ServedValue {
    RegisterType type;
    int address;
    std::vector<std::uint16_t> words; // a coil or a discrete input: 0 or 1
    std::optional<int> unit = std::nullopt; // nullopt: every unit's
};

// A register (or a bit) that counts up once a second.
struct Ramp {
    RegisterType type;
    int address;
};

struct ServeSettings {
    Link link; // where to listen: a TCP endpoint (port 0: any free one), or a line
    ServeRules rules;
    std::vector<ServedValue> values;
    MappedAddresses mapped;
    std::vector<Ramp> ramps;
};

// One request and what it got.
struct ServedEvent {
    std::chrono::system_clock::time_point time;
    std::string peer; // "127.0.0.1:50312", or the serial device
    int unit = 0;
    int function = 0;
    std::optional<ServedRequest> request; // nullopt: a function not served
    Answer answer;
};

class Server {
public:
    // Most connections open at once; one more is closed as it comes.
    static constexpr int MaxConnections = 64;
    // A frame begun and not finished in this time closes its connection.
    static constexpr std::chrono::milliseconds FrameLimit { 1000 };

    // log: each request, once answered (or not); the unit's values after a
    // write are there to read through value(). notice: connections opened,
    // refused and closed, in a message's words.
    using Log = std::function<void(const ServedEvent &event)>;
    using Notice = std::function<void(const std::string &text)>;

    Server(ServeSettings settings, Log log, Notice notice);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Binds or opens the line: nullopt, or why not, in a message's words.
    std::optional<std::string> open();
    // "127.0.0.1:5020" (the port bound), or the serial device.
    std::string where() const;
    // Serves until the stop is asked for: true; false when the link failed
    // (told).
    bool run(const Stop &stop);

    // Serves one connection already open, instead of listening: a test's or
    // a fuzzer's socket, until it closes or the stop is asked for.
    void serveConnection(int socket, const Stop &stop);

    // A unit's value now: a register, or a bit as 0 or 1. unit: a unit a
    // request named and got an answer for.
    std::uint16_t value(int unit, RegisterType type, int address) const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Whether this build can serve (it has libmodbus).
bool ServingAvailable();

} // namespace modbuscalc::device
