#pragma once

// One exchange at a time with a device, and exactly that: a reply is taken
// only for the request it answers. Connecting, reading, draining, closing;
// no retries and no giving up, which are the session's.

#include "device/device.h"
#include "device/stop.h"

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace modbuscalc::device {

// Where a transport tells what goes over the wire, a line at a time, for
// --verbose: "> 07 03 09 01 00 01" as sent (the unit and the request),
// "< 1 register" as answered.
using Trace = std::function<void(std::string_view line)>;

class Transport {
public:
    virtual ~Transport() = default;

    // Connects: nullopt, or why not (Refused, UnknownHost, Unreachable,
    // Timeout, NoSuchPort, Stopped, Link). A serial line is emptied of
    // whatever waited on it.
    virtual std::optional<DeviceError> open() = 0;
    virtual bool isOpen() const = 0;
    // Drops the connection; the next open() makes a fresh one.
    virtual void close() = 0;

    // One read request: exactly count values, or an error. After a timeout
    // on a serial line, whose replies carry no transaction id, a reply that
    // comes later, at whatever time, is never taken for another request's:
    // the later requests are asked so that it cannot match them.
    virtual ReadResult read(RegisterType type, int address, int count) = 0;

    // One write request (see Device::write). A TCP connection the device
    // has closed is told before anything is sent: Broken, not maybeDone.
    virtual WriteResult write(
        RegisterType type, int address, std::span<const std::uint16_t> values, bool multiple)
        = 0;

    // The most a read of the type may ask for on this link.
    virtual int maxPerRead(RegisterType type) const = 0;

    // True for a serial line (no transaction ids, no connection to renew).
    virtual bool serial() const = 0;

    // The unit the requests from now on go to.
    virtual void setUnit(int unit) = 0;
};

// A transport through libmodbus for the connection's link and unit. stop
// ends its waits; trace, if set, is told each request and answer.
std::unique_ptr<Transport> MakeTransport(
    const Connection &connection, Stop &stop, Trace trace = {});

// False in a build without device access: there, every open() fails.
bool DeviceAccessAvailable();

} // namespace modbuscalc::device
