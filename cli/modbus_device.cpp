// The device, through libmodbus: a connection that is opened afresh after a
// timeout or a broken link, so that a late reply is never taken for the
// next request's, and a device that stops answering is given up on.

#include "cli/device.h"

#include "core/text.h"

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#else
#include <unistd.h>
#endif

namespace modbuscalc::cli {

namespace {

// Requests without an answer in a row (timeouts, broken links) after which
// the device is taken as gone.
constexpr int GiveUpAfter = 3;

struct ContextDeleter {
    void operator()(modbus_t *context) const
    {
        modbus_close(context);
        modbus_free(context);
    }
};

// libmodbus's errors as a user reads them; exceptions with their number.
DeviceError describe(int error)
{
    if (error == ETIMEDOUT)
        return { DeviceError::Kind::Timeout, 0, "timeout" };
    if (error > MODBUS_ENOBASE && error < MODBUS_ENOBASE + 12) {
        std::string text = modbus_strerror(error);
        for (char &c : text)
            c = AsciiLower(c);
        const int code = error - MODBUS_ENOBASE;
        return { DeviceError::Kind::Exception, code,
            text + " (exception " + std::to_string(code) + ')' };
    }
    const bool link = error == ECONNRESET || error == EPIPE || error == ECONNREFUSED
        || error == ENOTCONN || error == EBADF || error == EIO || error == ECONNABORTED
        || error == ENETUNREACH || error == EHOSTUNREACH;
    return { link ? DeviceError::Kind::Link : DeviceError::Kind::Other, 0, modbus_strerror(error) };
}

// While it lives, what libmodbus prints for debugging (each frame as sent
// and received, on standard output) goes to standard error instead, so
// that it never mixes with the results.
class DebugOnStandardError {
public:
    explicit DebugOnStandardError(bool active)
        : m_active(active)
    {
        if (!m_active)
            return;
        std::fflush(stdout);
        m_saved = dup(1);
        dup2(2, 1);
    }
    ~DebugOnStandardError()
    {
        if (!m_active)
            return;
        std::fflush(stdout);
        dup2(m_saved, 1);
        close(m_saved);
    }
    DebugOnStandardError(const DebugOnStandardError &) = delete;
    DebugOnStandardError &operator=(const DebugOnStandardError &) = delete;

private:
    bool m_active;
    int m_saved = -1;
};

class ModbusDevice final : public Device {
public:
    explicit ModbusDevice(const Connection &connection)
        : m_connection(connection)
        , m_tcp(std::get_if<TcpEndpoint>(&m_connection.link))
        , m_serial(std::get_if<SerialLine>(&m_connection.link))
    {
    }

    // Creates the context and connects: nullopt, or what went wrong.
    std::optional<std::string> open()
    {
        modbus_t *raw = m_tcp
            ? modbus_new_tcp_pi(m_tcp->host.c_str(), std::to_string(m_tcp->port).c_str())
            : modbus_new_rtu(serialDevice().c_str(), m_serial->baud,
                static_cast<char>(m_serial->parity), m_serial->dataBits, m_serial->stopBits);
        if (!raw)
            return where() + ": " + modbus_strerror(errno);
        m_context.reset(raw);
        const double whole = std::floor(m_connection.timeout);
        const auto seconds = static_cast<std::uint32_t>(whole);
        const auto microseconds = static_cast<std::uint32_t>((m_connection.timeout - whole) * 1e6);
        modbus_set_response_timeout(raw, seconds, microseconds);
        modbus_set_byte_timeout(raw, seconds, microseconds);
        modbus_set_debug(raw, m_connection.verbose ? TRUE : FALSE);
        if (modbus_set_slave(raw, m_connection.unit) != 0)
            return where() + ": " + describe(errno).text;
        if (const std::optional<DeviceError> error = connect())
            return where() + ": " + error->text;
        return std::nullopt;
    }

    ReadResult read(RegisterType type, int address, int count) override
    {
        if (m_gaveUp)
            return gaveUp();
        DeviceError error;
        bool reopened = false;
        for (int attempt = 0; attempt <= m_connection.retries; ++attempt) {
            if (!m_connected) {
                if (const std::optional<DeviceError> failed = connect()) {
                    error = *failed;
                    if (++m_unanswered >= GiveUpAfter)
                        return giveUp();
                    continue;
                }
            }
            std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
            const bool used = m_answeredHere > 0;
            if (request(type, address, count, values)) {
                m_unanswered = 0;
                ++m_answeredHere;
                return values;
            }
            error = describe(errno);
            if (error.kind == DeviceError::Kind::Link && used && !reopened) {
                // A connection that served before was closed meanwhile, as
                // gateways do when idle: the request never got there. Once
                // more on a fresh one, whatever --retries says.
                reopened = true;
                startAfresh(error);
                --attempt;
                continue;
            }
            if (error.kind == DeviceError::Kind::Exception) {
                m_unanswered = 0; // it answered, only not with values
                ++m_answeredHere;
                return error;
            }
            // No answer, or one that is not for this request: whatever is still
            // on its way must not reach the next one.
            startAfresh(error);
            if (error.kind != DeviceError::Kind::Other && ++m_unanswered >= GiveUpAfter)
                return giveUp();
        }
        return error;
    }

private:
    std::string where() const
    {
        if (m_serial)
            return m_serial->device;
        const bool v6 = m_tcp->host.find(':') != std::string::npos;
        return (v6 ? '[' + m_tcp->host + ']' : m_tcp->host) + ':' + std::to_string(m_tcp->port);
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

    std::optional<DeviceError> connect()
    {
        DebugOnStandardError debug(m_connection.verbose);
        errno = 0;
        if (modbus_connect(m_context.get()) != 0) {
            // Windows tells a refused connection from one that never came
            // only by a select() that libmodbus does not ask: it sets no errno.
            if (errno == 0)
                return DeviceError { DeviceError::Kind::Link, 0,
                    "no connection: refused, or no answer in time" };
            DeviceError error = describe(errno);
            if (error.kind == DeviceError::Kind::Other)
                error.kind = DeviceError::Kind::Link;
            return error;
        }
        m_connected = true;
        return std::nullopt;
    }

    // After a timeout or a broken link nothing still on its way may be taken
    // for the next reply: a TCP connection is closed, to be opened afresh
    // before the next request; a serial line, which has no transaction ids,
    // is given the time a late reply takes, then emptied.
    void startAfresh(const DeviceError &error)
    {
        if (m_tcp || error.kind == DeviceError::Kind::Link) {
            modbus_close(m_context.get());
            m_connected = false;
            m_answeredHere = 0;
            return;
        }
        if (error.kind == DeviceError::Kind::Timeout)
            std::this_thread::sleep_for(std::chrono::duration<double>(m_connection.timeout));
        modbus_flush(m_context.get());
    }

    // One request; false with errno set when it failed.
    bool request(RegisterType type, int address, int count, std::vector<std::uint16_t> &values)
    {
        DebugOnStandardError debug(m_connection.verbose);
        modbus_t *context = m_context.get();
        int got = -1;
        switch (type) {
        case RegisterType::HoldingRegister:
            got = modbus_read_registers(context, address, count, values.data());
            break;
        case RegisterType::InputRegister:
            got = modbus_read_input_registers(context, address, count, values.data());
            break;
        case RegisterType::Coil:
        case RegisterType::DiscreteInput: {
            std::vector<std::uint8_t> bits(static_cast<std::size_t>(count));
            got = type == RegisterType::Coil
                ? modbus_read_bits(context, address, count, bits.data())
                : modbus_read_input_bits(context, address, count, bits.data());
            values.assign(bits.begin(), bits.end());
            break;
        }
        }
        return got == count;
    }

    DeviceError gaveUp() const
    {
        return { DeviceError::Kind::GaveUp, 0,
            "no answer to " + std::to_string(GiveUpAfter) + " requests in a row; giving up" };
    }

    DeviceError giveUp()
    {
        m_gaveUp = true;
        return gaveUp();
    }

    Connection m_connection;
    const TcpEndpoint *m_tcp;
    const SerialLine *m_serial;
    std::unique_ptr<modbus_t, ContextDeleter> m_context;
    bool m_connected = false;
    int m_unanswered = 0; // requests in a row without an answer
    int m_answeredHere = 0; // answers on the connection open now
    bool m_gaveUp = false;
};

} // namespace

std::variant<std::unique_ptr<Device>, std::string> Connect(const Connection &connection)
{
    auto device = std::make_unique<ModbusDevice>(connection);
    if (std::optional<std::string> error = device->open())
        return *error;
    return std::unique_ptr<Device>(std::move(device));
}

bool DeviceAccessAvailable()
{
    return true;
}

} // namespace modbuscalc::cli
