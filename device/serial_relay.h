#pragma once

// A serial line handed to libmodbus through a socket pair: bytes go over
// unchanged both ways on a thread of the relay's own, and a stop that
// shuts libmodbus's end down wakes its wait, which a terminal device
// cannot be made to do. A line that ends or fails (a USB adapter pulled
// out) is told at once: libmodbus's end is shut, and lineError() says why.
// POSIX only.

#include <atomic>
#include <thread>

namespace modbuscalc::device {

class SerialRelay {
public:
    explicit SerialRelay(int line);
    ~SerialRelay();
    SerialRelay(const SerialRelay &) = delete;
    SerialRelay &operator=(const SerialRelay &) = delete;

    bool ok() const { return m_thread.joinable(); }
    // The end libmodbus reads and writes.
    int end() const { return m_pair[0]; }
    // Why the line itself failed (EPIPE for its end, EIO...), or 0 while it
    // works. Set before libmodbus's end is shut.
    int lineError() const { return m_lineError.load(); }

private:
    // Copies what waits on from to to: false once from has failed, or to
    // cannot take it; error says why from failed.
    static bool copy(int from, int to, bool toSocket, int &error);
    void run();

    int m_line;
    std::atomic<int> m_lineError = 0;
    int m_pair[2] = { -1, -1 };
    int m_wake[2] = { -1, -1 };
    std::thread m_thread;
};

} // namespace modbuscalc::device
