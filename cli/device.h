#pragma once

// The one door to a live device. It reads registers and bits; the
// conversion code never sees the protocol library behind it, and a test can
// stand in for a device.

#include "core/notation.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace modbuscalc::cli {

// Where the device is: a host for Modbus TCP, or a serial line for RTU.
struct Connection {
    std::string host; // empty: serial
    int port = 502;
    std::string serial; // the serial device, "/dev/ttyUSB0"
    int baud = 19200;
    char parity = 'E';
    int dataBits = 8;
    int stopBits = 1;
    int unit = 1;
    double timeout = 1; // seconds, for every request
    int retries = 0; // further tries of a request that failed
    bool verbose = false; // each request on stderr, as sent
};

class Device {
public:
    virtual ~Device() = default;

    // Reads count consecutive values of type from a 0-based (PDU) address:
    // 16-bit registers, or bits as 0 and 1. Returns what went wrong, as a
    // user reads it ("illegal data address (exception 2)", "timeout"), or
    // an empty string when values holds them all.
    virtual std::string read(
        RegisterType type, int address, int count, std::vector<std::uint16_t> &values)
        = 0;
};

// Connects as connection says; nullptr, with error set, when that fails.
std::unique_ptr<Device> Connect(const Connection &connection, std::string &error);

// False in a build without device access: there, Connect always fails.
bool DeviceAccessAvailable();

} // namespace modbuscalc::cli
