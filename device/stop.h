#pragma once

// A request to stop the work with a device, from another thread or from a
// signal handler: every wait that the device code does ends within 100 ms
// of it, a blocking exchange at once.

#include <atomic>
#include <cstdint>

namespace modbuscalc::device {

class Stop {
public:
    Stop() = default;
    Stop(const Stop &) = delete;
    Stop &operator=(const Stop &) = delete;

    // Asks every wait to end. Safe from any thread and from a signal
    // handler: it only stores and shuts a socket down.
    void request() noexcept;
    bool requested() const noexcept { return m_requested.load(); }
    // Takes the request back, for work that starts anew.
    void clear() noexcept { m_requested.store(false); }

    // Waits up to seconds, looking at the request every 100 ms; false when
    // it ended early because a stop was asked for.
    bool sleep(double seconds) const;

    // While a blocking exchange runs on a socket: a request shuts it down,
    // which ends the wait inside the protocol library. -1: none.
    void watch(std::intptr_t socket) noexcept { m_socket.store(socket); }
    // On Windows a serial line's wait is a thread's synchronous read: a
    // request cancels it. nullptr: none.
    void watchThread(void *thread) noexcept { m_thread.store(thread); }

    // The slice in which every wait looks at the request.
    static constexpr double Slice = 0.1;

private:
    std::atomic<bool> m_requested = false;
    std::atomic<std::intptr_t> m_socket = -1;
    std::atomic<void *> m_thread = nullptr;
};

} // namespace modbuscalc::device
