// modbuscalc read --interval and scan, against pymodbus's servers: one
// whose values the test changes between polls (with modbuscalc write),
// behind the fault proxy where it must go away and come back; and one with
// several units, over TCP and RTU.
//   The schedule and its times; JSON and CSV as Python reads them; only
//   what changed; an outage; Ctrl+C in the wait; the units that answer.

#include "device_harness.h"

#include <algorithm>
#include <cmath>
#include <csignal>

namespace {

using namespace modbuscalc_test;

class WatchTest : public DeviceTest {
protected:
    const char *verb() const override { return "read"; }

    // modbuscalc write at the same device, so that a value changes.
    void change(const std::vector<std::string> &cellAndValue)
    {
        std::vector<std::string> words = { "write", "--host", m_host };
        words.insert(words.end(), cellAndValue.begin(), cellAndValue.end());
        ASSERT_EQ(run(words).status, 0);
    }
    // What Python prints running the script on the file; "" when it fails.
    std::string python(const std::string &script, const fs::path &data)
    {
        const fs::path program = file("check.py", script);
        const std::string command = "/usr/bin/python3 " + quote(program.string()) + ' '
            + quote(data.string()) + " > " + quote((m_dir / "python").string()) + " 2>&1";
        const int status = std::system(command.c_str());
        const std::string out = readFile(m_dir / "python");
        EXPECT_EQ(status, 0) << out;
        return status == 0 ? out : "";
    }
};

// The seconds of an RFC 3339 time within its day: "...T20:50:04.123Z".
double secondsOfDay(const std::string &time)
{
    const std::size_t t = time.find('T');
    return std::stod(time.substr(t + 1, 2)) * 3600 + std::stod(time.substr(t + 4, 2)) * 60
        + std::stod(time.substr(t + 7, 6));
}

TEST_F(WatchTest, PollsKeepTheirScheduleEachWithItsTime)
{
    const Result watched
        = run(args({ "--interval", "0.1", "--polls", "20", "--output", "csv", "1", "1", "1" }));
    EXPECT_EQ(watched.status, 0) << watched.err;
    std::istringstream lines(watched.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "time,table,column,row,address,value\r");
    std::vector<double> times;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(line.ends_with(",1,1,1,2305,2305\r")) << line;
        times.push_back(secondsOfDay(line.substr(0, line.find(','))));
    }
    ASSERT_EQ(times.size(), 20U);
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GT(times[i], times[i - 1]);
    // 19 intervals; a poll late on a loaded machine is not followed by a
    // later schedule.
    const double span = times.back() - times.front();
    EXPECT_GE(span, 1.85);
    EXPECT_LT(span, 2.5);
    EXPECT_NE(watched.err.find("modbuscalc: 20 polls, 20 values, 0 failed, "), std::string::npos)
        << watched.err;
}

TEST_F(WatchTest, APollThatOverrunsIsFollowedAtOnceAndNoBurst)
{
    // The third poll's reply comes half a second late: five slots pass.
    withFaults({ "late=3:0.5" });
    const Result watched
        = run(args({ "--interval", "0.1", "--polls", "10", "--output", "csv", "1", "1", "1" }));
    EXPECT_EQ(watched.status, 0) << watched.err;
    std::istringstream lines(watched.out);
    std::string line;
    std::getline(lines, line); // the header
    std::vector<double> times;
    while (std::getline(lines, line))
        times.push_back(secondsOfDay(line.substr(0, line.find(','))));
    ASSERT_EQ(times.size(), 10U);
    // The next at once, then on the schedule: never the passed slots in a
    // burst.
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GT(times[i] - times[i - 1], 0.025) << "polls " << i << " and " << i + 1;
    EXPECT_GT(times[3] - times[2], 0.45);
    EXPECT_NE(watched.err.find(" failed, 1 overrun\n"), std::string::npos) << watched.err;
}

TEST_F(WatchTest, JsonAndCsvAsPythonReadsThem)
{
    const std::string map = "Tag,Description,T,C,R\n"
                            "TT-101,\"Tank 1, level \"\"A\"\"\",1,1,1\n"
                            "TT-102,Sp\xC3\xA4re,0,0,7\n"
                            "TT-103,Nowhere,1,1,x\n";
    const fs::path json = m_dir / "out.json", csv = m_dir / "out.csv";
    writeFile(json,
        run(args({ "--header", "--columns", "t,c,r", "-m", "--output", "json", "--interval", "0.05",
                "--polls", "2" }),
            map)
            .out);
    EXPECT_EQ(python(R"(
import json, sys
objects = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
for o in objects:
    print(o["line"], o["fields"]["Description"], o["table"], o["column"], o["row"], o["address"],
          o["value"], o.get("error", ""), sorted(o.keys()) == sorted(
              ["time", "line", "fields", "table", "column", "row", "address", "value"]
              + (["error"] if "error" in o else [])))
)",
                  json),
        "2 Tank 1, level \"A\" 1 1 1 2306 2305  True\n"
        "3 Sp\u00e4re 0 0 7 8 7  True\n"
        "4 Nowhere None None None None None field 5 ('x') is not a number True\n"
        "2 Tank 1, level \"A\" 1 1 1 2306 2305  True\n"
        "3 Sp\u00e4re 0 0 7 8 7  True\n"
        "4 Nowhere None None None None None field 5 ('x') is not a number True\n");
    // A value in hex is a number too.
    EXPECT_EQ(run(args({ "--output", "json", "--format", "hex", "1", "1", "1" })).out.substr(35),
        "\"table\":1,\"column\":1,\"row\":1,\"address\":2305,\"value\":2305}\n");
    writeFile(csv, run(args({ "--header", "--columns", "t,c,r", "--output", "csv" }), map).out);
    EXPECT_EQ(python(R"(
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1], newline="", encoding="utf-8")))
print(list(rows[0].keys()))
for row in rows:
    print(row["Tag"], row["Description"], row["address"], row["value"])
)",
                  csv),
        "['time', 'Tag', 'Description', 'T', 'C', 'R', 'address', 'value']\n"
        "TT-101 Tank 1, level \"A\" 2305 2305\n"
        "TT-102 Sp\u00e4re 7 7\n"
        "TT-103 Nowhere Error Error\n");
}

TEST_F(WatchTest, JsonKeepsEveryNameAndEveryDigit)
{
    // Two columns of one name; a 64-bit value beyond 2^53, which a double
    // would round; a float that is no number (0x7FC07FC1).
    const std::string map = "Tag,Tag,T,C,R,F\nA,B,31,7,252,u64\nC,D,15,7,192,f32\n";
    const fs::path json = m_dir / "out.json";
    const Result read = run(
        args({ "--header", "--columns", "t,c,r", "--format-column", "f", "--output", "json" }),
        map);
    EXPECT_EQ(read.status, 1) << read.err; // the float that is no number failed
    writeFile(json, read.out);
    EXPECT_EQ(python(R"(
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    o = json.loads(line)
    print(list(o["fields"].keys()), type(o["value"]).__name__, o["value"], o.get("error", ""))
)",
                  json),
        "['Tag', 'Tag_2', 'T', 'C', 'R', 'F'] str 18445899640189419519 \n"
        "['Tag', 'Tag_2', 'T', 'C', 'R', 'F'] NoneType None not a finite number: nan\n");
}

TEST_F(WatchTest, ALogAppendedToKeepsOneHeader)
{
    const fs::path log = m_dir / "log.csv";
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(
            this->run(args({ "--output", "csv", "1", "1", "1" }), "", ">>" + quote(log.string()))
                .status,
            0);
    const std::string logged = readFile(log);
    EXPECT_EQ(countOf(logged, "time,table,column,row,address,value\r\n"), 1) << logged;
    EXPECT_EQ(countOf(logged, ",1,1,1,2305,2305\r\n"), 3) << logged;
}

TEST_F(WatchTest, OnlyTheFirstPollAndThenWhatChanged)
{
    const fs::path map = file("map.csv", "1,1,10\n1,1,11\n1,1,12\n");
    const fs::path out = m_dir / "out", err = m_dir / "err";
    Background watching(
        args({ "--interval", "0.1", "--changes", map.string() }), "/dev/null", out, err);
    ASSERT_TRUE(watching.someOutput(3));
    change({ "1", "1", "11", "99" });
    ASSERT_TRUE(watching.someOutput(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // polls that change nothing
    watching.signal(SIGINT);
    const std::optional<int> status = watching.end(20);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT);
    const std::string written = readFile(out);
    std::vector<std::string> lines;
    std::istringstream in(written);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(',') + 1)); // without the time
    EXPECT_EQ(lines,
        (std::vector<std::string> {
            "1,1,10,2314,2314", "1,1,11,2315,2315", "1,1,12,2316,2316", "1,1,11,2315,99" }));
    EXPECT_NE(readFile(err).find(" failed, 0 overruns\n"), std::string::npos) << readFile(err);
}

TEST_F(WatchTest, AnOutageCostsItsPollsAndTheValuesComeBack)
{
    withFaults({});
    const int port = std::stoi(m_host.substr(m_host.rfind(':') + 1));
    const fs::path out = m_dir / "out";
    Background watching(args({ "--interval", "0.2", "--timeout", "0.2", "--polls", "30", "--output",
                            "csv", "1", "1", "1" }),
        "/dev/null", out);
    ASSERT_TRUE(watching.someOutput(3));
    m_proxy.reset(); // the network goes
    const auto until = Clock::now() + std::chrono::seconds(20);
    // Longer than three polls: a session that gave up for good would never
    // ask again.
    while (countOf(readFile(out), ",Error\r\n") < 4 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    withFaults({}, port); // and comes back
    const std::optional<int> status = watching.end(60);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 1); // some polls failed
    const std::string written = readFile(out);
    EXPECT_EQ(countOf(written, "\r\n"), 31) << written; // the header and every poll
    EXPECT_GE(countOf(written, ",Error\r\n"), 4);
    EXPECT_TRUE(written.ends_with(",2305,2305\r\n")) << written;
}

TEST_F(WatchTest, AnOutageIsToldWhereItStartsAndWhereItEnds)
{
    // Nobody listens when the watch starts; then the device answers.
    withFaults({});
    const int port = std::stoi(m_host.substr(m_host.rfind(':') + 1));
    m_proxy.reset();
    const fs::path out = m_dir / "out", err = m_dir / "err";
    Background watching(
        args({ "--interval", "0.2", "--timeout", "0.2", "--polls", "15", "1", "1", "1" }),
        "/dev/null", out, err);
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (countOf(readFile(out), " Error\n") < 2 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    withFaults({}, port);
    const std::optional<int> status = watching.end(60);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 1); // some polls failed
    const std::string said = readFile(err);
    EXPECT_EQ(countOf(said, "refused; asked again at the next poll\n"), 1) << said;
    EXPECT_EQ(countOf(said, "asked again"), 1) << said;
    EXPECT_EQ(countOf(said, "giving up"), 0) << said;
    EXPECT_EQ(countOf(said, ": answering again\n"), 1) << said;
    EXPECT_TRUE(readFile(out).ends_with(" 2305 2305\n")) << readFile(out);
}

TEST_F(WatchTest, AWatchThatCouldNeverReadItsMapsStopsBeforeItsFirstPoll)
{
    const fs::path map = file("map.csv", "Tag,Where\nA,1\n");
    expectCases({
        { args({ "--interval", "0.1", "--polls", "50", "missing.csv" }), "", "", 2, "missing.csv" },
        { args({ "--interval", "0.1", "--polls", "50", "--header", "--columns", "t,c,r",
              map.string() }),
            "", "", 2, "map.csv: no column 't' in the header" },
    });
    EXPECT_EQ(countOf(run(args({ "--interval", "0.1", "--polls", "3", "--header", "--columns",
                              "t,c,r", map.string() }))
                          .err,
                  "no column"),
        1);
}

TEST_F(WatchTest, AReaderGoneEndsTheWatchAtOnceEvenWithSigpipeIgnored)
{
    // As a service runs it: SIGPIPE ignored, so only the write error tells.
    const auto before = std::signal(SIGPIPE, SIG_IGN);
    const Result piped = run(args({ "--interval", "0.1", "--polls", "100", "1", "1", "1" }), "",
        "| head -c 1 >/dev/null");
    std::signal(SIGPIPE, before);
    EXPECT_NE(piped.err.find("modbuscalc: write error: Broken pipe\n"), std::string::npos)
        << piped.err;
    // The summary: "modbuscalc: 1 poll, ..." (not the hundred asked for).
    const std::size_t at = piped.err.find(" poll");
    ASSERT_NE(at, std::string::npos) << piped.err;
    const std::size_t from = piped.err.rfind(' ', at - 1) + 1;
    EXPECT_LE(std::stoi(piped.err.substr(from, at - from)), 3) << piped.err;
}

TEST_F(WatchTest, CtrlCInTheWaitEndsAtOnceWithASummary)
{
    const fs::path out = m_dir / "out", err = m_dir / "err";
    Background watching(args({ "--interval", "30", "1", "1", "1" }), "/dev/null", out, err);
    ASSERT_TRUE(watching.someOutput());
    const auto sent = Clock::now();
    watching.signal(SIGINT);
    const std::optional<int> status = watching.end(5); // not the 30 s wait
    ASSERT_TRUE(status);
    EXPECT_LT(secondsSince(sent), 5.0);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT);
    EXPECT_TRUE(readFile(out).ends_with(" 2305 2305\n")) << readFile(out);
    EXPECT_EQ(readFile(err), "modbuscalc: 1 poll, 1 values, 0 failed, 0 overruns\n");
}

// pymodbus's server with units 3, 7 and 9 (and a spare 255, so that it
// answers the units it lacks with exception 11), or silent for them;
// behind the proxy, which refuses discrete inputs (exception 1).
class ScanTest : public DeviceTest {
protected:
    const char *verb() const override { return "scan"; }
    std::vector<std::string> serverOptions() const override { return { "--units", "3,7,9" }; }
};

class SilentScanTest : public ScanTest {
protected:
    std::vector<std::string> serverOptions() const override
    {
        return { "--units", "3,7,9", "--silent" };
    }
};

const std::string Present = "3 holding input coil\n7 holding input coil\n9 holding input coil\n";

TEST_F(ScanTest, TheUnitsBehindAGatewayAndTheTypesTheyServe)
{
    withFaults({ "nofunction=2" });
    expectCases({
        { args({ "--units", "1-20" }), "", Present, 0, "" },
        { args({ "--units", "4-6" }), "", "", 1, "no unit answered (units 4-6)" },
        { args({ "--units", "7" }), "", "7 holding input coil\n", 0, "" },
        { args({ "--units", "5-300" }), "", "", 2, "invalid units '5-300'" },
    });
    // Exception 11 for each absent unit: a request each, no waiting; four
    // for each present one.
    EXPECT_EQ(requests(), (17 + 3 * 4) + 3 + 4);
}

TEST_F(SilentScanTest, ASilentUnitCostsOneTimeout)
{
    withFaults({ "nofunction=2" });
    const Result scanned = run(args({ "--units", "1-12", "--timeout", "0.2" }));
    EXPECT_EQ(scanned.out, Present);
    EXPECT_EQ(scanned.status, 0);
    EXPECT_EQ(requests(), 9 + 3 * 4); // one request for each unit not there
}

// The same over RTU: pymodbus's serial server, silent for units it lacks.
class SerialScanTest : public SerialServerTest {
protected:
    const char *units() const override { return "3,7"; }
};

TEST_F(SerialScanTest, TheUnitsOnASerialLine)
{
    expectCases(
        { { { "scan", "--serial", m_ours, "--parity", "N", "--units", "1-8", "--timeout", "0.2" },
            "", "3 holding input coil discrete\n7 holding input coil discrete\n", 0, "" } });
}

} // namespace
