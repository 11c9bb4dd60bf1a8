// Modbus RTU on a serial line through libmodbus, which frames, sends,
// receives and checks every exchange. A serial line has no transaction
// ids: the serial guard decides when a request may go out and whether a
// reply is its own (see serial_guard.h); this file reads the line for it.
// On POSIX libmodbus talks to the line through a relay that a stop can
// wake; on Windows a stop cancels the waiting thread's read.

#include "device/modbus_link.h"
#include "device/serial_guard.h"

#include "core/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include "device/serial_relay.h"

#include <poll.h>
#include <sys/socket.h>
#endif

namespace modbuscalc::device {

namespace {

using Clock = std::chrono::steady_clock;

class RtuTransport final : public ModbusLink {
public:
    RtuTransport(const Connection &connection, Stop &stop, Trace trace)
        : ModbusLink(connection, stop, std::move(trace))
        , m_guard(TimeoutOf(connection.timeout))
    {
    }
    ~RtuTransport() override { close(); }
    RtuTransport(const RtuTransport &) = delete;
    RtuTransport &operator=(const RtuTransport &) = delete;

    bool serial() const override { return true; }

    // A serial line keeps room to ask for one value more than wanted, so
    // that a read can be told from one given up on.
    int maxPerRead(RegisterType type) const override
    {
        return MaxPerRead(type) - (IsBits(type) ? 8 : 1);
    }

    ReadResult read(RegisterType type, int address, int count) override
    {
        if (!isOpen())
            return DeviceError { DeviceError::Kind::Broken, 0, "not connected" };
        return guardedRead(type, address, count);
    }

    WriteResult write(RegisterType type, int address, std::span<const std::uint16_t> values,
        bool multiple) override
    {
        if (!isOpen())
            return DeviceError { DeviceError::Kind::Broken, 0, "not connected" };
        if (!settle())
            return lineLost();
        const int function = type == RegisterType::Coil ? (multiple ? 15 : 5) : (multiple ? 16 : 6);
        // After a reply was given up on, an exception of the same function
        // could be its late answer, not this write's.
        const bool doubt = m_guard.exceptionInDoubt(m_connection.unit, function);
        const auto sent = Clock::now();
        Written written = sendWrite(type, address, values, multiple);
        if (!written.error)
            return std::nullopt;
        DeviceError &failed = *written.error;
        const bool owed = failed.kind == DeviceError::Kind::Timeout
            || failed.kind == DeviceError::Kind::BadReply
            || (failed.kind == DeviceError::Kind::Stopped && written.call.sent);
        if (owed) {
            const int count = static_cast<int>(values.size());
            const int echoed = multiple ? count
                : function == 5         ? (values[0] ? 0xFF00 : 0)
                                        : values[0];
            m_guard.owe(SerialGuard::WriteHead(m_connection.unit, function, address, echoed), sent);
        }
        if (failed.kind == DeviceError::Kind::Exception && doubt)
            failed.maybeDone = true;
        return failed;
    }

private:
    std::optional<DeviceError> connect() override
    {
        m_lost.reset();
        return openSerial();
    }

    void disconnecting() override
    {
#ifndef _WIN32
        if (m_relay) {
            m_relay.reset();
            modbus_set_socket(m_context.get(), m_line);
        }
#endif
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
                LowerFirst(std::strerror(error)) };
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

    DeviceError describeFailure(int error) const override
    {
#ifndef _WIN32
        if (m_relay && m_relay->lineError() != 0)
            return { DeviceError::Kind::Broken, 0,
                "the serial line failed ("
                    + (m_relay->lineError() == EPIPE
                            ? std::string("it ended")
                            : LowerFirst(std::strerror(m_relay->lineError())))
                    + "; unplugged?)" };
#endif
        return Describe(error);
    }

    DeviceError lineLost()
    {
        if (m_stop.requested())
            return StoppedError();
        if (m_lost)
            return *m_lost;
        return { DeviceError::Kind::Broken, 0, "not connected" };
    }

    // Before a request on a serial line: drains the line where a reply is
    // owed or bytes wait that nobody asked for. False when a stop, or a
    // failed line, cut it short.
    bool settle()
    {
        if (m_guard.owing(m_connection.unit) || waiting())
            drain();
        return isOpen() && !m_stop.requested();
    }

    // Reads and throws away whatever comes, until the guard says the line
    // is clear; a stop keeps what is owed for the next drain.
    void drain()
    {
        auto last = Clock::now();
        int frames = 0;
        while (isOpen() && !m_stop.requested()) {
            const auto now = Clock::now();
            const auto end = m_guard.drainEnds(m_connection.unit, last);
            if (now >= end)
                break;
            const double left = std::chrono::duration<double>(end - now).count();
            if (hear(std::min(left, Stop::Slice))) {
                last = Clock::now();
                ++frames;
            }
        }
        if (!isOpen() || m_stop.requested())
            return;
        m_guard.drained(m_connection.unit);
        trace(frames ? "line drained: " + Plural(frames, "frame", "frames") + " thrown away"
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
            m_guard.heard(std::span<const std::uint8_t>(frame, static_cast<std::size_t>(done.got)));
        if (done.got < 0) {
            // The cause goes with the relay on closing: kept for the request
            // that found the line gone while draining it.
            DeviceError failure = describeFailure(done.error);
            if (failure.kind == DeviceError::Kind::Broken) {
                m_lost = std::move(failure);
                close();
            }
        }
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
                ? m_guard.ask(m_connection.unit, type, address, count, MaxPerRead(type))
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
                m_guard.owe(SerialGuard::ReadHead(m_connection.unit, type, ask.count), sent);
                return error;
            case DeviceError::Kind::BadReply:
                // A garbled frame, or another request's: ours may follow.
                m_guard.owe(SerialGuard::ReadHead(m_connection.unit, type, ask.count), sent);
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

    const SerialLine *m_serial = &std::get<SerialLine>(m_connection.link);
    SerialGuard m_guard;
    std::optional<DeviceError> m_lost; // why the line was closed while drained
#ifndef _WIN32
    int m_line = -1; // the serial line itself
    std::unique_ptr<SerialRelay> m_relay;
#endif
};

} // namespace

std::unique_ptr<Transport> MakeRtuTransport(const Connection &connection, Stop &stop, Trace trace)
{
    return std::make_unique<RtuTransport>(connection, stop, std::move(trace));
}

} // namespace modbuscalc::device
