// modbuscalc read against real servers: pymodbus's, over TCP and over a
// pseudo-terminal pair as RTU, with the faults of a plant network brought
// in by a proxy of ours (tests/fault_proxy.py); and devices out of reach.
// Every test talks to 127.0.0.1 or a pseudo-terminal only.
//   Values, formats and maps; a stale reply; a late reply; a connection
//   closed by the device; a device that never answers; a device that takes
//   fewer registers a request; holes; many cells in few requests; RTU.

#include "modbuscalc_harness.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace modbuscalc_test;
using Clock = std::chrono::steady_clock;

// A free TCP port on this machine, or a socket that accepts connections and
// never answers them.
class LocalPort {
public:
    explicit LocalPort(bool listen)
    {
        m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), size);
        ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &size);
        m_port = ntohs(address.sin_port);
        if (listen)
            ::listen(m_socket, 8);
        else
            close();
    }
    ~LocalPort() { close(); }
    LocalPort(const LocalPort &) = delete;
    LocalPort &operator=(const LocalPort &) = delete;
    std::string host() const { return "127.0.0.1:" + std::to_string(m_port); }
    int port() const { return m_port; }

private:
    void close()
    {
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
    }
    int m_socket = -1;
    int m_port = 0;
};

bool accepts(int port)
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool up = ::connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(probe);
    return up;
}

// A program started for a test and stopped after it: a script of the
// tests' folder under Debian's Python, or another program by its path.
class Service {
public:
    // Ready once ready() says so, within 30 s; never a fixed wait.
    Service(std::vector<std::string> command, const std::function<bool()> &ready)
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setpgid(0, 0);
            std::vector<char *> argv;
            for (std::string &word : command)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < until) {
            if (ready()) {
                m_up = true;
                return;
            }
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Service()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;
    bool up() const { return m_up; }

    static std::vector<std::string> python(const std::string &script, std::vector<std::string> args)
    {
        args.insert(
            args.begin(), { "/usr/bin/python3", std::string(MODBUSCALC_TEST_SERVERS) + script });
        return args;
    }

private:
    pid_t m_pid = -1;
    bool m_up = false;
};

// modbuscalc read against pymodbus's TCP server, which we did not write:
// holding register a holds a; input register a holds 65535 - a up to 999;
// coil a is on for multiples of 3, discrete input a for odd a.
class ReadTest : public ModbuscalcTest {
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
        more.insert(more.begin(), { "read", "--host", m_host });
        return more;
    }

    // Puts the fault proxy with these faults between modbuscalc and the
    // server; requests() then counts what reached it.
    void withFaults(std::vector<std::string> faults)
    {
        const LocalPort free(false);
        const int port = free.port();
        faults.insert(faults.begin(),
            { std::to_string(port), std::to_string(m_port),
                "count=" + (m_dir / "requests").string() });
        m_proxy.emplace(
            Service::python("fault_proxy.py", faults), [port] { return accepts(port); });
        ASSERT_TRUE(m_proxy->up());
        m_host = "127.0.0.1:" + std::to_string(port);
    }
    int requests() const { return std::stoi("0" + readFile(m_dir / "requests")); }

    int m_port = 0;
    std::string m_host;
    std::optional<Service> m_server, m_proxy;
};

// The cell of a PDU address, as a map line writes it: "3,0,17".
std::string cellOf(int address)
{
    return std::to_string(address / 2048) + ',' + std::to_string(address / 256 % 8) + ','
        + std::to_string(address % 256);
}

// A map of cells far enough apart that each is a request of its own: the
// cells of rows 0, 8, 16, ... of table 0, column 0 on.
std::string sparseMap(int lines)
{
    std::string map;
    for (int i = 0; i < lines; ++i)
        map += cellOf(i * 8) + '\n';
    return map;
}

// The same map with each line's address and value (register a holds a),
// or Error for the value: on the failing line, or on all lines.
std::string sparseMapRead(int lines, int failing = -1, bool allFail = false)
{
    std::string map;
    for (int i = 0; i < lines; ++i) {
        const std::string address = std::to_string(i * 8);
        map += cellOf(i * 8) + ',' + address + ','
            + (allFail || i == failing ? std::string("Error") : address) + '\n';
    }
    return map;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(ReadTest, CellsAndMapsFromALiveDevice)
{
    // 0x1234 and 0x1235 hold the 32-bit value 0x12341235 high word first.
    const std::uint32_t pair = 0x12341235, swapped = 0x12351234;
    float asFloat = 0;
    std::memcpy(&asFloat, &pair, sizeof asFloat);
    char floatText[32];
    const std::string f32(floatText, std::to_chars(floatText, floatText + 32, asFloat).ptr);
    expectCases({
        { args({ "1", "1", "1" }), "", "2305 2305\n", 0, "" },
        { args({ "-m", "1", "1", "1" }), "", "2306 2305\n", 0, "" }, // -m: only the address shown
        { args({ "--count", "3", "0", "7", "254" }), "", "2046 2046 2047 2048\n", 0, "" },
        { args({ "--count", "2", "31", "7", "255" }), "", "Error Error Error\n", 1,
            "the read runs past the last cell" },
        { args({ "--format", "s16", "31", "7", "255" }), "", "65535 -1\n", 0, "" },
        { args({ "--format", "hex", "1", "1", "1" }), "", "2305 0x0901\n", 0, "" },
        { args({ "--format", "u32", "2", "2", "52" }), "", "4660 " + std::to_string(pair) + "\n", 0,
            "" },
        { args({ "--format", "u32", "--word-order", "low-first", "2", "2", "52" }), "",
            "4660 " + std::to_string(swapped) + "\n", 0, "" },
        { args({ "--format", "s32", "31", "7", "254" }), "", "65534 -65537\n", 0, "" },
        { args({ "--format", "f32", "2", "2", "52" }), "", "4660 " + f32 + "\n", 0, "" },
        { args({ "--type", "input", "0", "0", "5" }), "", "5 65530\n", 0, "" },
        { args({ "--type", "input", "0", "7", "255" }), "", "2047 Error\n", 1,
            "cell 0 7 255: illegal data address (exception 2)" },
        // Coils and discrete inputs are bits.
        { args({ "--type", "coil", "--count", "4", "0", "0", "2" }), "", "2 0 1 0 0\n", 0, "" },
        { args({ "--type", "discrete", "--count", "3", "0", "0", "2" }), "", "2 0 1 0\n", 0, "" },
        // A map: the address and the value after each line, and the rest
        // read after a bad line or a cell out of range.
        { args({ "--header", "-f", "2-4" }), "tag,t,c,r\nA,1,1,1\nB,32,0,0\nC,x,1,1\nD,0,0,9\n",
            "tag,t,c,r,address,value\nA,1,1,1,2305,2305\nB,32,0,0,Error,Error\n"
            "C,x,1,1,Error,Error\nD,0,0,9,9,9\n",
            1, "<stdin>:3: cell 32 0 0 is out of range" },
    });

    // The same values another client reads.
    for (const int address : { 0, 2305, 65535 }) {
        const std::string command = "mbpoll -m tcp -p " + m_host.substr(m_host.find(':') + 1)
            + " -a 1 -0 -1 -r " + std::to_string(address) + " 127.0.0.1 2>/dev/null";
        std::FILE *pipe = ::popen(command.c_str(), "r");
        ASSERT_TRUE(pipe);
        std::string out;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        ::pclose(pipe);
        const std::size_t at = out.find("[" + std::to_string(address) + "]:");
        if (at == std::string::npos)
            GTEST_SKIP() << "mbpoll is not installed";
        const std::string theirs = out.substr(out.find_first_not_of(" \t", out.find(':', at) + 1));
        const int t = address / 2048, c = address / 256 % 8, r = address % 256;
        const Result ours = run(args({ std::to_string(t), std::to_string(c), std::to_string(r) }));
        EXPECT_EQ(ours.out.substr(ours.out.find(' ') + 1),
            theirs.substr(0, theirs.find_first_of(" \n")) + "\n");
    }
}

// A device that answers a request twice, once for another transaction:
// neither reply may be taken for the next request's.
class StaleReplyTest : public ReadTest {
protected:
    const char *server() const override { return "stale_reply_server.py"; }
};

TEST_F(StaleReplyTest, AFailedRequestLeavesNothingForTheNext)
{
    // Three cells far apart: three requests.
    expectCases({ { args({ "-f", "1-3" }), "0,0,7\n0,1,8\n0,2,9\n",
        "0,0,7,7,Error\n0,1,8,264,264\n0,2,9,521,521\n", 1, "<stdin>:1: cell 0 0 7: " } });
}

TEST_F(StaleReplyTest, ARetryOnAFreshConnectionIsAnswered)
{
    expectCases({ { args({ "-f", "1-3", "--retries", "1" }), "0,0,7\n0,1,8\n",
        "0,0,7,7,7\n0,1,8,264,264\n", 0, "" } });
}

TEST_F(ModbuscalcTest, DevicesOutOfReach)
{
    const LocalPort nobody(false), silent(true);
    expectCases({
        { { "read", "--host", nobody.host(), "1", "1", "1" }, "", "", 2, ": Connection refused" },
        // The address stays: it is what the engineer checks.
        { { "read", "--host", silent.host(), "--timeout", "0.2", "1", "1", "1" }, "",
            "2305 Error\n", 1, "cell 1 1 1: timeout" },
        { { "read", "1", "1", "1" }, "", "", 2, "read needs --host" },
        { { "read", "--host", "127.0.0.1:x", "1", "1", "1" }, "", "", 2, "invalid port" },
    });

    // A fraction of a second is waited for as such, not cut off or rounded up.
    const auto start = std::chrono::steady_clock::now();
    run({ "read", "--host", silent.host(), "--timeout", "1.4", "1", "1", "1" });
    const double waited
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 1.4);
    EXPECT_LT(waited, 1.9);
}

TEST_F(ReadTest, ByAddressInEachNotationAndBothModes)
{
    expectCases({
        { args({ "2305" }), "", "2305 2305\n", 0, "" },
        { args({ "-m", "2306" }), "", "2306 2305\n", 0, "" },
        { args({ "-n", "hex", "0x0901" }), "", "0x0901 2305\n", 0, "" },
        { args({ "-n", "hex", "0901" }), "", "0x0901 2305\n", 0, "" },
        { args({ "-m", "-n", "hex", "0x0902" }), "", "0x0902 2305\n", 0, "" },
        { args({ "-n", "ref", "402306" }), "", "402306 2305\n", 0, "" },
        { args({ "-m", "-n", "ref", "402306" }), "", "402306 2305\n", 0, "" },
        { args({ "-m", "0" }), "", "Error Error\n", 1, "address 0 is out of range" },
        { args({ "-n", "ref", "2306" }), "", "Error Error\n", 1, "'2306' is not a reference" },
        // A map of addresses: one field a line, or chosen with -f.
        { args({ "-f", "2" }), "A,2305\nB,10\n", "A,2305,2305,2305\nB,10,10,10\n", 0, "" },
    });
}

TEST_F(ReadTest, ReferencesReadFromTheTypeTheyName)
{
    // Holding register a holds a; input register a holds 65535 - a; coil a
    // is on for multiples of 3; discrete input a for odd a.
    expectCases({ { args({ "-n", "ref" }), "402306\n300005\n000004\n100004\n30011\n",
        "402306 402306 2305\n300005 300005 65531\n000004 000004 1\n100004 100004 1\n"
        "30011 300011 65525\n",
        0, "" } });
}

TEST_F(ReadTest, EachLineItsOwnFormat)
{
    // 2,2,52 holds 4660 (0x1234), and 2,2,53 holds 4661: 0x12341235 as 32 bits.
    const std::uint32_t pair = 0x12341235;
    float asFloat = 0;
    std::memcpy(&asFloat, &pair, sizeof asFloat);
    char floatText[32];
    const std::string f32(floatText, std::to_chars(floatText, floatText + 32, asFloat).ptr);
    const std::string map = "Tag;Type;T;C;R\n"
                            "A;REAL;2;2;52\nB;real;2;2;52\nC;f32;2;2;52\n"
                            "D;UINT;2;2;52\nE;u16;2;2;52\nF;INT;31;7;255\nG;s16;31;7;255\n"
                            "H;WORD;1;1;1\nI;hex;1;1;1\nJ;UDINT;2;2;52\nK;u32;2;2;52\n"
                            "L;DINT;31;7;254\nM;s32;31;7;254\nN;LREAL;1;1;1\nO;;1;1;1\n";
    const std::string u32 = std::to_string(pair);
    expectCases({ { args({ "--header", "--columns", "t,c,r", "--format-column", "type" }), map,
        "Tag;Type;T;C;R;address;value\n"
        "A;REAL;2;2;52;4660;"
            + f32 + "\nB;real;2;2;52;4660;" + f32 + "\nC;f32;2;2;52;4660;" + f32
            + "\n"
              "D;UINT;2;2;52;4660;4660\nE;u16;2;2;52;4660;4660\nF;INT;31;7;255;65535;-1\n"
              "G;s16;31;7;255;65535;-1\nH;WORD;1;1;1;2305;0x0901\nI;hex;1;1;1;2305;0x0901\n"
              "J;UDINT;2;2;52;4660;"
            + u32 + "\nK;u32;2;2;52;4660;" + u32
            + "\nL;DINT;31;7;254;65534;-65537\nM;s32;31;7;254;65534;-65537\n"
              "N;LREAL;1;1;1;Error;Error\nO;;1;1;1;Error;Error\n",
        1, "<stdin>:15: field 2: unknown format 'LREAL'" } });
    const Result empty = run(args({ "--header", "--columns", "t,c,r", "--format-column", "2" }),
        "Tag;Type;T;C;R\nO;;1;1;1\n");
    EXPECT_NE(empty.err.find("<stdin>:2: field 2: no format"), std::string::npos) << empty.err;
    // The word order still applies; a format column by number.
    expectCases({ { args({ "--format-column", "1", "--word-order", "low-first" }), "udint,2,2,52\n",
        "udint,2,2,52,4660," + std::to_string(0x12351234U) + "\n", 0, "" } });
}

TEST_F(ReadTest, ALateReplyCostsAtMostItsOwnLine)
{
    withFaults({ "late=2:1.5" });
    const Result late = run(args({ "--timeout", "0.5" }), sparseMap(6));
    EXPECT_EQ(late.out, sparseMapRead(6, 1));
    EXPECT_NE(late.err.find("<stdin>:2: cell 0 0 8: timeout"), std::string::npos) << late.err;
    EXPECT_EQ(late.status, 1);
    EXPECT_EQ(requests(), 6);
}

TEST_F(ReadTest, ALateReplyIsAskedAgainOnAFreshConnection)
{
    withFaults({ "late=2:1.5" });
    const Result late = run(args({ "--timeout", "0.5", "--retries", "1" }), sparseMap(6));
    EXPECT_EQ(late.out, sparseMapRead(6));
    EXPECT_EQ(late.err, "");
    EXPECT_EQ(late.status, 0);
    EXPECT_EQ(requests(), 7);
}

TEST_F(ReadTest, AConnectionTheDeviceClosesIsOpenedAgain)
{
    withFaults({ "close=3" });
    const Result closing = run(args({}), sparseMap(10));
    EXPECT_EQ(closing.out, sparseMapRead(10));
    EXPECT_EQ(closing.err, "");
    EXPECT_EQ(closing.status, 0);
    EXPECT_EQ(requests(), 10);
}

TEST_F(ReadTest, ADeviceThatNeverAnswersIsGivenUpOn)
{
    withFaults({ "silent" });
    const auto start = Clock::now();
    const Result silent = run(args({ "--timeout", "0.2" }), sparseMap(200));
    const double took = secondsSince(start);
    // Every line keeps its address, and gets Error for its value.
    EXPECT_EQ(silent.out, sparseMapRead(200, -1, true));
    EXPECT_EQ(silent.status, 2);
    EXPECT_NE(silent.err.find("no answer to 3 requests in a row; giving up"), std::string::npos)
        << silent.err;
    EXPECT_LE(std::count(silent.err.begin(), silent.err.end(), '\n'), 3) << silent.err;
    EXPECT_EQ(requests(), 3);
    EXPECT_LT(took, 5.0); // three timeouts, not two hundred
}

TEST_F(ReadTest, ADeviceThatTakesFewerRegistersARequestIsAskedForLess)
{
    withFaults({ "refuse=10" });
    std::string map, expected;
    for (int row = 0; row < 200; ++row) {
        map += "0,0," + std::to_string(row) + '\n';
        expected += "0,0," + std::to_string(row) + ',' + std::to_string(row) + ','
            + std::to_string(row) + '\n';
    }
    const Result refused = run(args({}), map);
    EXPECT_EQ(refused.out, expected);
    EXPECT_EQ(refused.err, "");
    // 125, 62, 31, 16 and 8 registers once each, refused; then the limit holds.
    EXPECT_LE(requests(), 40);
    // --count beyond one request is split the same way.
    const Result counted = run(args({ "--count", "300", "0", "0", "0" }));
    EXPECT_EQ(counted.status, 0) << counted.err;
    EXPECT_TRUE(counted.out.starts_with("0 0 1 2 3 ")) << counted.out.substr(0, 40);
    EXPECT_TRUE(counted.out.ends_with(" 298 299\n"));
}

TEST_F(ReadTest, AWholeTableInTheFewestRequests)
{
    withFaults({ "rtt=5" });
    std::string map, expected;
    std::vector<int> rows(2048);
    for (int a = 0; a < 2048; ++a)
        rows[static_cast<std::size_t>(a)] = a;
    std::shuffle(rows.begin(), rows.end(), std::mt19937(7));
    for (const int a : rows) {
        const std::string cell = cellOf(a);
        map += cell + '\n';
        expected += cell + ',' + std::to_string(a) + ',' + std::to_string(a) + '\n';
    }
    const Result table = run(args({}), map);
    EXPECT_EQ(table.out, expected); // in the map's own order
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(requests(), 17); // 2,048 registers, 125 a request
}

TEST_F(ReadTest, HostsByNameAndIPv6)
{
    withFaults({});
    const std::string port = m_host.substr(m_host.rfind(':') + 1);
    expectCases(
        { { { "read", "--host", "localhost:" + port, "1", "1", "1" }, "", "2305 2305\n", 0, "" } });
    const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    const bool v6 = ::connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(probe);
    if (!v6)
        GTEST_SKIP() << "no IPv6 on this machine";
    expectCases({
        { { "read", "--host", "[::1]:" + port, "1", "1", "1" }, "", "2305 2305\n", 0, "" },
        { { "read", "--host", "::1", "1", "1", "1" }, "", "", 2, "[::1]:502: Connection refused" },
    });
}

TEST_F(ReadTest, AGapIsSpannedOnlyWhenAllowed)
{
    withFaults({});
    const std::string map = "0,0,0\n0,0,5\n0,0,10\n";
    EXPECT_EQ(run(args({}), map).out, "0,0,0,0,0\n0,0,5,5,5\n0,0,10,10,10\n");
    EXPECT_EQ(requests(), 3);
    EXPECT_EQ(run(args({ "--max-gap", "4" }), map).status, 0);
    EXPECT_EQ(requests(), 4); // one more: all three in one
}

TEST_F(ReadTest, CtrlCStopsAfterTheRequestInProgress)
{
    withFaults({ "rtt=50" });
    const fs::path map = file("map.csv", sparseMap(100)), out = m_dir / "out";
    const pid_t child = ::fork();
    if (child == 0) {
        std::freopen(out.c_str(), "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        const std::string host = m_host;
        ::execl(MODBUSCALC_PROGRAM, "modbuscalc", "read", "--host", host.c_str(), map.c_str(),
            static_cast<char *>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    // Whole lines, each right, in the map's order, and not all of them.
    const std::string written = readFile(out);
    const std::string all = sparseMapRead(100);
    EXPECT_TRUE(all.starts_with(written)) << written;
    EXPECT_TRUE(written.empty() || written.back() == '\n');
    EXPECT_LT(written.size(), all.size());
    EXPECT_LT(requests(), 100);
}

// A device with holes in its holding registers: 100..109 and 500 of 0..999.
class HolesTest : public ReadTest {
protected:
    std::vector<std::string> serverOptions() const override { return { "--holes" }; }
};

TEST_F(HolesTest, ExactlyTheLinesOfTheHolesFail)
{
    for (const bool shuffled : { false, true }) {
        SCOPED_TRACE(shuffled ? "shuffled" : "in address order");
        std::vector<int> rows(1000);
        for (int a = 0; a < 1000; ++a)
            rows[static_cast<std::size_t>(a)] = a;
        if (shuffled)
            std::shuffle(rows.begin(), rows.end(), std::mt19937(3));
        std::string map, expected;
        for (const int a : rows) {
            const std::string cell = cellOf(a);
            map += cell + '\n';
            const bool hole = (a >= 100 && a < 110) || a == 500;
            expected += cell + ',' + std::to_string(a) + ',' + (hole ? "Error" : std::to_string(a))
                + '\n';
        }
        const Result holes = run(args({ "-q" }), map);
        EXPECT_EQ(holes.out, expected);
        EXPECT_EQ(holes.status, 1);
    }
}

// modbuscalc read --serial against pymodbus's RTU server, unit 7, over a
// pseudo-terminal pair; these pseudo-terminals take no parity but N.
class SerialTest : public ModbuscalcTest {
protected:
    void SetUp() override
    {
        ModbuscalcTest::SetUp();
        m_ours = (m_dir / "ours").string();
        const std::string theirs = (m_dir / "theirs").string();
        m_line.emplace(std::vector<std::string> { "/usr/bin/socat", "pty,raw,echo=0,link=" + m_ours,
                           "pty,raw,echo=0,link=" + theirs },
            [&] { return fs::exists(m_ours) && fs::exists(theirs); });
        if (!m_line->up())
            GTEST_SKIP() << "socat did not start (not installed?)";
        m_server.emplace(Service::python("modbus_server.py", { "--serial", theirs, "7" }), [this] {
            return run(args({ "--timeout", "0.3", "0", "0", "1" })).status == 0;
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
    std::vector<std::string> args(std::vector<std::string> more, const char *unit = "7") const
    {
        more.insert(more.begin(), { "read", "--serial", m_ours, "--parity", "N", "--unit", unit });
        return more;
    }

    std::string m_ours;
    std::optional<Service> m_line, m_server;
};

TEST_F(SerialTest, CellsAndMapsOverRtu)
{
    expectCases({
        { args({ "1", "1", "1" }), "", "2305 2305\n", 0, "" },
        { args({ "-m", "--format", "hex", "1", "1", "1" }), "", "2306 0x0901\n", 0, "" },
    });
    std::string map, expected;
    for (int row = 0; row < 300; ++row) {
        map += "3," + std::to_string(row / 256) + ',' + std::to_string(row % 256) + '\n';
        const int address = 3 * 2048 + row;
        expected += "3," + std::to_string(row / 256) + ',' + std::to_string(row % 256) + ','
            + std::to_string(address) + ',' + std::to_string(address) + '\n';
    }
    const Result read = run(args({ "--verbose" }), map);
    EXPECT_EQ(read.out, expected);
    EXPECT_EQ(read.status, 0);
    // Three requests: 125, 125 and 50 registers; each frame shown as sent.
    EXPECT_EQ(std::count(read.err.begin(), read.err.end(), '['), 3 * 8) << read.err;
}

TEST_F(SerialTest, AUnitNobodyAnswersIsGivenUpOn)
{
    const auto start = Clock::now();
    const Result nobody = run(args({ "--timeout", "0.2" }, "9"), sparseMap(50));
    EXPECT_EQ(nobody.status, 2);
    EXPECT_NE(nobody.err.find("no answer to 3 requests in a row; giving up"), std::string::npos)
        << nobody.err;
    EXPECT_LT(secondsSince(start), 5.0);
}

} // namespace
