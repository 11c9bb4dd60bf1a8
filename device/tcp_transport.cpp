// Modbus TCP through libmodbus. The connection is made here, not by
// libmodbus, so that a refused connection, an unknown host and an
// unreachable one are told apart, and a stop ends the wait; libmodbus then
// frames, sends, receives and checks every exchange, with transaction ids
// that keep one request's reply from another's.

#include "device/lookup.h"
#include "device/modbus_link.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace modbuscalc::device {

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket NoSocket = INVALID_SOCKET;
int lastSocketError()
{
    return WSAGetLastError();
}
void closeSocket(Socket s)
{
    ::closesocket(s);
}
constexpr int Refused = WSAECONNREFUSED, TimedOut = WSAETIMEDOUT, HostUnreachable = WSAEHOSTUNREACH,
              NetUnreachable = WSAENETUNREACH, HostDown = WSAEHOSTDOWN, NetDown = WSAENETDOWN;
#else
using Socket = int;
constexpr Socket NoSocket = -1;
int lastSocketError()
{
    return errno;
}
void closeSocket(Socket s)
{
    ::close(s);
}
constexpr int Refused = ECONNREFUSED, TimedOut = ETIMEDOUT, HostUnreachable = EHOSTUNREACH,
              NetUnreachable = ENETUNREACH, HostDown = EHOSTDOWN, NetDown = ENETDOWN;
#endif

// A socket's error in the system's own words: Winsock's codes are no errno.
std::string socketErrorText(int error)
{
#ifdef _WIN32
    char text[256] = {};
    const DWORD length
        = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string words(text, length);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.'))
        words.pop_back();
    if (words.empty())
        words = "Winsock error " + std::to_string(error);
    return LowerFirst(words);
#else
    return LowerFirst(std::strerror(error));
#endif
}

class TcpTransport final : public ModbusLink {
public:
    using ModbusLink::ModbusLink;
    ~TcpTransport() override { close(); }
    TcpTransport(const TcpTransport &) = delete;
    TcpTransport &operator=(const TcpTransport &) = delete;

    bool serial() const override { return false; }
    int maxPerRead(RegisterType type) const override { return MaxPerRead(type); }

    ReadResult read(RegisterType type, int address, int count) override
    {
        if (!isOpen())
            return DeviceError { DeviceError::Kind::Broken, 0, "not connected" };
        return exchange(type, address, count);
    }

    WriteResult write(RegisterType type, int address, std::span<const std::uint16_t> values,
        bool multiple) override
    {
        if (!isOpen())
            return DeviceError { DeviceError::Kind::Broken, 0, "not connected" };
        if (peerClosed()) {
            close();
            return DeviceError { DeviceError::Kind::Broken, 0,
                "connection lost (closed by the device)" };
        }
        return sendWrite(type, address, values, multiple).error;
    }

private:
    std::optional<DeviceError> connect() override { return openTcp(); }

    std::optional<DeviceError> openTcp()
    {
        trace("connecting to " + Where(m_connection.link));
        addrinfo hints {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        const std::string port = std::to_string(m_tcp->port);
        const Lookup lookup = LookUp(m_tcp->host, port, hints, m_stop);
        if (lookup.stopped)
            return StoppedError();
        const int found = lookup.status;
        if (found != 0) {
            if (found == EAI_AGAIN)
                return DeviceError { DeviceError::Kind::UnknownHost, 0,
                    "the host name could not be looked up now" };
            return DeviceError { DeviceError::Kind::UnknownHost, 0, "unknown host" };
        }
        DeviceError last { DeviceError::Kind::Refused, 0, "refused" };
        for (const addrinfo *ai = lookup.addresses.get(); ai; ai = ai->ai_next) {
            Socket s = NoSocket;
            std::optional<DeviceError> error = connectOne(ai, s);
            if (!error) {
                if (!newContext(modbus_new_tcp_pi(m_tcp->host.c_str(), port.c_str()))) {
                    closeSocket(s);
                    return DeviceError { DeviceError::Kind::Other, 0, std::strerror(errno) };
                }
                modbus_set_socket(m_context.get(), static_cast<int>(s));
                m_socket = static_cast<std::intptr_t>(s);
                return std::nullopt;
            }
            if (error->kind == DeviceError::Kind::Stopped)
                return error;
            last = *error;
        }
        return last;
    }

    std::optional<DeviceError> connectOne(const addrinfo *ai, Socket &s)
    {
#ifdef _WIN32
        s = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        u_long nonBlocking = 1;
        if (s != NoSocket)
            ::ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking);
#else
        s = ::socket(
            ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
#endif
        if (s == NoSocket)
            return DeviceError { DeviceError::Kind::Broken, 0, socketErrorText(lastSocketError()) };
        int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
        int error = 0;
        if (::connect(s, ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen)) != 0) {
            error = lastSocketError();
#ifdef _WIN32
            const bool pending = error == WSAEWOULDBLOCK;
#else
            const bool pending = error == EINPROGRESS;
#endif
            if (pending)
                error = waitConnected(s);
        }
        if (error == 0)
            return std::nullopt;
        closeSocket(s);
        s = NoSocket;
        switch (error) {
        case -1:
            return StoppedError();
        case Refused:
            return DeviceError { DeviceError::Kind::Refused, 0, "refused" };
        case TimedOut:
            return DeviceError { DeviceError::Kind::Timeout, 0, "no answer in time" };
        case HostUnreachable:
        case HostDown:
            return DeviceError { DeviceError::Kind::Unreachable, 0, "host unreachable" };
        case NetUnreachable:
        case NetDown:
            return DeviceError { DeviceError::Kind::Unreachable, 0, "network unreachable" };
        default:
            return DeviceError { DeviceError::Kind::Broken, 0, socketErrorText(error) };
        }
    }

    // A connection under way: 0 once made, its error, TimedOut, or -1 when
    // stopped.
    int waitConnected(Socket s)
    {
        const auto until = Clock::now() + std::chrono::duration<double>(m_connection.timeout);
        while (!m_stop.requested()) {
            const auto left = std::chrono::duration<double>(until - Clock::now()).count();
            if (left <= 0)
                return TimedOut;
            const int ms = static_cast<int>(std::ceil(std::min(left, Stop::Slice) * 1000));
#ifdef _WIN32
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval tv { ms / 1000, (ms % 1000) * 1000 };
            if (::select(0, nullptr, &writable, &failed, &tv) <= 0)
                continue;
#else
            pollfd out { s, POLLOUT, 0 };
            if (::poll(&out, 1, ms) <= 0)
                continue;
#endif
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size);
            return error;
        }
        return -1;
    }

    // Whether the device has closed the connection since its last answer.
    bool peerClosed() const
    {
        const auto s = static_cast<Socket>(m_socket);
#ifdef _WIN32
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval now { 0, 0 };
        if (::select(0, &readable, nullptr, nullptr, &now) <= 0)
            return false;
#else
        pollfd in { s, POLLIN, 0 };
        if (::poll(&in, 1, 0) <= 0)
            return false;
#endif
        char byte = 0;
        return ::recv(s, &byte, 1, MSG_PEEK) <= 0;
    }

    const TcpEndpoint *m_tcp = &std::get<TcpEndpoint>(m_connection.link);
};

} // namespace

std::unique_ptr<Transport> MakeTcpTransport(const Connection &connection, Stop &stop, Trace trace)
{
    return std::make_unique<TcpTransport>(connection, stop, std::move(trace));
}

} // namespace modbuscalc::device
