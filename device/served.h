#pragma once

// The simulated controller's rules, without any I/O: what a request asks
// for, read from the fields libmodbus has framed; whether a Modbus TCP
// frame waiting on a connection is whole and tells the truth about its
// length; and which answer a request gets, the faults asked for on
// purpose among them.

#include "core/notation.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace modbuscalc::device {

// A request's fields, from its PDU (the function code first).
struct ServedRequest {
    int function = 0;
    bool known = true; // a function libmodbus serves: 1-6, 15, 16, 17, 22, 23
    RegisterType type = RegisterType::HoldingRegister; // what it reads or writes
    int address = 0; // the first register it touches
    int count = 0;
    bool writes = false;
    // Function 23 reads one span and writes another.
    int writeAddress = 0;
    int writeCount = 0;
    int byteCount = 0; // 15, 16, 23: the values' bytes, as the request says
    int value = 0; // 5, 6: the value written
};

// The fields of a PDU; for a function libmodbus does not serve, the
// function alone. nullopt for a PDU too short for its fields.
std::optional<ServedRequest> ServedRequestOf(std::span<const std::uint8_t> pdu);

// A Modbus TCP frame waiting on a connection, by its first bytes.
struct TcpFrame {
    enum class State {
        Partial, // more bytes to come
        Whole, // size bytes make the frame
        Lie, // a header or a length no master sends: the stream is lost
    };
    State state = State::Partial;
    std::size_t size = 0;
};

// The largest frame: the 7-byte header and a 253-byte PDU.
inline constexpr std::size_t MaxTcpFrame = 260;

// Judges the bytes waiting: the protocol id must be 0, and the length
// field must be the one the PDU's own fields imply, so that libmodbus,
// which frames by the PDU, reads exactly this frame and never waits for
// bytes a liar will not send.
TcpFrame JudgeTcpFrame(std::span<const std::uint8_t> waiting);

// The faults and refusals a served controller is asked to show.
struct ServeRules {
    std::vector<int> units { 1 };
    bool readOnly = false; // every write: exception 1
    bool onlyMapped = false; // an address no map names: exception 2
    int dropEvery = 0; // every K-th request unanswered; 0: none
    int busyEvery = 0; // every K-th request: exception 6
    struct Forced {
        std::optional<RegisterType> type; // nullopt: every type
        int address;
        int code;
    };
    std::vector<Forced> exceptions;
    std::chrono::milliseconds delay { 0 };
};

// What a request gets.
struct Answer {
    enum class Kind { Reply, Exception, Silence };
    Kind kind = Kind::Reply;
    int exception = 0;
};

// Which addresses the maps name, per type.
class MappedAddresses {
public:
    MappedAddresses();
    void add(RegisterType type, int address, int count);
    // Whether every address of the span is named.
    bool covers(RegisterType type, int address, int count) const;

private:
    std::vector<std::vector<bool>> m_mapped;
};

// Decides each request's answer in turn; counts them for the faults that
// strike every K-th.
class Referee {
public:
    Referee(ServeRules rules, MappedAddresses mapped);

    const ServeRules &rules() const { return m_rules; }
    bool serves(int unit) const;
    // The unit whose registers answer a request for unit: itself; over TCP
    // 255 (the unit of a device addressed directly, which libmodbus's
    // masters send) is the first unit, unless 255 is served itself; on a
    // line 0 (every unit) is the first unit too. -1: none.
    int unitFor(int unit, bool tcp) const;

    // A request for a unit over TCP (where an unknown unit gets exception
    // 11, as from a gateway) or on a serial line (silence). Whatever
    // libmodbus would refuse (a function it does not serve, a count or an
    // address out of range) is refused here: libmodbus itself would stall
    // every master for half a second to flush the line first.
    // On a serial line, a write to unit 0 (every unit) is done as the
    // first unit's, unanswered, as libmodbus answers no broadcast.
    Answer judge(int unit, const std::optional<ServedRequest> &request, bool tcp);

private:
    ServeRules m_rules;
    MappedAddresses m_mapped;
    std::uint64_t m_requests = 0;
};

} // namespace modbuscalc::device
