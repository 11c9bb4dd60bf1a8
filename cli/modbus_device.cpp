// The device, through libmodbus.

#include "cli/device.h"

#include "core/text.h"

#include <modbus.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace modbuscalc::cli {

namespace {

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
        || error == ENOTCONN || error == EBADF || error == EIO;
    return { link ? DeviceError::Kind::Link : DeviceError::Kind::Other, 0, modbus_strerror(error) };
}

class ModbusDevice final : public Device {
public:
    ModbusDevice(modbus_t *context, const Connection &connection)
        : m_context(context)
        , m_connection(connection)
    {
    }

    ReadResult read(RegisterType type, int address, int count) override
    {
        if (m_connection.verbose)
            std::fprintf(stderr, "modbuscalc: request: unit %d, read %d from address %d (%s)\n",
                m_connection.unit, count, address,
                std::string(NameOf(RegisterTypeNames, type)).c_str());
        std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(count));
        DeviceError error;
        for (int attempt = 0; attempt <= m_connection.retries; ++attempt) {
            int got = -1;
            switch (type) {
            case RegisterType::HoldingRegister:
                got = modbus_read_registers(m_context.get(), address, count, values.data());
                break;
            case RegisterType::InputRegister:
                got = modbus_read_input_registers(m_context.get(), address, count, values.data());
                break;
            case RegisterType::Coil:
                got = modbus_read_bits(m_context.get(), address, count, bits.data());
                break;
            case RegisterType::DiscreteInput:
                got = modbus_read_input_bits(m_context.get(), address, count, bits.data());
                break;
            }
            if (got == count) {
                if (type == RegisterType::Coil || type == RegisterType::DiscreteInput)
                    values.assign(bits.begin(), bits.end());
                return values;
            }
            error = describe(errno);
            // A late answer must not be taken for the next request's.
            modbus_flush(m_context.get());
        }
        return error;
    }

private:
    std::unique_ptr<modbus_t, ContextDeleter> m_context;
    Connection m_connection;
};

} // namespace

std::variant<std::unique_ptr<Device>, std::string> Connect(const Connection &connection)
{
    const auto *tcp = std::get_if<TcpEndpoint>(&connection.link);
    const auto *serial = std::get_if<SerialLine>(&connection.link);
    const std::string where = tcp ? tcp->host + ':' + std::to_string(tcp->port) : serial->device;
    modbus_t *raw = tcp ? modbus_new_tcp(tcp->host.c_str(), tcp->port)
                        : modbus_new_rtu(serial->device.c_str(), serial->baud,
                            static_cast<char>(serial->parity), serial->dataBits, serial->stopBits);
    if (!raw)
        return where + ": " + modbus_strerror(errno);
    std::unique_ptr<modbus_t, ContextDeleter> context(raw);
    const double whole = std::floor(connection.timeout);
    const auto seconds = static_cast<std::uint32_t>(whole);
    const auto microseconds = static_cast<std::uint32_t>((connection.timeout - whole) * 1e6);
    modbus_set_response_timeout(raw, seconds, microseconds);
    modbus_set_byte_timeout(raw, seconds, microseconds);
    if (modbus_set_slave(raw, connection.unit) != 0 || modbus_connect(raw) != 0)
        return where + ": " + describe(errno).text;
    return std::unique_ptr<Device>(std::make_unique<ModbusDevice>(context.release(), connection));
}

bool DeviceAccessAvailable()
{
    return true;
}

} // namespace modbuscalc::cli
