// The transport through libmodbus. libmodbus frames, sends, receives and
// checks every exchange; around it this file connects TCP itself (so that
// a refused connection, an unknown host and an unreachable one are told
// apart, and a stop ends the wait), hands a serial line to libmodbus
// through a relay that a stop can wake, and guards a serial line against
// replies that come after their request timed out.

#include "device/transport.h"

#include "device/lookup.h"
#include "device/serial_guard.h"

#include "core/text.h"

#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
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

std::string lowerFirst(std::string text)
{
    if (!text.empty())
        text[0] = AsciiLower(text[0]);
    return text;
}

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
    return lowerFirst(words);
#else
    return lowerFirst(std::strerror(error));
#endif
}

// libmodbus's errors after a request, as a user reads them.
DeviceError describe(int error)
{
    if (error == 0) // Winsock's failures leave errno alone
        return { DeviceError::Kind::Broken, 0, "connection lost" };
    if (error == ETIMEDOUT)
        return { DeviceError::Kind::Timeout, 0, "timeout" };
    if (error > MODBUS_ENOBASE && error < MODBUS_ENOBASE + 12) {
        // The protocol's own names: a gateway's two say that it is one.
        static constexpr const char *Names[] = { "", "illegal function", "illegal data address",
            "illegal data value", "server device failure", "acknowledge", "server device busy",
            "negative acknowledge", "memory parity error", "exception 9",
            "gateway path unavailable", "gateway target device failed to respond" };
        const int code = error - MODBUS_ENOBASE;
        return { DeviceError::Kind::Exception, code,
            std::string(Names[code]) + " (exception " + std::to_string(code) + ')' };
    }
    switch (error) {
    case EMBBADCRC:
        return { DeviceError::Kind::BadReply, 0, "a garbled reply (bad CRC)" };
    case EMBBADDATA:
    case EMBBADEXC:
    case EMBMDATA:
    case EMBBADSLAVE:
        return { DeviceError::Kind::BadReply, 0, "a reply that does not match the request" };
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
    case ECONNABORTED:
    case EBADF:
    case EIO:
        return { DeviceError::Kind::Broken, 0,
            "connection lost (" + lowerFirst(std::strerror(error)) + ')' };
    default:
        return { DeviceError::Kind::Other, 0, lowerFirst(modbus_strerror(error)) };
    }
}

DeviceError stopped()
{
    return { DeviceError::Kind::Stopped, 0, "stopped" };
}

int functionOf(RegisterType type)
{
    switch (type) {
    case RegisterType::Coil:
        return 1;
    case RegisterType::DiscreteInput:
        return 2;
    case RegisterType::HoldingRegister:
        return 3;
    case RegisterType::InputRegister:
        break;
    }
    return 4;
}

bool isBits(RegisterType type)
{
    return type == RegisterType::Coil || type == RegisterType::DiscreteInput;
}

// The hex of bytes, "07 03 09 01 00 01".
std::string hexBytes(std::initializer_list<int> bytes)
{
    std::string text;
    for (const int byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += UpperHexDigits[static_cast<std::size_t>((byte >> 4) & 0xF)];
        text += UpperHexDigits[static_cast<std::size_t>(byte & 0xF)];
    }
    return text;
}

std::string plural(int count, const char *one, const char *many)
{
    return std::to_string(count) + ' ' + (count == 1 ? one : many);
}

struct ContextDeleter {
    void operator()(modbus_t *context) const { modbus_free(context); }
};

#ifndef _WIN32
// A serial line handed to libmodbus through a socket pair: bytes go over
// unchanged both ways, and a stop that shuts libmodbus's end down wakes its
// wait, which a terminal device cannot be made to do.
class SerialRelay {
public:
    explicit SerialRelay(int line)
        : m_line(line)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_pair) != 0
            || ::pipe(m_wake) != 0)
            return;
        m_thread = std::thread([this] { run(); });
    }
    ~SerialRelay()
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
    SerialRelay(const SerialRelay &) = delete;
    SerialRelay &operator=(const SerialRelay &) = delete;

    bool ok() const { return m_thread.joinable(); }
    // The end libmodbus reads and writes.
    int end() const { return m_pair[0]; }

    // Why the line itself failed (end of file, EIO: a USB adapter pulled
    // out), or 0 while it works. Set before libmodbus's end is shut.
    int lineError() const { return m_lineError.load(); }

private:
    // Copies what waits on from to to: false once from has failed, or to
    // cannot take it.
    static bool copy(int from, int to, bool toSocket, int &error)
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

    void run()
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
                    // The line is gone: libmodbus hears the end at once,
                    // not as a timeout.
                    m_lineError.store(error);
                    ::shutdown(m_pair[1], SHUT_RDWR);
                    return;
                }
            }
            if (fds[2].revents)
                endOk = copy(m_pair[1], m_line, false, error);
        }
    }

    int m_line;
    std::atomic<int> m_lineError = 0;
    int m_pair[2] = { -1, -1 };
    int m_wake[2] = { -1, -1 };
    std::thread m_thread;
};
#endif

class ModbusTransport final : public Transport {
public:
    ModbusTransport(const Connection &connection, Stop &stop, Trace trace)
        : m_connection(connection)
        , m_tcp(std::get_if<TcpEndpoint>(&m_connection.link))
        , m_serial(std::get_if<SerialLine>(&m_connection.link))
        , m_stop(stop)
        , m_trace(std::move(trace))
    {
        if (m_serial)
            m_guard.emplace(TimeoutOf(m_connection.timeout));
#ifdef _WIN32
        WSADATA data;
        m_winsock = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
#endif
    }
    ~ModbusTransport() override
    {
        close();
#ifdef _WIN32
        if (m_winsock)
            ::WSACleanup();
#endif
    }
    ModbusTransport(const ModbusTransport &) = delete;
    ModbusTransport &operator=(const ModbusTransport &) = delete;

    bool serial() const override
    {
        return m_serial != nullptr;
    }
    bool isOpen() const override
    {
        return m_open;
    }

    void setUnit(int unit) override
    {
        m_connection.unit = unit;
        if (m_context)
            modbus_set_slave(m_context.get(), unit);
    }

    int maxPerRead(RegisterType type) const override
    {
        // A serial line keeps room to ask for one value more than wanted,
        // so that a request can always be told from one that timed out.
        if (m_serial)
            return MaxPerRead(type) - (isBits(type) ? 8 : 1);
        return MaxPerRead(type);
    }

    std::optional<DeviceError> open() override
    {
        close();
        if (m_stop.requested())
            return stopped();
        std::optional<DeviceError> error = m_tcp ? openTcp() : openSerial();
        if (error) {
            error->text = "no connection: " + error->text;
            trace("no connection to " + Where(m_connection.link) + ": " + error->text);
            close();
            return error;
        }
        m_open = true;
        return std::nullopt;
    }

    void close() override
    {
        m_open = false;
        if (!m_context)
            return;
#ifndef _WIN32
        if (m_relay) {
            m_relay.reset();
            modbus_set_socket(m_context.get(), m_line);
        }
#endif
        modbus_close(m_context.get());
        m_context.reset();
        m_socket = -1;
    }

    ReadResult read(RegisterType type, int address, int count) override
    {
        if (!m_open)
            return DeviceError { DeviceError::Kind::Broken, 0, "not connected" };
        return m_serial ? guardedRead(type, address, count) : exchange(type, address, count);
    }

private:
    void trace(const std::string &line) const
    {
        if (m_trace)
            m_trace(line);
    }

    // libmodbus's two timeouts, exact to the microsecond; false where it
    // refused them, which would leave its own defaults in force.
    bool setTimeout(double seconds)
    {
        const auto us = TimeoutOf(seconds).count();
        const auto whole = static_cast<std::uint32_t>(us / 1000000);
        const auto part = static_cast<std::uint32_t>(us % 1000000);
        return modbus_set_response_timeout(m_context.get(), whole, part) == 0
            && modbus_set_byte_timeout(m_context.get(), whole, part) == 0;
    }

    bool newContext(modbus_t *raw)
    {
        if (!raw)
            return false;
        m_context.reset(raw);
        return setTimeout(m_connection.timeout) && modbus_set_slave(raw, m_connection.unit) == 0;
    }

    // Connects to the first of the host's addresses that takes it, waiting
    // at most the timeout for each, in slices that look at the stop.
    std::optional<DeviceError> openTcp()
    {
        trace("connecting to " + Where(m_connection.link));
        addrinfo hints {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        const std::string port = std::to_string(m_tcp->port);
        const Lookup lookup = LookUp(m_tcp->host, port, hints, m_stop);
        if (lookup.stopped)
            return stopped();
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
            return stopped();
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

    // COM10 and above open only by their device path, \\.\COM10, which
    // takes the lower ports too.
    std::string serialDevice() const
    {
#ifdef _WIN32
        const std::string &name = m_serial->device;
        if (name.size() > 3 && EqualsIgnoringCase(name.substr(0, 3), "COM")
            && std::all_of(name.begin() + 3, name.end(), IsDigit))
            return "\\\\.\\" + name;
#endif
        return m_serial->device;
    }

    std::optional<DeviceError> openSerial()
    {
        trace("opening " + m_serial->device);
        if (!newContext(modbus_new_rtu(serialDevice().c_str(), m_serial->baud,
                static_cast<char>(m_serial->parity), m_serial->dataBits, m_serial->stopBits)))
            return DeviceError { DeviceError::Kind::NoSuchPort, 0,
                "the line settings are not possible" };
#ifdef _WIN32
        ::SetLastError(0);
#endif
        errno = 0;
        if (modbus_connect(m_context.get()) != 0) {
#ifdef _WIN32
            const DWORD error = ::GetLastError();
            if (error == ERROR_ACCESS_DENIED)
                return DeviceError { DeviceError::Kind::NoSuchPort, 0,
                    "the serial port is in use, or not ours to open" };
            return DeviceError { DeviceError::Kind::NoSuchPort, 0, "no such serial port" };
#else
            const int error = errno;
            if (error == ENOENT || error == ENODEV || error == ENXIO)
                return DeviceError { DeviceError::Kind::NoSuchPort, 0, "no such serial port" };
            if (error == EBUSY)
                return DeviceError { DeviceError::Kind::NoSuchPort, 0,
                    "the serial port is in use" };
            return DeviceError { DeviceError::Kind::NoSuchPort, 0,
                lowerFirst(std::strerror(error)) };
#endif
        }
        // A reply left on the line by an earlier run is no answer of ours.
        modbus_flush(m_context.get());
#ifndef _WIN32
        m_line = modbus_get_socket(m_context.get());
        m_relay = std::make_unique<SerialRelay>(m_line);
        if (!m_relay->ok()) {
            m_relay.reset();
            return DeviceError { DeviceError::Kind::Broken, 0, std::strerror(errno) };
        }
        modbus_set_socket(m_context.get(), m_relay->end());
        m_socket = m_relay->end();
#endif
        return std::nullopt;
    }

    // What one call into libmodbus came to.
    struct Call {
        bool sent = false; // the request was handed to libmodbus
        bool stopped = false; // a stop cut the wait short
        int got = -1; // what the call returned
        int error = 0; // errno after it
    };

    // One call into libmodbus, with its wait open to a stop; a stopped call
    // closes the connection, for nothing of it can be trusted.
    Call call(const std::function<int(modbus_t *)> &request)
    {
        Call call;
        watch();
        if (!m_stop.requested()) {
            call.sent = true;
            errno = 0;
            call.got = request(m_context.get());
            call.error = errno;
        }
        unwatch();
        if (m_stop.requested()) {
            call.stopped = true;
            trace("< stopped");
            close();
        }
        return call;
    }

    // One read request as libmodbus sends it.
    ReadResult exchange(RegisterType type, int address, int count)
    {
        trace("> "
            + hexBytes({ m_connection.unit, functionOf(type), address >> 8, address & 0xFF,
                count >> 8, count & 0xFF }));
        std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
        std::vector<std::uint8_t> bits;
        if (isBits(type))
            bits.resize(static_cast<std::size_t>(count));
        const Call done = call([&](modbus_t *context) {
            switch (type) {
            case RegisterType::HoldingRegister:
                return modbus_read_registers(context, address, count, values.data());
            case RegisterType::InputRegister:
                return modbus_read_input_registers(context, address, count, values.data());
            case RegisterType::Coil:
                return modbus_read_bits(context, address, count, bits.data());
            case RegisterType::DiscreteInput:
                break;
            }
            return modbus_read_input_bits(context, address, count, bits.data());
        });
        if (done.stopped)
            return stopped();
        if (done.got == count) {
            if (isBits(type))
                values.assign(bits.begin(), bits.end());
            trace("< "
                + plural(
                    count, isBits(type) ? "bit" : "register", isBits(type) ? "bits" : "registers"));
            return values;
        }
        DeviceError failed = done.got < 0 ? describeFailure(done.error)
                                          : DeviceError { DeviceError::Kind::BadReply, 0,
                                                "a reply that does not match the request" };
        trace("< " + failed.text);
        if (failed.kind == DeviceError::Kind::Broken)
            close();
        return failed;
    }

    // Whether the device has closed a TCP connection since its last answer.
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

public:
    WriteResult write(RegisterType type, int address, std::span<const std::uint16_t> values,
        bool multiple) override
    {
        if (!m_open)
            return DeviceError { DeviceError::Kind::Broken, 0, "not connected" };
        if (m_tcp && peerClosed()) {
            close();
            return DeviceError { DeviceError::Kind::Broken, 0,
                "connection lost (closed by the device)" };
        }
        const bool coils = type == RegisterType::Coil;
        const int count = static_cast<int>(values.size());
        const int function = coils ? (multiple ? 15 : 5) : (multiple ? 16 : 6);
        if (m_serial && !settle())
            return lineLost();
        // After a reply was given up on, an exception of the same function
        // could be its late answer, not this write's.
        const bool doubt = m_serial && m_guard->exceptionInDoubt(m_connection.unit, function);
        traceWrite(function, address, values);
        const std::vector<std::uint8_t> bits(values.begin(), values.end());
        const auto sent = Clock::now();
        const Call done = call([&](modbus_t *context) {
            if (coils)
                return multiple ? modbus_write_bits(context, address, count, bits.data())
                                : modbus_write_bit(context, address, values[0] != 0);
            return multiple ? modbus_write_registers(context, address, count, values.data())
                            : modbus_write_register(context, address, values[0]);
        });
        const auto owe = [&] {
            if (m_serial && done.sent) {
                const int echoed = multiple ? count
                    : function == 5         ? (values[0] ? 0xFF00 : 0)
                                            : values[0];
                m_guard->owe(
                    SerialGuard::WriteHead(m_connection.unit, function, address, echoed), sent);
            }
        };
        if (done.stopped) {
            owe();
            return DeviceError { DeviceError::Kind::Stopped, 0, "stopped", done.sent };
        }
        if (done.got >= 0) {
            trace("< written");
            return std::nullopt;
        }
        DeviceError failed = describeFailure(done.error);
        if (failed.kind == DeviceError::Kind::Exception && failed.exception == 5) {
            // Acknowledge: taken, and still being carried out.
            trace("< accepted (acknowledge)");
            return std::nullopt;
        }
        failed.maybeDone = WriteMayHaveBeenDone(failed) || doubt;
        trace("< " + failed.text);
        if (failed.kind == DeviceError::Kind::Timeout || failed.kind == DeviceError::Kind::BadReply)
            owe();
        if (failed.kind == DeviceError::Kind::Broken)
            close();
        return failed;
    }

private:
    void traceWrite(int function, int address, std::span<const std::uint16_t> values) const
    {
        if (!m_trace)
            return;
        const int count = static_cast<int>(values.size());
        std::string line
            = "> " + hexBytes({ m_connection.unit, function, address >> 8, address & 0xFF });
        if (function == 5 || function == 6) {
            const int value = function == 5 ? (values[0] ? 0xFF00 : 0) : values[0];
            m_trace(line + ' ' + hexBytes({ value >> 8, value & 0xFF }));
            return;
        }
        line += ' ' + hexBytes({ count >> 8, count & 0xFF });
        for (const std::uint16_t value : values)
            line += ' '
                + (function == 15 ? hexBytes({ value }) : hexBytes({ value >> 8, value & 0xFF }));
        m_trace(line);
    }

    void watch()
    {
        m_stop.watch(m_socket);
#ifdef _WIN32
        if (m_serial) {
            m_thread = ::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId());
            m_stop.watchThread(m_thread);
        }
#endif
    }

    void unwatch()
    {
        m_stop.watch(-1);
#ifdef _WIN32
        m_stop.watchThread(nullptr);
        if (m_thread)
            ::CloseHandle(m_thread);
        m_thread = nullptr;
#endif
    }

    // libmodbus's error after a request; on a serial line whose relay saw
    // the line itself fail, that failure.
    DeviceError describeFailure(int error) const
    {
#ifndef _WIN32
        if (m_relay && m_relay->lineError() != 0)
            return { DeviceError::Kind::Broken, 0,
                "the serial line failed ("
                    + (m_relay->lineError() == EPIPE
                            ? std::string("it ended")
                            : lowerFirst(std::strerror(m_relay->lineError())))
                    + "; unplugged?)" };
#endif
        return describe(error);
    }

    DeviceError lineLost()
    {
        if (m_stop.requested())
            return stopped();
        return { DeviceError::Kind::Broken, 0, "not connected" };
    }

    // Before a request on a serial line: drains the line where a reply is
    // owed or bytes wait that nobody asked for. False when a stop, or a
    // failed line, cut it short.
    bool settle()
    {
        if (m_guard->owing() || waiting())
            drain();
        return m_open && !m_stop.requested();
    }

    // Reads and throws away whatever comes, until the guard says the line
    // is clear; a stop keeps what is owed for the next drain.
    void drain()
    {
        auto last = Clock::now();
        int frames = 0;
        while (m_open && !m_stop.requested()) {
            const auto now = Clock::now();
            const auto end = m_guard->drainEnds(last);
            if (now >= end)
                break;
            const double left = std::chrono::duration<double>(end - now).count();
            if (hear(std::min(left, Stop::Slice))) {
                last = Clock::now();
                ++frames;
            }
        }
        if (!m_open || m_stop.requested())
            return;
        m_guard->drained();
        trace(frames ? "line drained: " + plural(frames, "frame", "frames") + " thrown away"
                     : "line drained: quiet");
    }

    // Whether bytes wait on the line now. Windows cannot look without a
    // wait; there a failed request is what starts a drain.
    bool waiting() const
    {
#ifdef _WIN32
        return false;
#else
        pollfd in { m_relay->end(), POLLIN, 0 };
        return ::poll(&in, 1, 0) > 0;
#endif
    }

    // Reads one frame, if any comes within seconds, and tells the guard of
    // it; whether anything came.
    bool hear(double seconds)
    {
#ifndef _WIN32
        pollfd in { m_relay->end(), POLLIN, 0 };
        if (::poll(&in, 1, static_cast<int>(std::ceil(seconds * 1000))) <= 0)
            return false;
#else
        setTimeout(std::max(seconds, 0.001));
#endif
        std::uint8_t frame[MODBUS_RTU_MAX_ADU_LENGTH];
        const Call done
            = call([&](modbus_t *context) { return modbus_receive_confirmation(context, frame); });
#ifdef _WIN32
        if (m_context)
            setTimeout(m_connection.timeout);
        if (!done.stopped && done.got < 0 && done.error == ETIMEDOUT)
            return false;
#endif
        if (done.got > 0)
            m_guard->heard(
                std::span<const std::uint8_t>(frame, static_cast<std::size_t>(done.got)));
        if (done.got < 0 && describeFailure(done.error).kind == DeviceError::Kind::Broken)
            close();
        return true;
    }

    // A read on a serial line: sent only once nothing owed could pass for
    // its reply; a reply that is not its own costs a drain and another try.
    ReadResult guardedRead(RegisterType type, int address, int count)
    {
        bool widen = true;
        for (int round = 0; round < 3; ++round) {
            if (!settle())
                return lineLost();
            const SerialGuard::Ask plain { address, count };
            const SerialGuard::Ask ask = widen
                ? m_guard->ask(m_connection.unit, type, address, count, MaxPerRead(type))
                : plain;
            const auto sent = Clock::now();
            ReadResult result = exchange(type, ask.from, ask.count);
            if (auto *values = std::get_if<std::vector<std::uint16_t>>(&result)) {
                const auto first = values->begin() + (address - ask.from);
                return std::vector<std::uint16_t>(first, first + count);
            }
            DeviceError &error = std::get<DeviceError>(result);
            switch (error.kind) {
            case DeviceError::Kind::Timeout:
            case DeviceError::Kind::Stopped:
                m_guard->owe(SerialGuard::ReadHead(m_connection.unit, type, ask.count), sent);
                return error;
            case DeviceError::Kind::BadReply:
                // A garbled frame, or another request's: ours may follow.
                m_guard->owe(SerialGuard::ReadHead(m_connection.unit, type, ask.count), sent);
                continue;
            case DeviceError::Kind::Exception:
                if (!(ask == plain) && (error.exception == 2 || error.exception == 3)) {
                    widen = false; // the value more is not there
                    continue;
                }
                return error;
            default:
                return error;
            }
        }
        return DeviceError { DeviceError::Kind::BadReply, 0,
            "no reply of its own in 3 tries (a reply for another request each time)" };
    }

    Connection m_connection;
    const TcpEndpoint *m_tcp;
    const SerialLine *m_serial;
    Stop &m_stop;
    Trace m_trace;
    std::unique_ptr<modbus_t, ContextDeleter> m_context;
    bool m_open = false;
    std::intptr_t m_socket = -1; // what a stop shuts down
    std::optional<SerialGuard> m_guard; // on a serial line
#ifdef _WIN32
    bool m_winsock = false;
    HANDLE m_thread = nullptr;
#else
    int m_line = -1; // the serial line itself
    std::unique_ptr<SerialRelay> m_relay;
#endif
};

} // namespace

std::unique_ptr<Transport> MakeTransport(const Connection &connection, Stop &stop, Trace trace)
{
    return std::make_unique<ModbusTransport>(connection, stop, std::move(trace));
}

bool DeviceAccessAvailable()
{
    return true;
}

} // namespace modbuscalc::device
