#include "device/stop.h"

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace modbuscalc::device {

void Stop::request() noexcept
{
    m_requested.store(true);
    if (const std::intptr_t socket = m_socket.load(); socket != -1) {
#ifdef _WIN32
        ::shutdown(static_cast<SOCKET>(socket), SD_BOTH);
#else
        ::shutdown(static_cast<int>(socket), SHUT_RDWR);
#endif
    }
#ifdef _WIN32
    if (void *thread = m_thread.load())
        ::CancelSynchronousIo(static_cast<HANDLE>(thread));
#endif
}

bool Stop::sleep(double seconds) const
{
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now()
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!requested()) {
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(left,
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Slice))));
    }
    return false;
}

} // namespace modbuscalc::device
