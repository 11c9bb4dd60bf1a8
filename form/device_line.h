#pragma once

// One device session shared by the windows that read a device: the live
// value and the table view take turns on it, first come first served, so
// that two never talk over each other on one serial line and one TCP
// connection serves both. Each turn is one exchange or a few; a window that
// goes away ends its own turn's wait at once, and its wait for a turn.

#include "device/session.h"
#include "device/stop.h"
#include "device/transport.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

namespace modbuscalc {

class DeviceLine {
public:
    using MakeTransport = std::function<std::unique_ptr<device::Transport>(
        const device::Connection &connection, device::Stop &stop)>;

    // make: how the session connects (the device library's, by default).
    explicit DeviceLine(MakeTransport make = {});
    DeviceLine(const DeviceLine &) = delete;
    DeviceLine &operator=(const DeviceLine &) = delete;

    // Waits for the line's turn, then runs work with the session for the
    // connection (a new one when the connection differs from the last
    // turn's). False, and work not run, when leaving() says true first; it
    // is asked whenever a turn ends and whenever interrupt(user) is called.
    bool use(const void *user, const device::Connection &connection,
        const std::function<bool()> &leaving, const std::function<void(device::Session &)> &work);

    // user is going away: its turn's exchange ends at once (Stopped), and
    // its wait for a turn asks leaving() again. Thread-safe.
    void interrupt(const void *user);

private:
    // The next ticket is served; tickets given up are passed over.
    void passOn();

    MakeTransport m_make;
    std::mutex m_mutex;
    std::condition_variable m_turn;
    std::uint64_t m_nextTicket = 0;
    std::uint64_t m_serving = 0;
    std::set<std::uint64_t> m_abandoned;
    const void *m_holder = nullptr;
    device::Stop m_stop;
    // The holder's only.
    std::unique_ptr<device::Session> m_session;
    device::Connection m_sessionConnection;
};

// A device whose every request is one turn on the line: what the planners
// and writers read and write through.
class LineDevice final : public device::Device {
public:
    LineDevice(DeviceLine &line, const void *user, device::Connection connection,
        std::function<bool()> leaving);

    device::ReadResult read(RegisterType type, int address, int count) override;
    device::WriteResult write(RegisterType type, int address, std::span<const std::uint16_t> values,
        bool multiple) override;

private:
    DeviceLine &m_line;
    const void *m_user;
    device::Connection m_connection;
    std::function<bool()> m_leaving;
};

} // namespace modbuscalc
