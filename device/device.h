#pragma once

// Talking to a live device: where it is, what can go wrong, and the one
// door that the planner and the verbs go through. Nothing here knows the
// command line or a window; a test can stand in for a device.

#include "core/notation.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace modbuscalc::device {

using modbuscalc::RegisterType;

// An RTU line's parity, as libmodbus names it.
enum class Parity : char { None = 'N', Even = 'E', Odd = 'O' };

// Modbus TCP: a host name or address, and a port.
struct TcpEndpoint {
    std::string host;
    int port = 502;
};

// Modbus RTU: a serial device and its line settings.
struct SerialLine {
    std::string device; // "/dev/ttyUSB0", "COM5"
    int baud = 19200;
    Parity parity = Parity::Even;
    int dataBits = 8;
    int stopBits = 1;
};

using Link = std::variant<TcpEndpoint, SerialLine>;

// Where the device is and how patiently to ask it.
struct Connection {
    Link link;
    int unit = 1;
    double timeout = 1; // seconds, for connecting and for every request
    int retries = 0; // further tries of a read that got no answer
};

// "127.0.0.1:502", "[::1]:5020", "/dev/ttyUSB0": as messages name it.
std::string Where(const Link &link);

// "host", "host:port", "[v6]" or "[v6]:port" (an address with more than one
// colon is all address); nullopt for an empty host or a port outside 1 to
// 65535.
std::optional<TcpEndpoint> EndpointOf(std::string_view text);

// The speeds a serial line is set to on every system we run on; libmodbus
// would quietly put any other at 9600.
inline constexpr std::array<int, 10> SerialSpeeds
    = { 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 };

// Timeouts are exact to the microsecond, from 1 ms to an hour.
inline constexpr double ShortestTimeout = 0.001;
inline constexpr double LongestTimeout = 3600;

// A timeout in whole microseconds, as libmodbus takes it.
std::chrono::microseconds TimeoutOf(double seconds);

// Why the settings cannot be used, in the words of a message, naming what
// was given; nullopt when they can.
std::optional<std::string> ConnectionProblem(const Connection &connection);

// Why an exchange failed.
struct DeviceError {
    enum class Kind {
        Timeout, // no answer in time
        Broken, // the connection or line broke
        Exception, // the device answered with a Modbus exception
        BadReply, // a reply that is not the answer to this request
        Refused, // connecting: nobody listens there
        UnknownHost, // connecting: the name is not known
        Unreachable, // connecting: no route to the host or its network
        NoSuchPort, // connecting: no such serial port, or not ours to open
        GaveUp, // no request is sent any more: the device stopped answering
        Stopped, // asked to stop before the exchange ended
        Other,
    };
    Kind kind = Kind::Other;
    int exception = 0; // the exception code, for Kind::Exception
    std::string text; // as a user reads it: "illegal data address (exception 2)"
    // A write that went out and got no answer of its own: the device may
    // or may not have carried it out.
    bool maybeDone = false;
};

// Exceptions 10 and 11: a gateway saying that nothing answers behind it.
constexpr bool IsGatewayException(int code)
{
    return code == 10 || code == 11;
}

// Whether a write request that went out and failed so may yet have been
// carried out: whatever came back was not a refusal of its own. A server
// failure (4) may have left it half done, and a gateway whose device did
// not answer in time (11) passed it on.
constexpr bool WriteMayHaveBeenDone(const DeviceError &error)
{
    if (error.kind != DeviceError::Kind::Exception)
        return true;
    return error.exception == 4 || error.exception == 11;
}

// Registers as read (bits as 0 and 1), or why there are none.
using ReadResult = std::variant<std::vector<std::uint16_t>, DeviceError>;

// nullopt when written, else why not.
using WriteResult = std::optional<DeviceError>;

// Coils and discrete inputs are bits; the rest 16-bit registers.
constexpr bool IsBits(RegisterType type)
{
    return type == RegisterType::Coil || type == RegisterType::DiscreteInput;
}

// The function that reads the type: 1 coils, 2 discrete inputs, 3 holding
// registers, 4 input registers.
constexpr int ReadFunction(RegisterType type)
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

// The four types as 0 to 3, for a table with a place for each.
constexpr std::size_t TypeIndex(RegisterType type)
{
    switch (type) {
    case RegisterType::Coil:
        return 0;
    case RegisterType::DiscreteInput:
        return 1;
    case RegisterType::InputRegister:
        return 2;
    case RegisterType::HoldingRegister:
        break;
    }
    return 3;
}

// The most registers, or bits, one read request may carry.
inline constexpr int MaxRegistersPerRead = 125;
inline constexpr int MaxBitsPerRead = 2000;
constexpr int MaxPerRead(RegisterType type)
{
    return IsBits(type) ? MaxBitsPerRead : MaxRegistersPerRead;
}

// The most registers, or coils, one write request may carry.
inline constexpr int MaxRegistersPerWrite = 123;
inline constexpr int MaxCoilsPerWrite = 1968;
constexpr int MaxPerWrite(RegisterType type)
{
    return type == RegisterType::Coil ? MaxCoilsPerWrite : MaxRegistersPerWrite;
}

// Only holding registers and coils can be written.
constexpr bool IsWritable(RegisterType type)
{
    return type == RegisterType::HoldingRegister || type == RegisterType::Coil;
}

class Device {
public:
    virtual ~Device() = default;

    // Reads count consecutive values of type from a 0-based (PDU) address:
    // 16-bit registers, or bits as 0 and 1; exactly count of them, or an
    // error. Safe to ask again: a read changes nothing on the device.
    virtual ReadResult read(RegisterType type, int address, int count) = 0;

    // The most one read of the type may ask for here.
    virtual int maxPerRead(RegisterType type) const { return MaxPerRead(type); }

    // Writes values (coils as 0 and 1) to a holding register or coil
    // address on: with multiple, in one request of function 16 (or 15 for
    // coils), else one value with function 6 (or 5). At most once: a write
    // whose answer never came is not sent again unless the session was
    // told to retry, and its error says maybeDone.
    virtual WriteResult write(
        RegisterType type, int address, std::span<const std::uint16_t> values, bool multiple)
        = 0;
};

} // namespace modbuscalc::device
