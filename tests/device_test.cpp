// modbuscalc read against real servers: pymodbus's, over TCP and over a
// pseudo-terminal pair as RTU, with the faults of a plant network brought
// in by a proxy of ours (tests/fault_proxy.py); and devices out of reach.
// Every test talks to 127.0.0.1 or a pseudo-terminal only.
//   Values, formats and maps; a stale reply; a late reply; a connection
//   closed by the device; a device that never answers; a device that takes
//   fewer registers a request; holes; many cells in few requests; RTU.

#include "device_harness.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <random>

namespace {

using namespace modbuscalc_test;

class ReadTest : public DeviceTest {
protected:
    const char *verb() const override { return "read"; }
};

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
        { args({ "--type", "coil", "--format", "BOOL", "--count", "2", "0", "0", "2" }), "",
            "2 0 1\n", 0, "" },
        { args({ "--format", "bit", "1", "1", "1" }), "", "Error Error\n", 1,
            "cell 1 1 1: BOOL is the format of coils and discrete inputs" },
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
        { { "read", "--host", nobody.host(), "1", "1", "1" }, "", "", 2,
            nobody.host() + ": no connection: refused" },
        { { "read", "--host", "plc.invalid", "1", "1", "1" }, "", "", 2,
            "plc.invalid:502: no connection: unknown host" },
        // The address stays: it is what the engineer checks.
        { { "read", "--host", silent.host(), "--timeout", "0.2", "1", "1", "1" }, "",
            "2305 Error\n", 1, "cell 1 1 1: timeout" },
        { { "read", "1", "1", "1" }, "", "", 2, "read needs --host" },
        { { "read", "--host", "h", "--serial", "/dev/null", "1", "1", "1" }, "", "", 2,
            "give --host or --serial, not both" },
        { { "read", "--serial", "/nonexistent/ttyS9", "1", "1", "1" }, "", "", 2,
            "/nonexistent/ttyS9: no connection: no such serial port" },
        { { "read", "--host", "127.0.0.1:x", "1", "1", "1" }, "", "", 2, "invalid port" },
    });

    // A fraction of a second is waited for as such, not cut off or rounded
    // up to a whole second (the bound leaves room for a loaded machine).
    const auto start = std::chrono::steady_clock::now();
    run({ "read", "--host", silent.host(), "--timeout", "0.3", "1", "1", "1" });
    const double waited
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.3);
    EXPECT_LT(waited, 0.95);
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
                            "L;DINT;31;7;254\nM;s32;31;7;254\nN;BCD;1;1;1\nO;;1;1;1\n";
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
              "N;BCD;1;1;1;Error;Error\nO;;1;1;1;Error;Error\n",
        1, "<stdin>:15: field 2: unknown format 'BCD'" } });
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
        { { "read", "--host", "::1", "1", "1", "1" }, "", "", 2,
            "[::1]:502: no connection: refused" },
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

TEST_F(ReadTest, ASignalEndsTheRunAtAWholeLineAndKillsByItself)
{
    withFaults({ "rtt=30" });
    const fs::path map = file("map.csv", sparseMap(100)), out = m_dir / "out";
    const std::string all = sparseMapRead(100);
    for (const int number : { SIGINT, SIGTERM, SIGHUP }) {
        SCOPED_TRACE(::strsignal(number));
        const int before = requests();
        Background reading(args({ map.string() }), "/dev/null", out);
        // Lines are handed on as they are done: the first one shows.
        ASSERT_TRUE(reading.someOutput());
        reading.signal(number);
        const std::optional<int> status = reading.end(20);
        ASSERT_TRUE(status);
        // Dead by the signal, as the shell must see it to stop a loop.
        EXPECT_TRUE(WIFSIGNALED(*status));
        EXPECT_EQ(WTERMSIG(*status), number);
        // Whole lines, each right, in the map's order, and not all of them.
        const std::string written = readFile(out);
        EXPECT_TRUE(all.starts_with(written)) << written;
        EXPECT_TRUE(written.ends_with('\n')) << "nothing, or a part of a line";
        EXPECT_LT(written.size(), all.size());
        EXPECT_LT(requests() - before, 100);
    }
}

TEST_F(ReadTest, AfterAStopTheNextMapIsNotOpened)
{
    withFaults({ "rtt=30" });
    const fs::path first = file("first.csv", "t1,c,r\n" + sparseMap(100));
    const fs::path second = file("second.csv", "t2,c,r\n0,0,1\n");
    const fs::path out = m_dir / "out";
    Background reading(args({ "--header", first.string(), second.string() }), "/dev/null", out);
    ASSERT_TRUE(reading.someOutput());
    reading.signal(SIGINT);
    ASSERT_TRUE(reading.end(20));
    const std::string written = readFile(out);
    EXPECT_TRUE(written.starts_with("t1,c,r,address,value\n0,0,0,0,0\n")) << written;
    EXPECT_EQ(written.find("t2"), std::string::npos) << written;
}

TEST_F(ReadTest, ASignalEndsAReadOfStandardInputThatWaits)
{
    const fs::path fifo = m_dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing and never written: a producer that stalls.
    const int writer = ::open(fifo.c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "0,0,1\n", 6), 6);
    Background reading(args({ "-" }), fifo, m_dir / "out");
    ASSERT_TRUE(reading.readingStandardInput());
    reading.signal(SIGINT);
    // It ends at once; a read restarted by the handler would wait for ever.
    const std::optional<int> status = reading.end(10);
    ::close(writer);
    ASSERT_TRUE(status) << "still waiting for its input after SIGINT";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT);
}

TEST_F(ReadTest, AGatewayWithNoDeviceBehindItIsGivenUpOn)
{
    withFaults({ "gateway=11" });
    const Result gateway = run(args({}), sparseMap(200));
    EXPECT_EQ(gateway.out, sparseMapRead(200, -1, true));
    EXPECT_EQ(gateway.status, 2);
    EXPECT_NE(gateway.err.find("<stdin>:1: cell 0 0 0: gateway target device failed to respond "
                               "(exception 11)\n"),
        std::string::npos)
        << gateway.err;
    EXPECT_NE(gateway.err.find("gateway target device failed to respond (exception 11) to 3 "
                               "requests in a row; giving up"),
        std::string::npos)
        << gateway.err;
    EXPECT_EQ(requests(), 3);
    EXPECT_EQ(connections(), 1); // the gateway itself answers: its connection is good
}

TEST_F(ReadTest, ADeviceThatMissesEveryFourthRequestIsReadToTheEnd)
{
    withFaults({ "dropevery=4" });
    std::string expected;
    const Result dropping = run(args({ "--timeout", "0.2" }), sparseMap(12));
    for (int i = 0; i < 12; ++i)
        expected += cellOf(i * 8) + ',' + std::to_string(i * 8) + ','
            + (i % 4 == 3 ? std::string("Error") : std::to_string(i * 8)) + '\n';
    EXPECT_EQ(dropping.out, expected);
    EXPECT_EQ(dropping.status, 1);
    EXPECT_EQ(countOf(dropping.err, ": timeout\n"), 3) << dropping.err;
    EXPECT_EQ(requests(), 12);
}

TEST_F(ReadTest, ADeviceThatDropsEveryConnectionAtOnceIsGivenUpOn)
{
    withFaults({ "closefirst" });
    const Result dropping = run(args({}), sparseMap(50));
    EXPECT_EQ(dropping.status, 2);
    EXPECT_NE(
        dropping.err.find("no answer to 3 requests in a row (connection lost"), std::string::npos)
        << dropping.err;
    EXPECT_EQ(requests(), 3);
}

TEST_F(ReadTest, ATypeTheDeviceLacksCostsAboutARequestALine)
{
    withFaults({ "lacks=4" });
    std::string map;
    for (int a = 256; a < 556; ++a)
        map += cellOf(a) + '\n';
    const Result lacking = run(args({ "--type", "input", "-q" }), map);
    EXPECT_EQ(lacking.status, 1);
    EXPECT_EQ(countOf(lacking.out, ",Error\n"), 300);
    EXPECT_LE(requests(), 300 + 3 * 3); // each line once, and a few to find out
}

TEST_F(StaleReplyTest, AReplyForAnotherRequestIsToldAsSuch)
{
    const Result stale = run(args({ "0", "0", "7" }));
    EXPECT_NE(
        stale.err.find("cell 0 0 7: a reply that does not match the request"), std::string::npos)
        << stale.err;
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

TEST_F(HolesTest, ACountKeepsEveryValueTheDeviceGave)
{
    // Registers 100 to 109 are a hole: the values around it stay.
    std::string expected = "95";
    for (int a = 95; a < 115; ++a)
        expected += ' ' + (a >= 100 && a < 110 ? std::string("Error") : std::to_string(a));
    const Result read = run(args({ "--count", "20", "0", "0", "95" }));
    EXPECT_EQ(read.out, expected + '\n');
    EXPECT_EQ(read.status, 1);
    EXPECT_NE(read.err.find("cell 0 0 95: illegal data address (exception 2)"), std::string::npos)
        << read.err;
}

// modbuscalc read --serial against pymodbus's RTU server, unit 7, over a
// pseudo-terminal pair; these pseudo-terminals take no parity but N.
class SerialTest : public SerialServerTest {
protected:
    std::vector<std::string> args(std::vector<std::string> more, const char *unit = "7") const
    {
        more.insert(more.begin(), { "read", "--serial", m_ours, "--parity", "N", "--unit", unit });
        return more;
    }
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
    // Three requests (a serial line keeps room for one more register than
    // asked), each shown as sent, with what came back.
    EXPECT_NE(read.err.find("modbuscalc: > 07 03 18 00 00 7C\nmodbuscalc: < 124 registers\n"),
        std::string::npos)
        << read.err;
    EXPECT_EQ(countOf(read.err, "modbuscalc: > "), 3) << read.err;
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

// A map of registers from..to in order, and what reading it gives with
// the registers from failFrom to failTo failing.
std::pair<std::string, std::string> registerMap(int from, int to, int failFrom, int failTo)
{
    std::string map, read;
    for (int a = from; a < to; ++a) {
        map += cellOf(a) + '\n';
        const bool failed = a >= failFrom && a < failTo;
        read += cellOf(a) + ',' + std::to_string(a) + ',' + (failed ? "Error" : std::to_string(a))
            + '\n';
    }
    return { map, read };
}

TEST_F(ResponderTest, AReplyLeftOnTheLineIsNotTakenForTheFirst)
{
    respond({ "stale" });
    expectCases({ { args({ "0", "0", "5" }), "", "5 5\n", 0, "" } });
}

TEST_F(ResponderTest, ALateReplyNeverPassesForAnotherRequestsAnswer)
{
    // The second request is answered late, after its timeout; every other
    // at once, one by one at 20 ms, so that the late reply lands amid them.
    for (const char *late : { "0.45", "1" }) {
        for (const bool retry : { false, true }) {
            SCOPED_TRACE(std::string("late by ") + late + (retry ? ", --retries 1" : ""));
            respond({ std::string("late=2:") + late, "rtt=20" });
            const Result read
                = run(args({ "--timeout", "0.2", "--retries", retry ? "1" : "0" }), sparseMap(60));
            EXPECT_EQ(read.out, sparseMapRead(60, retry ? -1 : 1));
            EXPECT_EQ(read.status, retry ? 0 : 1) << read.err;
            m_device.reset();
            fs::remove(m_dir / "count");
        }
    }
}

TEST_F(ResponderTest, ALateReplyOfAWholeRequestNeverPassesForTheNext)
{
    // 124 registers a request (a serial line keeps room for one more): the
    // second, registers 124 to 247, is answered late; 13 requests at 100 ms.
    for (const char *late : { "0.45", "1" }) {
        SCOPED_TRACE(std::string("late by ") + late);
        respond({ std::string("late=2:") + late, "rtt=100" });
        const auto [map, expected] = registerMap(0, 1500, 124, 248);
        const Result read = run(args({ "--timeout", "0.2", "-q" }), map);
        EXPECT_EQ(read.out, expected);
        EXPECT_EQ(read.status, 1);
        m_device.reset();
        fs::remove(m_dir / "count");
    }
}

} // namespace
