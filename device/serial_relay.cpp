#include "device/serial_relay.h"

#include <cerrno>
#include <cstddef>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace modbuscalc::device {

SerialRelay::SerialRelay(int line)
    : m_line(line)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_pair) != 0 || ::pipe(m_wake) != 0)
        return;
    m_thread = std::thread([this] { run(); });
}

SerialRelay::~SerialRelay()
{
    if (m_thread.joinable()) {
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    for (const int fd : { m_pair[0], m_pair[1], m_wake[0], m_wake[1] })
        if (fd >= 0)
            ::close(fd);
}

bool SerialRelay::copy(int from, int to, bool toSocket, int &error)
{
    char buffer[512];
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got == 0)
        error = EPIPE; // the end of the line
    if (got <= 0) {
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (got < 0)
            error = errno;
        return false;
    }
    for (ssize_t done = 0; done < got;) {
        // A socket whose other end was shut must not kill us by SIGPIPE.
        const auto left = static_cast<std::size_t>(got - done);
        const ssize_t put = toSocket ? ::send(to, buffer + done, left, MSG_NOSIGNAL)
                                     : ::write(to, buffer + done, left);
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (put < 0) {
            pollfd out { to, POLLOUT, 0 };
            ::poll(&out, 1, 100);
            continue;
        }
        done += put;
    }
    return true;
}

void SerialRelay::run()
{
    bool lineOk = true, endOk = true;
    while (lineOk || endOk) {
        pollfd fds[3] = { { m_wake[0], POLLIN, 0 }, { lineOk ? m_line : -1, POLLIN, 0 },
            { endOk ? m_pair[1] : -1, POLLIN, 0 } };
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        int error = 0;
        if (fds[1].revents) {
            lineOk = copy(m_line, m_pair[1], true, error);
            if (!lineOk && error != 0) {
                // The line is gone: libmodbus hears the end at once, not as
                // a timeout.
                m_lineError.store(error);
                ::shutdown(m_pair[1], SHUT_RDWR);
                return;
            }
        }
        if (fds[2].revents)
            endOk = copy(m_pair[1], m_line, false, error);
    }
}

} // namespace modbuscalc::device
