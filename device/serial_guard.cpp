#include "device/serial_guard.h"

#include <algorithm>
#include <utility>

namespace modbuscalc::device {

namespace {

std::uint8_t byte(int value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}

} // namespace

SerialGuard::Head SerialGuard::ReadHead(int unit, RegisterType type, int count)
{
    return { byte(unit), byte(ReadFunction(type)),
        byte(IsBits(type) ? (count + 7) / 8 : 2 * count) };
}

SerialGuard::Head SerialGuard::WriteHead(int unit, int function, int address, int countOrValue)
{
    return { byte(unit), byte(function), byte(address >> 8), byte(address), byte(countOrValue >> 8),
        byte(countOrValue) };
}

SerialGuard::SerialGuard(std::chrono::microseconds timeout)
    : m_timeout(timeout)
{
}

void SerialGuard::owe(Head head, Clock::time_point sent)
{
    // One a unit at most: nothing goes to a unit while a reply of its is
    // owed, so a request that failed had its unit to itself.
    const int unit = head[0];
    m_owed[unit] = Owed { std::move(head), sent + LateLimit * m_timeout, false };
}

void SerialGuard::heard(std::span<const std::uint8_t> frame)
{
    if (frame.size() < 2)
        return;
    const auto owed = m_owed.find(frame[0]);
    if (owed == m_owed.end())
        return;
    const Head &head = owed->second.head;
    const bool exception = frame[1] == (head[1] | 0x80);
    const bool reply
        = frame.size() >= head.size() && std::equal(head.begin(), head.end(), frame.begin());
    if (exception || reply)
        owed->second.heard = true;
}

SerialGuard::Clock::time_point SerialGuard::drainEnds(int unit, Clock::time_point lastHeard) const
{
    Clock::time_point from = lastHeard;
    if (const auto owed = m_owed.find(unit); owed != m_owed.end() && !owed->second.heard)
        from = std::max(from, owed->second.until);
    return from + m_timeout;
}

void SerialGuard::drained(int unit)
{
    const auto owed = m_owed.find(unit);
    if (owed == m_owed.end())
        return;
    if (!owed->second.heard) {
        // Never heard: it is most likely lost, but a reply later still
        // must not pass for a read's where the read can be asked apart.
        m_givenUp.push_back(std::move(owed->second.head));
        if (m_givenUp.size() > Remembered)
            m_givenUp.pop_front();
    }
    m_owed.erase(owed);
}

bool SerialGuard::given(const Head &head) const
{
    return std::find(m_givenUp.begin(), m_givenUp.end(), head) != m_givenUp.end();
}

SerialGuard::Ask SerialGuard::ask(
    int unit, RegisterType type, int address, int count, int limit) const
{
    if (!given(ReadHead(unit, type, count)))
        return { address, count };
    const int step = IsBits(type) ? 8 : 1;
    for (int more = step; more <= 3 * step; more += step) {
        // Bits widen by whole bytes of the reply.
        const int wider = IsBits(type) ? (count + 7) / 8 * 8 + more - 7 : count + more;
        if (wider > limit || given(ReadHead(unit, type, wider)))
            continue;
        if (address + wider <= 65536)
            return { address, wider };
        if (address + count - wider >= 0)
            return { address + count - wider, wider };
    }
    return { address, count };
}

bool SerialGuard::exceptionInDoubt(int unit, int function) const
{
    return std::any_of(m_givenUp.begin(), m_givenUp.end(),
        [&](const Head &head) { return head[0] == byte(unit) && head[1] == byte(function); });
}

} // namespace modbuscalc::device
