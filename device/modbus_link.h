#pragma once

// What the TCP and the RTU transports share: a libmodbus context, its
// timeouts, one call into it at a time with its wait open to a stop, a
// read request and a write request as libmodbus sends them, libmodbus's
// errors in a user's words, and --verbose's trace. Internal to the device
// library.

#include "device/transport.h"

#include <modbus.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace modbuscalc::device {

std::string LowerFirst(std::string text);
// libmodbus's error after a request (errno), as a user reads it.
DeviceError Describe(int error);
DeviceError StoppedError();
// The hex of bytes, "07 03 09 01 00 01".
std::string HexBytes(std::initializer_list<int> bytes);
std::string Plural(int count, const char *one, const char *many);

class ModbusLink : public Transport {
public:
    ModbusLink(const Connection &connection, Stop &stop, Trace trace);
    ~ModbusLink() override;
    ModbusLink(const ModbusLink &) = delete;
    ModbusLink &operator=(const ModbusLink &) = delete;

    std::optional<DeviceError> open() final;
    bool isOpen() const final { return m_open; }
    void close() final;
    void setUnit(int unit) final;

protected:
    // Connects the link: nullopt, or why not (without "no connection: ").
    virtual std::optional<DeviceError> connect() = 0;
    // Before libmodbus closes the context.
    virtual void disconnecting() { }
    // libmodbus's error after a request; a link may know better.
    virtual DeviceError describeFailure(int error) const { return Describe(error); }

    void trace(const std::string &line) const;
    // libmodbus's two timeouts, exact to the microsecond; false where it
    // refused them, which would leave its own defaults in force.
    bool setTimeout(double seconds);
    // Takes a new context with the connection's timeout and unit; false
    // when there is none or it refused them.
    bool newContext(modbus_t *raw);

    // What one call into libmodbus came to.
    struct Call {
        bool sent = false; // the request was handed to libmodbus
        bool stopped = false; // a stop cut the wait short
        int got = -1; // what the call returned
        int error = 0; // errno after it
    };
    // One call into libmodbus, with its wait open to a stop; a stopped call
    // closes the connection, for nothing of it can be trusted.
    Call call(const std::function<int(modbus_t *)> &request);

    // One read request as libmodbus sends it.
    ReadResult exchange(RegisterType type, int address, int count);

    // One write request as libmodbus sends it: nullopt when written (or
    // accepted with exception 5, acknowledge), else why not, maybeDone
    // where whatever came back was no refusal of its own. The call tells
    // whether it went out.
    struct Written {
        Call call;
        int function;
        std::optional<DeviceError> error;
    };
    Written sendWrite(
        RegisterType type, int address, std::span<const std::uint16_t> values, bool multiple);

    Connection m_connection;
    Stop &m_stop;
    std::unique_ptr<modbus_t, void (*)(modbus_t *)> m_context { nullptr, modbus_free };
    std::intptr_t m_socket = -1; // what a stop shuts down

private:
    void traceWrite(int function, int address, std::span<const std::uint16_t> values) const;
    void watch();
    void unwatch();

    Trace m_trace;
    bool m_open = false;
#ifdef _WIN32
    bool m_winsock = false;
    HANDLE m_thread = nullptr;
#endif
};

// The two links: Modbus TCP, and RTU on a serial line.
std::unique_ptr<Transport> MakeTcpTransport(const Connection &connection, Stop &stop, Trace trace);
std::unique_ptr<Transport> MakeRtuTransport(const Connection &connection, Stop &stop, Trace trace);

} // namespace modbuscalc::device
