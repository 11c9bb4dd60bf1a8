// modbuscalc serve as masters that are not ours see it: pymodbus's client
// and mbpoll, over TCP and RTU, for every function libmodbus serves; the
// exceptions asked for; a map's formats and word orders word for word;
// --save after writes and death by SIGTERM; the log as JSON; a master that
// stalls half-way while another reads. Then our own verbs against it: scan,
// and the README's walk-through, command by command.

#include "device_harness.h"

#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>

namespace {

using namespace modbuscalc_test;

class ServeTest : public ModbuscalcTest {
protected:
    void SetUp() override
    {
        ModbuscalcTest::SetUp();
        if (std::system("/usr/bin/python3 -c 'import pymodbus' 2>/dev/null") != 0)
            GTEST_SKIP() << "python3-pymodbus is not installed";
    }
    void TearDown() override
    {
        m_serve.reset();
        m_line.reset();
        ModbuscalcTest::TearDown();
    }

    // Starts serve with these arguments, over TCP on a free port unless they
    // name a serial line; ready once it says where it serves.
    void serve(std::vector<std::string> args)
    {
        const bool serial = std::find(args.begin(), args.end(), "--serial") != args.end();
        args.insert(args.begin(), "serve");
        if (!serial)
            args.insert(args.begin() + 1, { "--listen", "127.0.0.1:0" });
        fs::remove(m_dir / "serve.err"); // an earlier run's says nothing of this one
        m_serve.emplace(args, "/dev/null", m_dir / "serve.out", m_dir / "serve.err");
        const auto until = Clock::now() + std::chrono::seconds(20);
        const std::regex where(serial ? "serving unit [0-9]+ on " : "127\\.0\\.0\\.1:([0-9]+)");
        std::smatch found;
        std::string text;
        while (!std::regex_search(text = log(), found, where)) {
            ASSERT_LT(Clock::now(), until) << "serve did not start: " << text;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!serial)
            m_port = std::stoi(found[1]);
    }
    std::string log() const { return readFile(m_dir / "serve.err"); }
    std::string host() const { return "127.0.0.1:" + std::to_string(m_port); }

    // pymodbus's answers to the requests, a line each (tests/serve_peer.py).
    std::string peer(const std::string &requests, const std::string &line = {})
    {
        writeFile(m_dir / "requests", requests);
        const std::string command = "/usr/bin/python3 " + std::string(MODBUSCALC_TEST_SERVERS)
            + "serve_peer.py " + (line.empty() ? "tcp " + std::to_string(m_port) : "rtu " + line)
            + " <" + quote((m_dir / "requests").string()) + " >"
            + quote((m_dir / "answers").string()) + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return readFile(m_dir / "answers");
    }

    // What mbpoll prints of each value, "[2306]: 1234", a line each.
    static std::string mbpoll(const std::string &arguments)
    {
        std::FILE *pipe = ::popen(("mbpoll " + arguments + " 2>&1").c_str(), "r");
        std::string out, values;
        char buffer[256];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        if (pipe)
            ::pclose(pipe);
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("[")) {
                line.erase(std::remove(line.begin(), line.end(), '\t'), line.end());
                values += line + '\n';
            }
        }
        return values;
    }

    // Requests as pymodbus sends them, each with the answer it must get.
    struct Exchange {
        const char *request, *answer;
    };
    void expectExchanges(const std::vector<Exchange> &exchanges, const std::string &line = {})
    {
        std::string requests, answers;
        for (const Exchange &e : exchanges) {
            requests += std::string(e.request) + '\n';
            answers += std::string(e.answer) + '\n';
        }
        EXPECT_EQ(peer(requests, line), answers) << log();
    }

    std::optional<Background> m_serve;
    std::optional<SerialPair> m_line;
    int m_port = 0;
};

TEST_F(ServeTest, EveryFunctionLibmodbusServesAsPymodbusSeesIt)
{
    serve({ "--unit", "1,7" });
    expectExchanges({
        { "1 3 0 3", "ok 0 0 0" },
        { "1 16 10 1 2 3", "ok" },
        { "1 3 10 3", "ok 1 2 3" },
        { "1 6 11 99", "ok" },
        { "1 3 10 3", "ok 1 99 3" },
        { "7 3 10 3", "ok 0 0 0" }, // each unit has registers of its own
        { "1 15 20 1 0 1 1", "ok" },
        { "1 1 20 4", "ok 1 0 1 1" },
        { "1 5 21 1", "ok" },
        { "1 1 20 4", "ok 1 1 1 1" },
        { "1 2 0 3", "ok 0 0 0" },
        { "1 4 65534 2", "ok 0 0" },
        { "1 22 10 65280 18", "ok" }, // (1 AND 0xFF00) OR (18 AND 0x00FF)
        { "1 3 10 1", "ok 18" },
        { "1 23 10 3 100 7 8", "ok 18 99 3" },
        { "1 3 100 2", "ok 7 8" },
        // A unit not served, as a gateway answers for a device gone; what
        // the protocol does not allow.
        { "2 3 0 1", "exception 11" },
        { "1 3 0 126", "exception 3" },
        { "1 3 65535 2", "exception 2" },
    });
    // One line for each request, a write's with the cells it touched.
    const std::string text = log();
    EXPECT_EQ(countOf(text, " unit "), 19) << text;
    EXPECT_NE(text.find("unit 1: function 16, address 10, count 3: cell 0 0 10 = 1, "
                        "cell 0 0 11 = 2, cell 0 0 12 = 3\n"),
        std::string::npos)
        << text;
    EXPECT_NE(
        text.find("unit 2: function 3, address 0, count 1: exception 11\n"), std::string::npos);
}

TEST_F(ServeTest, MbpollReadsAndWritesEachTypeOfAMapOfReferences)
{
    const fs::path map
        = file("map.csv", "ref,value\n402306,1234\n402307,-2\n302306,4321\n102306,1\n000010,on\n");
    serve({ "-n", "ref", "--header", "--value-column", "value", "--format", "s16", map.string() });
    const std::string at = "-m tcp -p " + std::to_string(m_port) + " -a 1 -1 ";
    if (mbpoll(at + "-r 2306 127.0.0.1").empty())
        GTEST_SKIP() << "mbpoll is not installed";
    // mbpoll counts from 1, as references do.
    EXPECT_EQ(mbpoll(at + "-r 2306 -c 2 127.0.0.1"), "[2306]: 1234\n[2307]: 65534 (-2)\n");
    EXPECT_EQ(mbpoll(at + "-t 3 -r 2306 127.0.0.1"), "[2306]: 4321\n");
    EXPECT_EQ(mbpoll(at + "-t 1 -r 2305 -c 2 127.0.0.1"), "[2305]: 0\n[2306]: 1\n");
    EXPECT_EQ(mbpoll(at + "-t 0 -r 10 127.0.0.1"), "[10]: 1\n");
    mbpoll("-m tcp -p " + std::to_string(m_port) + " -a 1 -r 2308 127.0.0.1 555 556");
    mbpoll("-m tcp -p " + std::to_string(m_port) + " -a 1 -t 0 -r 11 127.0.0.1 1");
    expectExchanges({ { "1 3 2305 4", "ok 1234 65534 555 556" }, { "1 1 9 3", "ok 1 1 0" } });
    // The write that hit a line of the map, in its format.
    EXPECT_NE(log().find("function 16, address 2307, count 2: cell 1 1 3 = 555, cell 1 1 4 = 556"),
        std::string::npos)
        << log();
}

TEST_F(ServeTest, AMapsFormatsAndWordOrdersWordForWord)
{
    const fs::path map = file("map.csv",
        "t,c,r,format,value\n0,0,0,f32,21.5\n0,0,2,s32,-2\n0,0,4,u64,1\n0,0,8,hex,0x1234\n"
        "0,0,9,s16,-1\n0,0,10,f64,1\n");
    struct Case {
        const char *order;
        const char *words; // registers 0 to 13
    };
    const Case cases[] = {
        { "high-first", "ok 16812 0 65535 65534 0 0 0 1 4660 65535 16368 0 0 0" },
        { "CDAB", "ok 0 16812 65534 65535 1 0 0 0 4660 65535 0 0 0 16368" },
        { "BADC", "ok 44097 0 65535 65279 0 0 0 256 13330 65535 61503 0 0 0" },
        { "DCBA", "ok 0 44097 65279 65535 256 0 0 0 13330 65535 0 0 0 61503" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.order);
        serve({ "--header", "--format-column", "format", "--value-column", "value", "--word-order",
            c.order, map.string() });
        expectExchanges({ { "1 3 0 14", c.words } });
        m_serve.reset();
    }
}

TEST_F(ServeTest, ExceptionsAndFaultsAsAsked)
{
    const fs::path map = file("map.csv", "0,0,100,5\n");
    struct Case {
        std::vector<std::string> serve;
        std::vector<Exchange> exchanges;
    };
    const Case cases[] = {
        { { "--read-only" },
            { { "1 6 0 1", "exception 1" }, { "1 3 0 1", "ok 0" }, { "1 5 0 1", "exception 1" },
                { "1 16 0 1 2", "exception 1" }, { "1 3 0 2", "ok 0 0" } } },
        { { "--only-mapped", "--value-column", "4", map.string() },
            { { "1 3 100 1", "ok 5" }, { "1 3 101 1", "exception 2" },
                { "1 3 99 2", "exception 2" }, { "1 1 100 1", "exception 2" },
                { "1 6 100 6", "ok" }, { "1 3 100 1", "ok 6" } } },
        { { "--busy-every", "2" },
            { { "1 3 0 1", "ok 0" }, { "1 3 0 1", "exception 6" }, { "1 6 0 1", "ok" },
                { "1 3 0 1", "exception 6" } } },
        { { "-n", "ref", "--exception", "402306:4", "--exception", "000005:3" },
            { { "1 3 2300 10", "exception 4" }, { "1 3 2306 1", "ok 0" },
                { "1 1 4 1", "exception 3" }, { "1 3 4 1", "ok 0" } } },
        // A plain address stands for every type.
        { { "--exception", "2305:4" },
            { { "1 1 2305 1", "exception 4" }, { "1 3 2305 1", "exception 4" } } },
        { { "--drop-every", "2", "--delay", "100" },
            { { "1 3 0 1", "ok 0" }, { "1 3 0 1", "none" }, { "1 3 0 1", "ok 0" } } },
    };
    for (const Case &c : cases) {
        std::string name;
        for (const std::string &arg : c.serve)
            name += arg + ' ';
        SCOPED_TRACE(name);
        serve(c.serve);
        expectExchanges(c.exchanges);
        m_serve.reset();
    }
}

TEST_F(ServeTest, SavesWhatMastersWroteAndDiesBySigterm)
{
    const std::string map = "tag,t,c,r,type,value\n"
                            "TT-1,1,1,1,REAL,20.5\n"
                            "\n"
                            "P-1,1,1,3,INT,7\n"
                            "bad,1,1,4,INT,Error\n";
    const fs::path input = file("map.csv", map), saved = m_dir / "saved.csv";
    serve({ "--header", "-f", "2-4", "--format-column", "type", "--value-column", "value", "--save",
        saved.string(), input.string() });
    // 21.75 as f32, and -3.
    expectExchanges({ { "1 16 2305 16814 0", "ok" }, { "1 6 2307 65533", "ok" } });
    m_serve->signal(SIGTERM);
    const std::optional<int> status = m_serve->end(10);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    EXPECT_EQ(readFile(saved),
        "tag,t,c,r,type,value\nTT-1,1,1,1,REAL,21.75\n\nP-1,1,1,3,INT,-3\nbad,1,1,4,INT,Error\n");
    const std::string text = log();
    EXPECT_NE(text.find("modbuscalc: 1 line left alone (1 Error)\n"), std::string::npos) << text;
    EXPECT_NE(
        text.find("function 16, address 2305, count 2: cell 1 1 1 = 21.75\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("function 6, address 2307, count 1: cell 1 1 3 = -3\n"), std::string::npos);
}

TEST_F(ServeTest, TheLogAsJsonLines)
{
    const fs::path map = file("map.csv", "1,1,1,f32,20.5\n");
    serve({ "--output", "json", "--format-column", "4", "--value-column", "5", map.string() });
    expectExchanges(
        { { "1 16 2305 16814 0", "ok" }, { "1 3 0 1", "ok 0" }, { "9 3 0 1", "exception 11" } });
    m_serve.reset();
    // Every line is JSON (Python's own reader says so), times and ports aside as
    // they come.
    writeFile(
        m_dir / "check.py", "import json, sys\nfor line in open(sys.argv[1]): json.loads(line)\n");
    EXPECT_EQ(std::system(("/usr/bin/python3 " + quote((m_dir / "check.py").string()) + ' '
                  + quote((m_dir / "serve.err").string()))
                              .c_str()),
        0);
    const std::string text = std::regex_replace(
        log(), std::regex("\"time\":\"[0-9T:.Z-]+\",\"peer\":\"127.0.0.1:[0-9]+\""), "T");
    for (const char *line : {
             "{T,\"unit\":1,\"function\":16,\"address\":2305,\"count\":2,\"written\":[{\"cell\":"
             "\"1 1 1\",\"address\":2305,\"value\":21.75}],\"answer\":\"value\"}\n",
             "{T,\"unit\":1,\"function\":3,\"address\":0,\"count\":1,\"answer\":\"value\"}\n",
             "{T,\"unit\":9,\"function\":3,\"address\":0,\"count\":1,\"answer\":\"exception\","
             "\"exception\":11}\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << text;
}

TEST_F(ServeTest, AMasterThatStallsHalfWayCostsTheOthersNothing)
{
    serve({});
    // Half a read request, and then nothing.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(m_port));
    ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const std::uint8_t half[] = { 0, 1, 0, 0, 0, 6, 1, 3 };
    ASSERT_EQ(::send(stalled, half, sizeof half, 0), static_cast<ssize_t>(sizeof half));
    // Meanwhile another master's every request is answered (within
    // pymodbus's one-second timeout).
    std::string requests, answers;
    for (int i = 0; i < 50; ++i) {
        requests += "1 6 " + std::to_string(i) + ' ' + std::to_string(i + 100) + "\n1 3 "
            + std::to_string(i) + " 1\n";
        answers += "ok\nok " + std::to_string(i + 100) + '\n';
    }
    EXPECT_EQ(peer(requests), answers);
    // The stalled one is closed, and says so.
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (log().find("closed: half a frame") == std::string::npos && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(log().find("closed: half a frame"), std::string::npos) << log();
    ::close(stalled);
}

TEST_F(ServeTest, OverRtuItAnswersItsUnitOnly)
{
    m_line.emplace(m_dir);
    if (!m_line->up())
        GTEST_SKIP() << "socat did not start (not installed?)";
    const fs::path map = file("map.csv", "1,1,1,1234\n");
    serve({ "--serial", m_line->ours(), "--parity", "N", "--unit", "7", "--value-column", "4",
        map.string() });
    expectExchanges(
        {
            { "7 3 2305 2", "ok 1234 0" },
            { "7 16 2306 5 6", "ok" },
            { "7 3 2305 3", "ok 1234 5 6" },
            { "7 15 0 1 1", "ok" },
            { "7 1 0 3", "ok 1 1 0" },
            { "8 3 0 1", "none" }, // another unit's: silence, as on a bus
            { "0 6 50 77", "none" }, // every unit's: done, and nobody answers
            { "7 3 50 1", "ok 77" },
            { "7 3 0 126", "exception 3" },
            { "7 4 0 1", "ok 0" },
        },
        m_line->theirs());
    // mbpoll at the same line, counting from 1.
    const std::string at = "-m rtu -b 19200 -P none -a 7 -1 ";
    if (!mbpoll(at + "-r 2306 " + m_line->theirs()).empty()) {
        EXPECT_EQ(mbpoll(at + "-r 2306 -c 3 " + m_line->theirs()),
            "[2306]: 1234\n[2307]: 5\n[2308]: 6\n");
        mbpoll("-m rtu -b 19200 -P none -a 7 -r 2310 " + m_line->theirs() + " 4321");
        EXPECT_EQ(mbpoll(at + "-r 2310 " + m_line->theirs()), "[2310]: 4321\n");
    }
    const std::string text = log();
    EXPECT_NE(text.find(m_line->ours()
                  + " unit 7: function 16, address 2306, count 2: "
                    "cell 1 1 2 = 5, cell 1 1 3 = 6\n"),
        std::string::npos)
        << text;
    EXPECT_EQ(text.find("unit 8"), std::string::npos) << text;
}

TEST_F(ServeTest, ScanFindsEachUnitServed)
{
    serve({ "--unit", "1,7,200" });
    const Result r = run({ "scan", "--host", host(), "--units", "1-250", "--timeout", "0.5" });
    EXPECT_EQ(r.out,
        "1 holding input coil discrete\n7 holding input coil discrete\n"
        "200 holding input coil discrete\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(ServeTest, ThePortIsTakenOrTheMapIsBad)
{
    const LocalPort taken(true);
    const Result busy = run({ "serve", "--listen", taken.host() });
    EXPECT_EQ(busy.status, 2);
    EXPECT_EQ(busy.err,
        "modbuscalc: cannot listen on " + taken.host() + ": port " + std::to_string(taken.port())
            + " is in use by another program\n");
    // A bad line is told with its line, and nothing is served.
    const fs::path map = file("map.csv", "1,1,1,5\n1,1,x,6\n1,1,1,7\n");
    const Result bad
        = run({ "serve", "--listen", "127.0.0.1:0", "--value-column", "4", map.string() });
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("map.csv:2: "), std::string::npos) << bad.err;
    EXPECT_NE(
        bad.err.find("map.csv:3: cell 1 1 1: line 1 writes the same register"), std::string::npos)
        << bad.err;
    EXPECT_NE(bad.err.find("nothing served"), std::string::npos);
}

// The README's walk-through without a device, each command as it stands
// there (the port made a free one), its output as the README shows it:
// times, and the values of a register that counts, as they come.
TEST_F(ServeTest, TheReadmeWalkThrough)
{
    const std::string readme = readFile(fs::path(MODBUSCALC_SOURCE_DIR) / "README.md");
    const std::size_t start = readme.find("## Try it without a device");
    ASSERT_NE(start, std::string::npos);
    const std::size_t block = readme.find("```console\n", start) + 11;
    const std::string text = readme.substr(block, readme.find("```\n", block) - block);
    m_workingDirectory = MODBUSCALC_SOURCE_DIR;
    const int port = LocalPort(false).port();
    const auto masked = [](std::string out) {
        out = std::regex_replace(out, std::regex("[0-9-]+T[0-9:.]+Z"), "TIME");
        return std::regex_replace(out, std::regex("(TIME [0-9]+) [0-9]+"), "$1 N");
    };
    std::istringstream lines(text);
    std::vector<std::pair<std::string, std::string>> commands; // and what they print
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("$ "))
            commands.emplace_back(line.substr(2), "");
        else if (!commands.empty())
            commands.back().second += line + '\n';
    }
    ASSERT_GE(commands.size(), 5u);
    int ran = 0;
    for (auto [command, shown] : commands) {
        SCOPED_TRACE(command);
        ASSERT_TRUE(command.starts_with("modbuscalc ")) << command;
        command = std::regex_replace(
            command, std::regex("127\\.0\\.0\\.1:5020"), "127.0.0.1:" + std::to_string(port));
        std::istringstream words(command.substr(11));
        std::vector<std::string> args;
        for (std::string word; words >> word;)
            args.push_back(word);
        if (args.back() == "&") {
            // serve, in the background: the port made the free one.
            args.pop_back();
            args.erase(args.begin());
            args.insert(args.begin(), { "--listen", "127.0.0.1:" + std::to_string(port) });
            for (std::string &arg : args)
                if (arg.starts_with("examples/"))
                    arg = (fs::path(MODBUSCALC_SOURCE_DIR) / arg).string();
            const auto until = Clock::now() + std::chrono::seconds(20);
            args.insert(args.begin(), "serve");
            fs::remove(m_dir / "serve.err");
            m_serve.emplace(args, "/dev/null", m_dir / "serve.out", m_dir / "serve.err");
            while (!accepts(port) && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_TRUE(accepts(port)) << log();
            EXPECT_EQ(
                std::regex_replace(log(), std::regex(":" + std::to_string(port)), ":5020"), shown);
        } else {
            const Result r = run(args);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(masked(r.out + r.err), masked(shown));
        }
        ++ran;
    }
    EXPECT_EQ(ran, static_cast<int>(commands.size()));
}

} // namespace
