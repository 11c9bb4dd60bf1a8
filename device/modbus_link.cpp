#include "device/modbus_link.h"

#include "core/text.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace modbuscalc::device {

std::string LowerFirst(std::string text)
{
    if (!text.empty())
        text[0] = AsciiLower(text[0]);
    return text;
}

// libmodbus's errors after a request, as a user reads them.
DeviceError Describe(int error)
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
            "connection lost (" + LowerFirst(std::strerror(error)) + ')' };
    default:
        return { DeviceError::Kind::Other, 0, LowerFirst(modbus_strerror(error)) };
    }
}

DeviceError StoppedError()
{
    return { DeviceError::Kind::Stopped, 0, "stopped" };
}

std::string HexBytes(std::initializer_list<int> bytes)
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

std::string Plural(int count, const char *one, const char *many)
{
    return std::to_string(count) + ' ' + (count == 1 ? one : many);
}

ModbusLink::ModbusLink(const Connection &connection, Stop &stop, Trace trace)
    : m_connection(connection)
    , m_stop(stop)
    , m_trace(std::move(trace))
{
#ifdef _WIN32
    WSADATA data;
    m_winsock = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
#endif
}

ModbusLink::~ModbusLink()
{
#ifdef _WIN32
    if (m_winsock)
        ::WSACleanup();
#endif
}

std::optional<DeviceError> ModbusLink::open()
{
    close();
    if (m_stop.requested())
        return StoppedError();
    std::optional<DeviceError> error = connect();
    if (error) {
        error->text = "no connection: " + error->text;
        trace("no connection to " + Where(m_connection.link) + ": " + error->text);
        close();
        return error;
    }
    m_open = true;
    return std::nullopt;
}

void ModbusLink::close()
{
    m_open = false;
    if (!m_context)
        return;
    disconnecting();
    modbus_close(m_context.get());
    m_context.reset();
    m_socket = -1;
}

void ModbusLink::setUnit(int unit)
{
    m_connection.unit = unit;
    if (m_context)
        modbus_set_slave(m_context.get(), unit);
}

void ModbusLink::trace(const std::string &line) const
{
    if (m_trace)
        m_trace(line);
}

bool ModbusLink::setTimeout(double seconds)
{
    const auto us = TimeoutOf(seconds).count();
    const auto whole = static_cast<std::uint32_t>(us / 1000000);
    const auto part = static_cast<std::uint32_t>(us % 1000000);
    return modbus_set_response_timeout(m_context.get(), whole, part) == 0
        && modbus_set_byte_timeout(m_context.get(), whole, part) == 0;
}

bool ModbusLink::newContext(modbus_t *raw)
{
    if (!raw)
        return false;
    m_context.reset(raw);
    return setTimeout(m_connection.timeout) && modbus_set_slave(raw, m_connection.unit) == 0;
}

ModbusLink::Call ModbusLink::call(const std::function<int(modbus_t *)> &request)
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

ReadResult ModbusLink::exchange(RegisterType type, int address, int count)
{
    trace("> "
        + HexBytes({ m_connection.unit, ReadFunction(type), address >> 8, address & 0xFF,
            count >> 8, count & 0xFF }));
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
    std::vector<std::uint8_t> bits;
    if (IsBits(type))
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
        return StoppedError();
    if (done.got == count) {
        if (IsBits(type))
            values.assign(bits.begin(), bits.end());
        trace("< "
            + Plural(
                count, IsBits(type) ? "bit" : "register", IsBits(type) ? "bits" : "registers"));
        return values;
    }
    DeviceError failed = done.got < 0
        ? describeFailure(done.error)
        : DeviceError { DeviceError::Kind::BadReply, 0, "a reply that does not match the request" };
    trace("< " + failed.text);
    if (failed.kind == DeviceError::Kind::Broken)
        close();
    return failed;
}

ModbusLink::Written ModbusLink::sendWrite(
    RegisterType type, int address, std::span<const std::uint16_t> values, bool multiple)
{
    const bool coils = type == RegisterType::Coil;
    const int count = static_cast<int>(values.size());
    Written written;
    written.function = coils ? (multiple ? 15 : 5) : (multiple ? 16 : 6);
    traceWrite(written.function, address, values);
    const std::vector<std::uint8_t> bits(values.begin(), values.end());
    written.call = call([&](modbus_t *context) {
        if (coils)
            return multiple ? modbus_write_bits(context, address, count, bits.data())
                            : modbus_write_bit(context, address, values[0] != 0);
        return multiple ? modbus_write_registers(context, address, count, values.data())
                        : modbus_write_register(context, address, values[0]);
    });
    const Call &done = written.call;
    if (done.stopped) {
        written.error = DeviceError { DeviceError::Kind::Stopped, 0, "stopped", done.sent };
        return written;
    }
    if (done.got >= 0) {
        trace("< written");
        return written;
    }
    DeviceError failed = describeFailure(done.error);
    if (failed.kind == DeviceError::Kind::Exception && failed.exception == 5) {
        // Acknowledge: taken, and still being carried out.
        trace("< accepted (acknowledge)");
        return written;
    }
    failed.maybeDone = WriteMayHaveBeenDone(failed);
    trace("< " + failed.text);
    if (failed.kind == DeviceError::Kind::Broken)
        close();
    written.error = std::move(failed);
    return written;
}

void ModbusLink::traceWrite(int function, int address, std::span<const std::uint16_t> values) const
{
    if (!m_trace)
        return;
    const int count = static_cast<int>(values.size());
    std::string line
        = "> " + HexBytes({ m_connection.unit, function, address >> 8, address & 0xFF });
    if (function == 5 || function == 6) {
        const int value = function == 5 ? (values[0] ? 0xFF00 : 0) : values[0];
        m_trace(line + ' ' + HexBytes({ value >> 8, value & 0xFF }));
        return;
    }
    line += ' ' + HexBytes({ count >> 8, count & 0xFF });
    for (const std::uint16_t value : values)
        line += ' '
            + (function == 15 ? HexBytes({ value }) : HexBytes({ value >> 8, value & 0xFF }));
    m_trace(line);
}

void ModbusLink::watch()
{
    m_stop.watch(m_socket);
#ifdef _WIN32
    // A serial line's wait is a synchronous read: a stop cancels it.
    if (serial()) {
        m_thread = ::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId());
        m_stop.watchThread(m_thread);
    }
#endif
}

void ModbusLink::unwatch()
{
    m_stop.watch(-1);
#ifdef _WIN32
    m_stop.watchThread(nullptr);
    if (m_thread)
        ::CloseHandle(m_thread);
    m_thread = nullptr;
#endif
}

std::unique_ptr<Transport> MakeTransport(const Connection &connection, Stop &stop, Trace trace)
{
    if (std::holds_alternative<SerialLine>(connection.link))
        return MakeRtuTransport(connection, stop, std::move(trace));
    return MakeTcpTransport(connection, stop, std::move(trace));
}

bool DeviceAccessAvailable()
{
    return true;
}

} // namespace modbuscalc::device
