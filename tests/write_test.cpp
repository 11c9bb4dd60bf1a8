// modbuscalc write against pymodbus's server, behind our fault proxy where
// a test needs to see or bend the requests; over RTU against our own
// device; and at a terminal that it asks.
//   Forms, types and formats, read back; function codes; a map at the
//   wire's pace; refusals before anything is sent; at most once; verify;
//   exceptions; backup and restore; the question on a terminal.

#include "device_harness.h"

#include <pty.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace modbuscalc_test;

class WriteTest : public DeviceTest {
protected:
    const char *verb() const override { return "write"; }

    // read's arguments, at the same device.
    std::vector<std::string> reading(std::vector<std::string> more) const
    {
        more.insert(more.begin(), { "read", "--host", m_host });
        return more;
    }
};

// Registers rows from..to of table 1, column 0 and on, each line its value.
std::pair<std::string, std::string> valueMap(int from, int to, int value)
{
    std::string map = "t,c,r,v\n", written = map.substr(0, map.size() - 1) + ",address,value\n";
    for (int a = from; a < to; ++a) {
        const std::string line = cellOf(a) + ',' + std::to_string(value + a);
        map += line + '\n';
        written += line + ',' + std::to_string(a) + ',' + std::to_string(value + a) + '\n';
    }
    return { map, written };
}

TEST_F(WriteTest, EachFormTypeAndFormatReadsBack)
{
    struct Case {
        std::vector<std::string> write; // after write --host
        std::string written; // what write writes
        std::vector<std::string> read; // after read --host
        std::string read_; // what read gives
    };
    const Case cases[] = {
        { { "1", "1", "1", "1234" }, "2305 1234\n", { "1", "1", "1" }, "2305 1234\n" },
        { { "-m", "1", "1", "2", "77" }, "2307 77\n", { "-m", "2307" }, "2307 77\n" },
        { { "-n", "ref", "402310", "7" }, "402310 7\n", { "-n", "ref", "402310" }, "402310 7\n" },
        { { "-n", "hex", "0x0A00", "8" }, "0x0A00 8\n", { "2560" }, "2560 8\n" },
        { { "-n", "address", "-m", "2306", "42" }, "2306 42\n", { "2305" }, "2305 42\n" },
        { { "--format", "s16", "2", "0", "0", "-5" }, "4096 -5\n",
            { "--format", "INT", "2", "0", "0" }, "4096 -5\n" },
        { { "--format", "hex", "2", "0", "1", "04d2" }, "4097 0x04D2\n", { "2", "0", "1" },
            "4097 1234\n" },
        // 32 and 64 bits in each byte order, and the names spreadsheets use.
        { { "--format", "u32", "2", "0", "2", "1269349" }, "4098 1269349\n",
            { "--format", "DWORD", "2", "0", "2" }, "4098 1269349\n" },
        { { "--format", "u32", "2", "0", "2", "1269349" }, "4098 1269349\n",
            { "--count", "2", "2", "0", "2" }, "4098 19 24165\n" }, // 0x0013 0x5E65
        { { "--format", "u32", "--word-order", "low-first", "2", "0", "4", "1269349" },
            "4100 1269349\n", { "--format", "u32", "2", "0", "4" },
            "4100 " + std::to_string((0x5E65U << 16) | 0x13U) + "\n" },
        { { "--format", "s32", "--word-order", "CDAB", "2", "0", "6", "-2" }, "4102 -2\n",
            { "--count", "2", "2", "0", "6" }, "4102 65534 65535\n" },
        { { "--format", "FLOAT", "--word-order", "BADC", "2", "0", "8", "1.5" }, "4104 1.5\n",
            { "--format", "hex", "--count", "2", "2", "0", "8" }, "4104 0xC03F 0x0000\n" },
        { { "--format", "f64", "--word-order", "DCBA", "2", "0", "10", "-0.25" }, "4106 -0.25\n",
            { "--format", "LREAL", "--word-order", "DCBA", "2", "0", "10" }, "4106 -0.25\n" },
        { { "--format", "ULINT", "2", "0", "14", "18446744073709551615" },
            "4110 18446744073709551615\n", { "--format", "s64", "2", "0", "14" }, "4110 -1\n" },
        // Several values go to consecutive registers, each its format's width.
        { { "--format", "u32", "2", "1", "0", "1", "2" }, "4352 1 2\n",
            { "--count", "4", "2", "1", "0" }, "4352 0 1 0 2\n" },
        // Coils, in the words engineers use.
        { { "--type", "coil", "0", "0", "7", "on", "OFF", "true", "0" }, "7 1 0 1 0\n",
            { "--type", "coil", "--count", "4", "0", "0", "7" }, "7 1 0 1 0\n" },
        { { "-n", "ref", "000020", "1" }, "000020 1\n", { "-n", "ref", "000020" }, "000020 1\n" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("write " + c.write.back());
        const Result written = run(args(c.write));
        EXPECT_EQ(written.out, c.written) << written.err;
        EXPECT_EQ(written.status, 0);
        EXPECT_EQ(run(reading(c.read)).out, c.read_);
    }
}

TEST_F(WriteTest, EachValueByTheFunctionThatFitsOrTheOneForced)
{
    withFaults({});
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> requests; // function, address, count
    };
    const Case cases[] = {
        { { "1", "1", "1", "5" }, { "6 2305 1" } },
        { { "1", "1", "1", "5", "6" }, { "16 2305 2" } },
        { { "--format", "u32", "1", "1", "1", "5" }, { "16 2305 2" } }, // both words together
        { { "--function", "16", "1", "1", "1", "5" }, { "16 2305 1" } },
        { { "--function", "6", "--format", "u32", "1", "1", "1", "5" },
            { "6 2305 1", "6 2306 1" } },
        { { "--type", "coil", "0", "0", "3", "1" }, { "5 3 1" } },
        { { "--type", "coil", "0", "0", "3", "1", "0" }, { "15 3 2" } },
        { { "--type", "coil", "--function", "5", "0", "0", "3", "1", "0" }, { "5 3 1", "5 4 1" } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const std::size_t before = logged().size();
        EXPECT_EQ(run(args(c.args)).status, 0);
        const std::vector<std::string> log = logged();
        EXPECT_EQ(
            std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(before), log.end()),
            c.requests);
    }
}

TEST_F(WriteTest, AMapGoesAtTheWiresPace)
{
    withFaults({});
    // 300 contiguous registers, then one apart: 123 + 123 + 54, and 1.
    auto [map, written] = valueMap(2300, 2600, 7);
    map += cellOf(3000) + ",5\n";
    written += cellOf(3000) + ",5,3000,5\n";
    const Result result
        = run(args({ "--yes", "--header", "-f", "1-3", "--value-column", "4" }), map);
    EXPECT_EQ(result.out, written);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(logged(),
        (std::vector<std::string> { "16 2300 123", "16 2423 123", "16 2546 54", "6 3000 1" }));
    // A register between two lines is nobody's to write: two requests.
    const Result apart = run(args({ "--yes", "--value-column", "4" }),
        cellOf(4000) + ",1\n" + cellOf(4001) + ",2\n" + cellOf(4003) + ",3\n");
    EXPECT_EQ(apart.status, 0) << apart.err;
    const std::vector<std::string> log = logged();
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
        (std::vector<std::string> { "16 4000 2", "6 4003 1" }));
    EXPECT_EQ(run(reading({ "2599" })).out, "2599 2606\n");
}

TEST_F(WriteTest, RefusedBeforeAnythingIsOpenedOrSent)
{
    withFaults({});
    const fs::path map = file("map.csv", "1,1,1,5\n");
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string message;
    };
    const Case cases[] = {
        { { "--type", "input", "1", "1", "1", "5" }, "",
            "cell 1 1 1: input registers are read-only" },
        { { "--type", "discrete", "1", "1", "1", "1" }, "",
            "cell 1 1 1: discrete inputs are read-only" },
        { { "-n", "ref", "302306", "5" }, "", "address 302306: input registers are read-only" },
        { { "1", "1", "1", "70000" }, "", "'70000' is not u16 (0 to 65535)" },
        { { "1", "1", "1", "-1" }, "", "'-1' is not u16 (0 to 65535)" },
        { { "--format", "INT", "1", "1", "1", "1.5" }, "",
            "'1.5' is not a whole number (s16: -32768 to 32767)" },
        { { "--format", "s16", "1", "1", "1", "40000" }, "", "'40000' is not s16" },
        { { "--format", "REAL", "1", "1", "1", "1e39" }, "", "'1e39' is not f32" },
        { { "--type", "coil", "0", "0", "1", "yes" }, "", "'yes' is not a coil state" },
        { { "31", "7", "255", "1", "2" }, "", "cell 31 7 255: the values run past the last cell" },
        { { "--function", "5", "1", "1", "1", "1" }, "", "function 5 writes coils" },
        // A map: every bad line told, nothing written.
        { { "--yes", "--value-column", "4", "-" }, "1,1,1,5\n1,1,2,x\n1,1,3,70000\n1,1,1,6\n",
            "<stdin>:2: field 4 ('x') is not u16" },
        { { "--yes", "--value-column", "4", "-" }, "1,1,1,5\n1,1,2,x\n1,1,3,70000\n1,1,1,6\n",
            "<stdin>:3: field 4 ('70000') is not u16" },
        { { "--yes", "--value-column", "4", "-" }, "1,1,1,5\n1,1,2,x\n1,1,3,70000\n1,1,1,6\n",
            "<stdin>:4: cell 1 1 1: line 1 writes the same register (2305)" },
        { { "-m", "--yes", "--value-column", "4", "-" }, "1,1,1,5\n1,1,1,6\n",
            "<stdin>:2: cell 1 1 1: line 1 writes the same register (2306)" },
        { { "-n", "ref", "--yes", "--value-column", "2", "-" }, "402306,5\n402306,6\n",
            "<stdin>:2: address 402306: line 1 writes the same register (402306)" },
        // Asked for nothing on a terminal that is not there.
        { { "--value-column", "4", map.string() }, "", "asked on a terminal, or with --yes" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Result result = run(args(c.args), c.input);
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(connections(), 0);
}

TEST_F(WriteTest, AWriteWithoutAnAnswerIsNeverSentTwice)
{
    withFaults({ "late=1:1.5" });
    const Result late = run(args({ "--timeout", "0.5", "1", "1", "1", "9" }));
    EXPECT_EQ(late.out, "2305 Error\n");
    EXPECT_EQ(late.status, 1);
    EXPECT_NE(late.err.find("cell 1 1 1: timeout; the write may or may not have taken effect"),
        std::string::npos)
        << late.err;
    EXPECT_EQ(requests(), 1);
    // Only when asked for.
    withFaults({ "drop=1" });
    const Result retried = run(args({ "--timeout", "0.3", "--retries", "1", "1", "1", "1", "9" }));
    EXPECT_EQ(retried.status, 0) << retried.err;
    EXPECT_EQ(requests(), 2);
}

TEST_F(WriteTest, EachLineSaysWhetherItWentOutWhenTheDeviceIsGivenUpOn)
{
    // A device that stops answering: a request a line, three go out, and
    // each says it may have taken effect; the rest were never sent.
    withFaults({ "silent" });
    const Result silent
        = run(args({ "-y", "--function", "6", "--timeout", "0.2", "--value-column", "4", "-" }),
            "0,0,1,1\n0,0,3,3\n0,0,5,5\n0,0,7,7\n0,0,9,9\n");
    EXPECT_EQ(silent.status, 2);
    EXPECT_EQ(countOf(silent.err, "the write may or may not have taken effect"), 3) << silent.err;
    EXPECT_NE(silent.err.find("<stdin>:3: cell 0 0 5: no answer to 3 requests in a row; giving "
                              "up; the write may or may not have taken effect\n"),
        std::string::npos)
        << silent.err;
    EXPECT_NE(silent.err.find("<stdin>:4: cell 0 0 7: not sent\n"), std::string::npos)
        << silent.err;
    EXPECT_NE(silent.err.find("<stdin>:5: cell 0 0 9: not sent\n"), std::string::npos)
        << silent.err;
}

TEST_F(WriteTest, VerifyCatchesADeviceThatAcknowledgesButKeepsItsValue)
{
    withFaults({ "ackonly" });
    EXPECT_EQ(run(args({ "1", "1", "1", "1234" })).status, 0); // it looks fine
    const Result verified = run(args({ "--verify", "--format", "u32", "1", "1", "1", "1269349" }));
    EXPECT_EQ(verified.out, "2305 Error\n");
    EXPECT_EQ(verified.status, 1);
    EXPECT_NE(
        verified.err.find("cell 1 1 1: wrote 1269349, read back 151062786"), std::string::npos)
        << verified.err;
}

TEST_F(WriteTest, ADeviceWithoutFunction16IsToldWhatToDo)
{
    withFaults({ "nofunction=16" });
    const Result refused = run(args({ "--format", "u32", "1", "1", "1", "70000" }));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("illegal function (exception 1) to function 16; --function 6 "
                               "writes a register at a time"),
        std::string::npos)
        << refused.err;
    EXPECT_EQ(requests(), 1); // never a fallback of our own
    const Result single
        = run(args({ "--function", "6", "--verify", "--format", "u32", "1", "1", "1", "70000" }));
    EXPECT_EQ(single.status, 0) << single.err;
}

TEST_F(WriteTest, AnExceptionFailsTheLinesOfItsRequestAlone)
{
    // Exception 4 on register 2310: the 123 lines its request carried fail,
    // with the reason, and may be half done; the rest are written.
    withFaults({ "except=2310:4" });
    const auto [map, written] = valueMap(2300, 2600, 1);
    const Result failing = run(args({ "-y", "--header", "--value-column", "v" }), map);
    EXPECT_EQ(failing.status, 1);
    EXPECT_EQ(countOf(failing.out, ",Error\n"), 123);
    EXPECT_NE(failing.err.find(
                  "<stdin>:2: cell 1 0 252: server device failure (exception 4); the write may or "
                  "may not have taken effect\n"),
        std::string::npos)
        << failing.err.substr(0, 300);
    EXPECT_EQ(run(reading({ "--count", "2", "2422" })).out, "2422 2422 2424\n");
}

TEST_F(WriteTest, VerboseShowsEachWriteAsItGoesOut)
{
    struct Case {
        std::vector<std::string> args;
        const char *request;
    };
    const Case cases[] = {
        { { "--verbose", "1", "1", "1", "1234" }, "> 01 06 09 01 04 D2\n" },
        { { "--verbose", "--function", "16", "1", "1", "1", "1234" },
            "> 01 10 09 01 00 01 04 D2\n" },
        { { "--verbose", "--type", "coil", "1", "1", "1", "on" }, "> 01 05 09 01 FF 00\n" },
        { { "--verbose", "--type", "coil", "--function", "15", "1", "1", "1", "1" },
            "> 01 0F 09 01 00 01 01\n" },
    };
    for (const Case &c : cases) {
        const Result written = run(args(c.args));
        EXPECT_EQ(written.status, 0) << written.err;
        EXPECT_NE(written.err.find(std::string("modbuscalc: ") + c.request), std::string::npos)
            << written.err;
    }
}

TEST_F(WriteTest, AnAcknowledgeIsAWriteTaken)
{
    // Exception 5: taken, and still being carried out.
    withFaults({ "except=2310:5" });
    const Result acknowledged = run(args({ "1", "1", "6", "7" }));
    EXPECT_EQ(acknowledged.status, 0) << acknowledged.err;
    EXPECT_EQ(acknowledged.out, "2310 7\n");
    EXPECT_EQ(acknowledged.err, "");
}

TEST_F(WriteTest, ARefusedRegisterFailsItsOwnLineAlone)
{
    // Exception 2 was not carried out: the request is split until exactly
    // the refused line is left.
    withFaults({ "except=2310:2" });
    const auto [map, written] = valueMap(2300, 2400, 1);
    const Result refused = run(args({ "-y", "--header", "--value-column", "v" }), map);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(countOf(refused.out, ",Error\n"), 1);
    EXPECT_NE(refused.err.find("<stdin>:12: cell 1 1 6: illegal data address (exception 2)"),
        std::string::npos)
        << refused.err;
}

TEST_F(WriteTest, WhatReadWroteWritesBackWhatWasThere)
{
    std::string map = "Tag,T,C,R\n";
    for (int a = 6000; a < 6300; ++a)
        map += "T" + std::to_string(a) + ',' + cellOf(a) + '\n';
    const fs::path cells = file("cells.csv", map), backup = m_dir / "backup.csv";
    const Result before = run(reading({ "--header", "--columns", "t,c,r", cells.string() }));
    ASSERT_EQ(before.status, 0);
    writeFile(backup, before.out);
    // The device changes...
    ASSERT_EQ(run(args({ "--format", "u32", "2", "7", "112", "1", "2", "3" })).status, 0);
    EXPECT_NE(run(reading({ "--header", "--columns", "t,c,r", cells.string() })).out, before.out);
    // ... and the backup puts it back.
    const Result restored = run(args(
        { "--yes", "--header", "--columns", "t,c,r", "--value-column", "value", backup.string() }));
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(run(reading({ "--header", "--columns", "t,c,r", cells.string() })).out, before.out);
}

TEST_F(WriteTest, ABackupLeavesAloneWhatCannotBeWrittenAndSaysSo)
{
    // As read writes a device with references of two types: an input
    // register, a value it could not read, and a line without one.
    const fs::path backup = file("backup.csv",
        "Tag,Ref,address,value\nA,402306,402306,7\nB,302307,302307,1234\n"
        "C,402308,402308,Error\nD,402309,402309,\n");
    const Result restored = run(args({ "--yes", "--header", "--columns", "ref", "-n", "ref",
        "--value-column", "value", backup.string() }));
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(
        restored.err, "modbuscalc: 3 lines left alone (1 read-only, 1 without a value, 1 Error)\n");
    EXPECT_EQ(restored.out,
        "Tag,Ref,address,value,reference,value\nA,402306,402306,7,402306,7\n"
        "B,302307,302307,1234,skipped,skipped\nC,402308,402308,Error,skipped,skipped\n"
        "D,402309,402309,,skipped,skipped\n");
    EXPECT_EQ(run(reading({ "-n", "ref", "402306" })).out, "402306 7\n");
}

TEST_F(WriteTest, ADryRunSendsNothingAndShowsEveryRequest)
{
    withFaults({});
    const Result dry = run(args({ "--dry-run", "--format", "u32", "1", "1", "1", "1234", "5" }));
    EXPECT_EQ(dry.out, "function 16, address 2305, count 4: 0x0000 0x04D2 0x0000 0x0005\n");
    EXPECT_EQ(
        run(args({ "--dry-run", "--type", "coil", "--function", "15", "0", "0", "1", "1" })).out,
        "function 15, address 1, count 1: 1\n");
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(requests(), 0);
    EXPECT_EQ(connections(), 0);
}

TEST_F(WriteTest, AMapOnATerminalIsWrittenOnlyWhenTheUserSaysYes)
{
    withFaults({});
    const fs::path map = file("map.csv", "1,1,1,11\n1,1,2,12\n");
    // No, nothing (the default), and yes.
    for (const char *answer : { "n\n", "\n", "y\n" }) {
        SCOPED_TRACE(answer);
        int terminal = -1;
        const std::vector<std::string> words = args({ "--value-column", "4", map.string() });
        const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        if (child == 0) {
            std::vector<char *> argv { const_cast<char *>("modbuscalc") };
            for (const std::string &word : words)
                argv.push_back(const_cast<char *>(word.c_str()));
            argv.push_back(nullptr);
            ::execv(MODBUSCALC_PROGRAM, argv.data());
            ::_exit(127);
        }
        ASSERT_GT(child, 0);
        // What it shows, up to the question.
        std::string shown;
        const auto until = Clock::now() + std::chrono::seconds(20);
        while (shown.find("[y/N]") == std::string::npos && Clock::now() < until) {
            char buffer[256];
            const ssize_t got = ::read(terminal, buffer, sizeof buffer);
            if (got <= 0)
                break;
            shown.append(buffer, static_cast<std::size_t>(got));
        }
        EXPECT_NE(
            shown.find("about to write 2 holding registers and 0 coils on " + m_host + ", unit 1:"),
            std::string::npos)
            << shown;
        EXPECT_NE(shown.find("map.csv:2: cell 1 1 2 (2306) = 12"), std::string::npos) << shown;
        const auto length = static_cast<ssize_t>(std::strlen(answer));
        ASSERT_EQ(::write(terminal, answer, static_cast<std::size_t>(length)), length);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(terminal);
        const bool yes = answer[0] == 'y';
        EXPECT_EQ(WEXITSTATUS(status), yes ? 0 : 1);
        EXPECT_EQ(requests(), yes ? 1 : 0);
    }
}

// write over RTU, against our own device on a pseudo-terminal pair.
TEST_F(ResponderTest, WritesAndVerifiesOverRtu)
{
    respond({});
    const std::vector<std::string> write
        = { "write", "--serial", m_ours, "--parity", "N", "--unit", "7", "--verify" };
    std::vector<std::string> single = write;
    single.insert(single.end(), { "--format", "f32", "1", "1", "1", "2.5" });
    const Result one = run(single);
    EXPECT_EQ(one.out, "2305 2.5\n");
    EXPECT_EQ(one.status, 0) << one.err;
    std::vector<std::string> mapped = write;
    mapped.insert(mapped.end(), { "-y", "--value-column", "4" });
    const Result map = run(mapped, "1,2,0,10\n1,2,1,11\n1,2,2,12\n");
    EXPECT_EQ(map.out, "1,2,0,10,2560,10\n1,2,1,11,2561,11\n1,2,2,12,2562,12\n");
    EXPECT_EQ(map.status, 0) << map.err;
    EXPECT_EQ(run(args({ "--count", "3", "1", "2", "0" })).out, "2560 10 11 12\n");
}

} // namespace
