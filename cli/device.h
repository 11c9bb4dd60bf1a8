#pragma once

// The one door to a live device. It reads registers and bits; the
// conversion code never sees the protocol library behind it, and a test can
// stand in for a device.

#include "cli/names.h"
#include "core/notation.h"

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace modbuscalc::cli {

// Modbus TCP: a host name or address, and a port.
struct TcpEndpoint {
    std::string host;
    int port = 502;
};

// Modbus RTU: a serial device and its line settings.
struct SerialLine {
    std::string device; // "/dev/ttyUSB0"
    int baud = 19200;
    Parity parity = Parity::Even;
    int dataBits = 8;
    int stopBits = 1;
};

// Where the device is, and how patiently to ask it.
struct Connection {
    std::variant<TcpEndpoint, SerialLine> link;
    int unit = 1;
    double timeout = 1; // seconds, for every request
    int retries = 0; // further tries of a request that failed
    bool verbose = false; // each request on stderr, as sent
};

// Why a read failed.
struct DeviceError {
    enum class Kind {
        Timeout, // no answer in time
        Link, // the connection or line failed
        Exception, // the device answered with a Modbus exception
        Other, // a reply that makes no sense, or anything else
        GaveUp, // the device stopped answering: no request is sent any more
    };
    Kind kind = Kind::Other;
    int exception = 0; // the exception code, for Kind::Exception
    std::string text; // as a user reads it: "illegal data address (exception 2)"
};

// The values read, or why there are none.
using ReadResult = std::variant<std::vector<std::uint16_t>, DeviceError>;

class Device {
public:
    virtual ~Device() = default;

    // Reads count consecutive values of type from a 0-based (PDU) address:
    // 16-bit registers, or bits as 0 and 1; all count of them, or an error.
    virtual ReadResult read(RegisterType type, int address, int count) = 0;
};

// Connects as connection says: the device, or what went wrong ("where:
// why"), to be shown as it stands.
std::variant<std::unique_ptr<Device>, std::string> Connect(const Connection &connection);

// False in a build without device access: there, Connect always fails.
bool DeviceAccessAvailable();

} // namespace modbuscalc::cli
