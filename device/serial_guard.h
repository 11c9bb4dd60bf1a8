#pragma once

// What keeps a serial line from handing one request's reply to another.
// A serial line carries no transaction ids: a reply belongs to a request
// only because it comes after it. So the rule is: a reply is taken only
// when no reply still owed to an earlier request could look the same.
//
// A request that got no answer of its own (a timeout, a garbled frame,
// another request's frame, a stop) leaves its reply owed. Nothing is sent
// to a unit while a reply of that unit is owed: the line is drained first,
// everything on it read and thrown away, until the owed reply was heard or
// can no longer come, and the line has then been quiet for a whole
// timeout. Another unit's reply cannot pass for it (libmodbus refuses a
// reply from another unit), so a request to another unit goes at once, as
// a scan of a line needs. A device that
// answers later than LateLimit timeouts after the request is taken as never
// answering it; past that, the lengths of the replies given up on are still
// kept apart where a read can be asked differently (a second defence).
//
// Pure bookkeeping: the transport reads the line and keeps the time.

#include "device/device.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace modbuscalc::device {

class SerialGuard {
public:
    using Clock = std::chrono::steady_clock;

    // Timeouts after its request past which a reply is taken as never coming.
    static constexpr int LateLimit = 5;
    // Replies given up on whose lengths reads still keep apart.
    static constexpr std::size_t Remembered = 8;

    // The first bytes of the reply a request expects: unit, function, and
    // for a read its byte count, for a write the four bytes it echoes.
    // libmodbus takes a reply that starts so, or any exception with the
    // request's unit and function.
    using Head = std::vector<std::uint8_t>;
    static Head ReadHead(int unit, RegisterType type, int count);
    static Head WriteHead(int unit, int function, int address, int countOrValue);

    explicit SerialGuard(std::chrono::microseconds timeout);

    // A request went out at sent and got no answer of its own.
    void owe(Head head, Clock::time_point sent);
    // Whether the line must be drained before anything is sent to the unit.
    bool owing(int unit) const { return m_owed.count(unit) > 0; }

    // A frame heard while draining: an owed reply settles once heard.
    void heard(std::span<const std::uint8_t> frame);
    // When a drain before a request to the unit, whose line last carried
    // bytes at lastHeard (or started then), may end: a timeout after that,
    // and after the unit's owed reply's last moment to come unless it was
    // heard.
    Clock::time_point drainEnds(int unit, Clock::time_point lastHeard) const;
    // The drain ended: nothing of the unit is owed any more.
    void drained(int unit);

    // Where a read of count values of type at address is asked from, and
    // how many: widened, within limit and the address space, where a reply
    // given up on has the same head, so that the two cannot be taken for
    // each other; as it stands where no widening can tell them apart.
    struct Ask {
        int from;
        int count;
        bool operator==(const Ask &) const = default;
    };
    Ask ask(int unit, RegisterType type, int address, int count, int limit) const;

    // Whether an exception with this unit and function could be the late
    // answer to a request given up on.
    bool exceptionInDoubt(int unit, int function) const;

private:
    bool given(const Head &head) const;

    Clock::duration m_timeout;
    struct Owed {
        Head head;
        Clock::time_point until; // its last moment to come
        bool heard = false;
    };
    std::map<int, Owed> m_owed; // by unit
    std::deque<Head> m_givenUp; // newest last
};

} // namespace modbuscalc::device
