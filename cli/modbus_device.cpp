// The device, through libmodbus.

#include "cli/device.h"

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

std::string_view typeName(RegisterType type)
{
    switch (type) {
    case RegisterType::Coil:
        return "coils";
    case RegisterType::DiscreteInput:
        return "discrete inputs";
    case RegisterType::InputRegister:
        return "input registers";
    case RegisterType::HoldingRegister:
        break;
    }
    return "holding registers";
}

// libmodbus's errors as a user reads them; exceptions with their number.
std::string describe(int error)
{
    if (error == ETIMEDOUT)
        return "timeout";
    if (error > MODBUS_ENOBASE && error < MODBUS_ENOBASE + 12) {
        std::string text = modbus_strerror(error);
        for (char &c : text)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return text + " (exception " + std::to_string(error - MODBUS_ENOBASE) + ')';
    }
    return modbus_strerror(error);
}

class ModbusDevice final : public Device {
public:
    ModbusDevice(modbus_t *context, const Connection &connection)
        : m_context(context)
        , m_connection(connection)
    {
    }

    std::string read(
        RegisterType type, int address, int count, std::vector<std::uint16_t> &values) override
    {
        if (m_connection.verbose)
            std::fprintf(stderr, "modbuscalc: request: unit %d, read %d %s from address %d\n",
                m_connection.unit, count, std::string(typeName(type)).c_str(), address);
        values.assign(static_cast<std::size_t>(count), 0);
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(count));
        int error = 0;
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
                return {};
            }
            error = errno;
            // A late answer must not be taken for the next request's.
            modbus_flush(m_context.get());
        }
        return describe(error);
    }

private:
    std::unique_ptr<modbus_t, ContextDeleter> m_context;
    Connection m_connection;
};

} // namespace

std::unique_ptr<Device> Connect(const Connection &connection, std::string &error)
{
    const std::string where = connection.host.empty()
        ? connection.serial
        : connection.host + ':' + std::to_string(connection.port);
    modbus_t *raw = connection.host.empty()
        ? modbus_new_rtu(connection.serial.c_str(), connection.baud, connection.parity,
            connection.dataBits, connection.stopBits)
        : modbus_new_tcp(connection.host.c_str(), connection.port);
    if (!raw) {
        error = where + ": " + modbus_strerror(errno);
        return nullptr;
    }
    std::unique_ptr<modbus_t, ContextDeleter> context(raw);
    const double whole = std::floor(connection.timeout);
    const auto seconds = static_cast<std::uint32_t>(whole);
    const auto microseconds = static_cast<std::uint32_t>((connection.timeout - whole) * 1e6);
    modbus_set_response_timeout(raw, seconds, microseconds);
    modbus_set_byte_timeout(raw, seconds, microseconds);
    if (modbus_set_slave(raw, connection.unit) != 0 || modbus_connect(raw) != 0) {
        error = where + ": " + describe(errno);
        return nullptr;
    }
    return std::make_unique<ModbusDevice>(context.release(), connection);
}

bool DeviceAccessAvailable()
{
    return true;
}

} // namespace modbuscalc::cli
