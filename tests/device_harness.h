#pragma once

// What the tests of device verbs share: free ports on this machine,
// services started for a test (pymodbus's server, our fault proxy, socat),
// a fixture with pymodbus's TCP server and the proxy, modbuscalc run in the
// background, and the maps they read. Everything talks to 127.0.0.1 or a
// pseudo-terminal only.

#include "modbuscalc_harness.h"
#include "services.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace modbuscalc_test {

// A device verb against pymodbus's TCP server, which we did not write:
// holding register a holds a; input register a holds 65535 - a up to 999;
// coil a is on for multiples of 3, discrete input a for odd a. The server
// starts for each test, and the fault proxy where a test asks for it.
class DeviceTest : public ModbuscalcTest {
protected:
    // The verb the arguments begin with.
    virtual const char *verb() const = 0;

protected:
    // The server's first argument, from the tests' folder.
    virtual const char *server() const { return "modbus_server.py"; }
    virtual std::vector<std::string> serverOptions() const { return {}; }

    void SetUp() override
    {
        ModbuscalcTest::SetUp();
        const LocalPort free(false);
        m_port = free.port();
        std::vector<std::string> options = serverOptions();
        options.push_back(std::to_string(m_port));
        m_server.emplace(Service::python(server(), options), [this] { return accepts(m_port); });
        if (!m_server->up())
            GTEST_SKIP() << "the test server did not start (python3-pymodbus missing?)";
        m_host = "127.0.0.1:" + std::to_string(m_port);
    }
    void TearDown() override
    {
        m_proxy.reset();
        m_server.reset();
        ModbuscalcTest::TearDown();
    }
    std::vector<std::string> args(std::vector<std::string> more) const
    {
        more.insert(more.begin(), { verb(), "--host", m_host });
        return more;
    }

    // Puts the fault proxy with these faults between modbuscalc and the
    // server; requests() then counts what reached it.
    void withFaults(std::vector<std::string> faults, int port = 0)
    {
        if (port == 0)
            port = LocalPort(false).port();
        faults.insert(faults.begin(),
            { std::to_string(port), std::to_string(m_port),
                "count=" + (m_dir / "requests").string(), "log=" + (m_dir / "log").string() });
        m_proxy.emplace(
            Service::python("fault_proxy.py", faults), [port] { return accepts(port); });
        ASSERT_TRUE(m_proxy->up());
        m_host = "127.0.0.1:" + std::to_string(port);
    }
    // What reached the proxy so far: requests, and connections that carried
    // one.
    int requests() const { return counted(0); }
    int connections() const { return counted(1); }
    // Each request that reached the proxy: "16 2305 2", function, address
    // and count.
    std::vector<std::string> logged() const
    {
        std::vector<std::string> lines;
        std::istringstream in(readFile(m_dir / "log"));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    int counted(int which) const
    {
        std::istringstream in(readFile(m_dir / "requests"));
        int numbers[2] = {};
        in >> numbers[0] >> numbers[1];
        return numbers[which];
    }

    int m_port = 0;
    std::string m_host;
    std::optional<Service> m_server, m_proxy;
};

// The cell of a PDU address, as a map line writes it: "3,0,17".
inline std::string cellOf(int address)
{
    return std::to_string(address / 2048) + ',' + std::to_string(address / 256 % 8) + ','
        + std::to_string(address % 256);
}

// A map of cells far enough apart that each is a request of its own: the
// cells of rows 0, 8, 16, ... of table 0, column 0 on.
inline std::string sparseMap(int lines)
{
    std::string map;
    for (int i = 0; i < lines; ++i)
        map += cellOf(i * 8) + '\n';
    return map;
}

// The same map with each line's address and value (register a holds a),
// or Error for the value: on the failing line, or on all lines.
inline std::string sparseMapRead(int lines, int failing = -1, bool allFail = false)
{
    std::string map;
    for (int i = 0; i < lines; ++i) {
        const std::string address = std::to_string(i * 8);
        map += cellOf(i * 8) + ',' + address + ','
            + (allFail || i == failing ? std::string("Error") : address) + '\n';
    }
    return map;
}

inline int countOf(const std::string &text, const std::string &part)
{
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// modbuscalc started in the background as a shell starts it: standard
// input from a file (or a FIFO), output to files.
class Background {
public:
    Background(const std::vector<std::string> &args, const fs::path &in, const fs::path &out,
        const fs::path &err = "/dev/null")
        : m_out(out)
    {
        // Emptied here as well as in the child: someOutput must not take an
        // earlier run's lines in a file of the same name for this one's.
        std::ofstream(out, std::ios::binary | std::ios::trunc);
        m_pid = ::fork();
        if (m_pid == 0) {
            const int input = ::open(in.c_str(), O_RDONLY);
            const int output = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int error = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(input, 0);
            ::dup2(output, 1);
            ::dup2(error, 2);
            std::vector<char *> argv { const_cast<char *>("modbuscalc") };
            for (const std::string &arg : args)
                argv.push_back(const_cast<char *>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(MODBUSCALC_PROGRAM, argv.data());
            ::_exit(127);
        }
    }
    ~Background()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    // Waits until the output holds that many whole lines, at most 20 s.
    bool someOutput(int lines = 1) const
    {
        const auto until = Clock::now() + std::chrono::seconds(20);
        while (countOf(readFile(m_out), "\n") < lines) {
            if (Clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    void signal(int number) const { ::kill(m_pid, number); }
    // Waits until it waits in a read of its standard input, as Linux tells
    // in /proc (system call 0, descriptor 0), at most 20 s.
    bool readingStandardInput() const
    {
        const fs::path syscall = "/proc/" + std::to_string(m_pid) + "/syscall";
        const auto until = Clock::now() + std::chrono::seconds(20);
        while (!readFile(syscall).starts_with("0 0x0 ")) {
            if (Clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    // The status waitpid gives once it ends, or nullopt if it has not
    // ended within seconds.
    std::optional<int> end(double seconds)
    {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        do {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (Clock::now() < until);
        return std::nullopt;
    }

private:
    pid_t m_pid = -1;
    fs::path m_out;
};

// Our own RTU device on a pseudo-terminal pair (tests/rtu_responder.py),
// for replies at a time of the test's choosing: unit 7, holding register a
// holds a.
class ResponderTest : public ModbuscalcTest {
protected:
    void SetUp() override
    {
        ModbuscalcTest::SetUp();
        m_line.emplace(m_dir);
        if (!m_line->up())
            GTEST_SKIP() << "socat did not start (not installed?)";
        m_ours = m_line->ours();
        m_theirs = m_line->theirs();
    }
    void TearDown() override
    {
        m_device.reset();
        m_line.reset();
        ModbuscalcTest::TearDown();
    }
    // Starts the device with these options; ready once it counts requests.
    void respond(std::vector<std::string> options)
    {
        options.insert(options.begin(), { m_theirs, "7", "count=" + (m_dir / "count").string() });
        m_device.emplace(Service::python("rtu_responder.py", options),
            [this] { return fs::exists(m_dir / "count"); });
        ASSERT_TRUE(m_device->up());
    }
    std::vector<std::string> args(std::vector<std::string> more) const
    {
        more.insert(more.begin(), { "read", "--serial", m_ours, "--parity", "N", "--unit", "7" });
        return more;
    }

    std::string m_ours, m_theirs;
    std::optional<SerialPair> m_line;
    std::optional<Service> m_device;
};

// pymodbus's RTU server at the far end of a pseudo-terminal pair, for the
// units a test names (7 unless it says otherwise), silent for the rest;
// ready once the first of them answers.
class SerialServerTest : public ModbuscalcTest {
protected:
    virtual const char *units() const { return "7"; }

    void SetUp() override
    {
        ModbuscalcTest::SetUp();
        m_line.emplace(m_dir);
        if (!m_line->up())
            GTEST_SKIP() << "socat did not start (not installed?)";
        m_ours = m_line->ours();
        const std::string first = std::string(units()).substr(0, std::string(units()).find(','));
        m_server.emplace(
            Service::python("modbus_server.py", { "--serial", m_line->theirs(), units() }), [&] {
                return run({ "read", "--serial", m_ours, "--parity", "N", "--unit", first,
                               "--timeout", "0.3", "0", "0", "1" })
                           .status
                    == 0;
            });
        if (!m_server->up())
            GTEST_SKIP() << "pymodbus's serial server did not start (python3-serial missing?)";
    }
    void TearDown() override
    {
        m_server.reset();
        m_line.reset();
        ModbuscalcTest::TearDown();
    }

    std::string m_ours;
    std::optional<SerialPair> m_line;
    std::optional<Service> m_server;
};

} // namespace modbuscalc_test
