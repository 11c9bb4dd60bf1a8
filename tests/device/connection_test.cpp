// The settings of a connection, checked before anything is opened: hosts
// with and without ports, serial line settings, timeouts and units.

#include "device/device.h"

#include <gtest/gtest.h>

#include <string>

namespace modbuscalc::device {
namespace {

TEST(Connection, HostsByNameAndAddress)
{
    struct Case {
        std::string given;
        std::string host;
        int port;
    };
    const Case cases[] = {
        { "192.0.2.10", "192.0.2.10", 502 }, { "192.0.2.10:5020", "192.0.2.10", 5020 },
        { "localhost:502", "localhost", 502 }, { "plc-7.example", "plc-7.example", 502 },
        { "[::1]:5020", "::1", 5020 }, { "[::1]", "::1", 502 }, { "::1", "::1", 502 },
        { "h:1", "h", 1 }, { "h:65535", "h", 65535 },
        { "fe80::1:2", "fe80::1:2", 502 }, // more than one colon: all of it is the address
    };
    for (const Case &c : cases) {
        const std::optional<TcpEndpoint> endpoint = EndpointOf(c.given);
        ASSERT_TRUE(endpoint) << c.given;
        EXPECT_EQ(endpoint->host, c.host) << c.given;
        EXPECT_EQ(endpoint->port, c.port) << c.given;
    }
    for (const char *bad : { "", "h:", "h:0", "h:65536", "h:5x", "[::1]5020", "[]:1", "[::1" })
        EXPECT_FALSE(EndpointOf(bad)) << bad;
}

TEST(Connection, SettingsLibmodbusWouldQuietlyChangeAreRefused)
{
    const SerialLine line { "/dev/ttyUSB0", 19200, Parity::Even, 8, 1 };
    const auto serial = [&](auto change) {
        Connection connection { line };
        change(std::get<SerialLine>(connection.link), connection);
        return ConnectionProblem(connection).value_or("");
    };
    struct Case {
        const char *what;
        std::string problem;
        std::string expected; // a part of it; empty: no problem
    };
    const Case cases[] = {
        { "as given", serial([](SerialLine &, Connection &) {}), "" },
        { "9600", serial([](SerialLine &l, Connection &) { l.baud = 9600; }), "" },
        { "12345 baud", serial([](SerialLine &l, Connection &) { l.baud = 12345; }),
            "no serial speed 12345; speeds: 300, 600," },
        { "5 data bits", serial([](SerialLine &l, Connection &) { l.dataBits = 5; }), "" },
        { "9 data bits", serial([](SerialLine &l, Connection &) { l.dataBits = 9; }),
            "no 9 data bits; 5 to 8" },
        { "4 data bits", serial([](SerialLine &l, Connection &) { l.dataBits = 4; }),
            "no 4 data bits" },
        { "2 stop bits", serial([](SerialLine &l, Connection &) { l.stopBits = 2; }), "" },
        { "3 stop bits", serial([](SerialLine &l, Connection &) { l.stopBits = 3; }),
            "no 3 stop bits; 1 or 2" },
        { "no port", serial([](SerialLine &l, Connection &) { l.device.clear(); }),
            "give the serial port" },
        { "1 ms", serial([](SerialLine &, Connection &c) { c.timeout = 0.001; }), "" },
        { "0.1 us", serial([](SerialLine &, Connection &c) { c.timeout = 0.0000001; }),
            "the timeout runs from 0.001" },
        { "an hour and more", serial([](SerialLine &, Connection &c) { c.timeout = 3601; }),
            "the timeout runs from" },
        { "unit 0", serial([](SerialLine &, Connection &c) { c.unit = 0; }), "unit 0 is every" },
        { "unit 248", serial([](SerialLine &, Connection &c) { c.unit = 248; }),
            "invalid unit 248: 0 to 247 on a serial line" },
    };
    for (const Case &c : cases) {
        if (c.expected.empty())
            EXPECT_EQ(c.problem, "") << c.what;
        else
            EXPECT_NE(c.problem.find(c.expected), std::string::npos) << c.what << ": " << c.problem;
    }
    Connection tcp { TcpEndpoint { "plc.example", 0 } };
    EXPECT_EQ(ConnectionProblem(tcp), "no port 0; 1 to 65535");
    tcp.link = TcpEndpoint { "", 502 };
    EXPECT_EQ(ConnectionProblem(tcp), "give the device's host");
}

TEST(Connection, TimeoutsAreExactToTheMicrosecond)
{
    // 0.9999996 s is a whole second, not 1,000,000 microseconds past it.
    for (const auto &[seconds, micro] : { std::pair { 0.9999996, 1000000LL },
             std::pair { 0.001, 1000LL }, std::pair { 0.2, 200000LL },
             std::pair { 1.0000004, 1000000LL }, std::pair { 3600.0, 3600000000LL } })
        EXPECT_EQ(TimeoutOf(seconds).count(), micro) << seconds;
}

} // namespace
} // namespace modbuscalc::device
