// A plant's map of several devices, end to end: pymodbus's server, a
// modbuscalc serve with two units of its own values, and a host that takes
// connections and never answers. read (once and watching), write and
// serve, each line from its own device and unit, a dead device costing
// its own lines only; then export's files against golden files read
// against each engine's documentation, and what export refuses.

#include "device_harness.h"

#include <map>
#include <regex>

namespace {

using namespace modbuscalc_test;

class PlantTest : public ModbuscalcTest {
protected:
    void TearDown() override
    {
        m_served.clear();
        m_pymodbus.reset();
        ModbuscalcTest::TearDown();
    }

    // modbuscalc serve with these arguments, on a free port unless told: its
    // host.
    std::string serve(std::vector<std::string> args, const std::string &listen = "127.0.0.1:0")
    {
        const std::string name = "serve" + std::to_string(m_served.size());
        args.insert(args.begin(), { "serve", "--listen", listen, "-q" });
        m_served.push_back(std::make_unique<Background>(
            args, "/dev/null", m_dir / (name + ".out"), m_dir / (name + ".err")));
        const auto until = Clock::now() + std::chrono::seconds(20);
        const std::regex where("127\\.0\\.0\\.1:([0-9]+)");
        std::smatch found;
        std::string text;
        while (!std::regex_search(text = readFile(m_dir / (name + ".err")), found, where)) {
            if (Clock::now() > until) {
                ADD_FAILURE() << "serve did not start: " << text;
                return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "127.0.0.1:" + found[1].str();
    }

    // pymodbus's server (holding register a holds a): its host, or "" when
    // it cannot start here.
    std::string pymodbus()
    {
        const int port = LocalPort(false).port();
        m_pymodbus.emplace(Service::python("modbus_server.py", { std::to_string(port) }),
            [port] { return accepts(port); });
        return m_pymodbus->up() ? "127.0.0.1:" + std::to_string(port) : std::string();
    }

    // Two units behind one host, each with values of its own; a line
    // without a unit is unit 1's.
    std::string twoUnits()
    {
        return serve({ "--unit", "1", "--header", "--unit-column", "unit", "--value-column",
            "value",
            file("units.csv",
                "unit,table,column,row,value\n1,0,0,1,111\n2,0,0,1,222\n,0,0,2,100\n2,0,0,2,200\n")
                .string() });
    }

    std::vector<std::unique_ptr<Background>> m_served;
    std::optional<Service> m_pymodbus;
};

TEST_F(PlantTest, EachLineFromItsOwnDeviceAndADeadOneCostsItsOwnLinesOnly)
{
    const std::string py = pymodbus();
    if (py.empty())
        GTEST_SKIP() << "python3-pymodbus is not installed";
    const std::string units = twoUnits();
    const LocalPort silent(true);
    // The silent host's lines are far apart: three requests, given up on.
    const std::string map = "host,unit,table,column,row\n" + silent.host() + ",1,0,0,1\n" // 2
        + units + ",1,0,0,1\n" // 3
        + py + ",1,1,1,1\n" // 4
        + units + ",2,0,0,1\n" // 5
        + silent.host() + ",1,5,0,0\n" // 6
        + ",,0,0,2\n" // 7: --host, --unit
        + units + ",2,0,0,2\n" // 8
        + silent.host() + ",1,9,0,0\n" // 9
        + py + ",1,2,0,3\n"; // 10
    const Result r = run({ "read", "--header", "--host-column", "host", "--unit-column", "unit",
        "--host", units, "--timeout", "0.2", file("plant.csv", map).string() });
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out,
        "host,unit,table,column,row,address,value\n" + silent.host() + ",1,0,0,1,1,Error\n" + units
            + ",1,0,0,1,1,111\n" + py + ",1,1,1,1,2305,2305\n" + units + ",2,0,0,1,1,222\n"
            + silent.host() + ",1,5,0,0,10240,Error\n,,0,0,2,2,100\n" + units + ",2,0,0,2,2,200\n"
            + silent.host() + ",1,9,0,0,18432,Error\n" + py + ",1,2,0,3,4099,4099\n");
    EXPECT_NE(r.err.find(silent.host() + " unit 1: no answer to 3 requests in a row; giving up"),
        std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("modbuscalc: 1 of 4 devices given up on: " + silent.host() + " unit 1\n"),
        std::string::npos)
        << r.err;
}

TEST_F(PlantTest, ALineWhoseDeviceIsNoneIsRejected)
{
    const std::string map = "host,unit,row\n"
                            "127.0.0.1:1,x,0\n"
                            "127.0.0.1:1,256,0\n"
                            ",1,0\n"
                            "127.0.0.1:99999,1,0\n";
    file("bad.csv", map);
    m_workingDirectory = m_dir;
    const Result r = run({ "read", "--header", "--host-column", "host", "--unit-column", "unit",
        "--columns", "row", "-n", "address", "bad.csv" });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
        "host,unit,row,address,value\n127.0.0.1:1,x,0,Error,Error\n127.0.0.1:1,256,0,Error,Error\n"
        ",1,0,Error,Error\n127.0.0.1:99999,1,0,Error,Error\n");
    EXPECT_EQ(r.err,
        "modbuscalc: bad.csv:2: field 2 ('x') is not a unit (0 to 255 over TCP)\n"
        "modbuscalc: bad.csv:3: field 2 ('256') is not a unit (0 to 255 over TCP)\n"
        "modbuscalc: bad.csv:4: field 1 is empty: no host, and --host gives none\n"
        "modbuscalc: bad.csv:5: field 1 ('127.0.0.1:99999') is not a host (HOST[:PORT])\n");
}

TEST_F(PlantTest, AWatchPollsEachHostOnItsOwnSchedule)
{
    const std::string units = twoUnits();
    const LocalPort silent(true);
    const std::string map = "host,unit,table,column,row\n" + units + ",1,0,0,1\n" + silent.host()
        + ",1,0,0,1\n" + units + ",2,0,0,1\n";
    const Result r = run({ "read", "--header", "--host-column", "host", "--unit-column", "unit",
        "--timeout", "0.1", "--interval", "0.2", "--polls", "3", "--output", "csv",
        file("plant.csv", map).string() });
    EXPECT_EQ(r.status, 1) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "time,host,unit,table,column,row,address,value\r");
    // Each host's lines of a poll together, in the map's order; the hosts
    // each at their own pace.
    std::map<std::string, std::vector<std::string>> byHost;
    while (std::getline(lines, line)) {
        const std::string record = line.substr(line.find(',') + 1);
        byHost[record.substr(0, record.find(','))].push_back(record);
    }
    const std::vector<std::string> live
        = { units + ",1,0,0,1,1,111\r", units + ",2,0,0,1,1,222\r", units + ",1,0,0,1,1,111\r",
              units + ",2,0,0,1,1,222\r", units + ",1,0,0,1,1,111\r", units + ",2,0,0,1,1,222\r" };
    EXPECT_EQ(byHost[units], live);
    EXPECT_EQ(
        byHost[silent.host()], std::vector<std::string>(3, silent.host() + ",1,0,0,1,1,Error\r"));
    EXPECT_NE(r.err.find("3 polls, 9 values, 3 failed"), std::string::npos) << r.err;
}

TEST_F(PlantTest, AWatchTellsWhereADeviceGoesAndWhereItIsBack)
{
    const std::string units = twoUnits();
    const std::string late = "127.0.0.1:" + std::to_string(LocalPort(false).port());
    // Three requests a poll to the late device: given up on in its first.
    const std::string map = "host,table,column,row\n" + units + ",0,0,1\n" + late + ",0,0,1\n"
        + late + ",5,0,0\n" + late + ",9,0,0\n";
    Background watch({ "read", "--header", "--host-column", "host", "--timeout", "0.2",
                         "--interval", "0.3", "--polls", "15", file("plant.csv", map).string() },
        "/dev/null", m_dir / "watch.out", m_dir / "watch.err");
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (readFile(m_dir / "watch.err").find(late + " unit 1: no answer to 3 requests")
        == std::string::npos) {
        ASSERT_LT(Clock::now(), until) << readFile(m_dir / "watch.err");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    serve({}, late);
    const std::optional<int> ended = watch.end(30);
    ASSERT_TRUE(ended);
    const std::string err = readFile(m_dir / "watch.err");
    const std::size_t gone = err.find(late + " unit 1: no answer to 3 requests in a row");
    const std::size_t back = err.find(late + " unit 1: answering again");
    EXPECT_NE(gone, std::string::npos) << err;
    EXPECT_NE(back, std::string::npos) << err;
    EXPECT_LT(gone, back) << err;
    // Told once each, and its lines read once it is back.
    EXPECT_EQ(err.find(late + " unit 1: no answer", gone + 1), std::string::npos) << err;
    EXPECT_NE(
        readFile(m_dir / "watch.out").find("," + late + ",9,0,0,18432,0\n"), std::string::npos);
}

TEST_F(PlantTest, AMapWritesEachDeviceItsOwnLines)
{
    const std::string units = twoUnits();
    const std::string map = "host,unit,table,column,row,value\n" + units + ",1,0,0,5,51\n" + units
        + ",2,0,0,5,52\n" + units + ",2,0,0,6,62\n127.0.0.1:1,1,0,0,5,9\n";
    const fs::path path = file("write.csv", map);
    const std::vector<std::string> common
        = { "--header", "--host-column", "host", "--unit-column", "unit" };
    std::vector<std::string> dry = { "write", "--value-column", "value", "--dry-run" };
    dry.insert(dry.end(), common.begin(), common.end());
    dry.push_back(path.string());
    const Result planned = run(dry);
    EXPECT_EQ(planned.status, 0) << planned.err;
    EXPECT_EQ(planned.out,
        units + " unit 1:\nfunction 6, address 5, count 1: 0x0033\n" + units
            + " unit 2:\nfunction 16, address 5, count 2: 0x0034 0x003E\n"
              "127.0.0.1:1 unit 1:\nfunction 6, address 5, count 1: 0x0009\n");

    // One register written twice on one device is refused; on two, it is not.
    const Result twice = run({ "write", "--yes", "--value-column", "value", "--header",
        "--host-column", "host", "--unit-column", "unit",
        file("twice.csv", "host,unit,row,value\n" + units + ",2,5,1\n" + units + ",2,5,2\n")
            .string(),
        "--columns", "row", "-n", "address" });
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("twice.csv:3: address 5: line 2 writes the same register (5)"),
        std::string::npos)
        << twice.err;

    std::vector<std::string> write
        = { "write", "--value-column", "value", "--yes", "--timeout", "0.2" };
    write.insert(write.end(), common.begin(), common.end());
    write.push_back(path.string());
    const Result written = run(write);
    EXPECT_EQ(written.status, 1) << written.err; // the last line's device refuses
    EXPECT_NE(
        written.err.find("write.csv:5: cell 0 0 5: 127.0.0.1:1 unit 1: no connection: refused"),
        std::string::npos)
        << written.err;

    std::vector<std::string> read = { "read", "--columns", "table,column,row" };
    read.insert(read.end(), common.begin(), common.end());
    read.push_back(path.string());
    const Result back = run(read);
    EXPECT_EQ(back.out,
        "host,unit,table,column,row,value,address,value\n" + units + ",1,0,0,5,51,5,51\n" + units
            + ",2,0,0,5,52,5,52\n" + units + ",2,0,0,6,62,6,62\n127.0.0.1:1,1,0,0,5,9,5,Error\n");
}

// What export writes for the map in tests/export, with the settings each
// golden file was written with.
TEST_F(PlantTest, ExportWritesWhatEachEngineDocuments)
{
    m_workingDirectory = fs::path(MODBUSCALC_SOURCE_DIR) / "tests" / "export";
    for (const auto &[target, golden] : { std::pair { "telegraf", "plant.telegraf.toml" },
             std::pair { "home-assistant", "plant.home-assistant.yaml" },
             std::pair { "node-red", "plant.node-red.json" } }) {
        SCOPED_TRACE(target);
        const Result r = run({ "export", "--to", target, "--header", "--name-column", "name",
            "--host-column", "host", "--unit-column", "unit", "--format-column", "format", "-n",
            "ref", "--serial", "/dev/ttyUSB0", "--baud", "9600", "--parity", "N", "--unit", "7",
            "--word-order", "CDAB", "--interval", "10", "--timeout", "0.5", "plant.csv" });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, readFile(m_workingDirectory / golden));
    }
}

TEST_F(PlantTest, ExportRefusesWhatAnEngineCannotTakeAndWritesNothing)
{
    struct Case {
        std::vector<std::string> args;
        std::string map;
        std::string err;
    };
    const Case cases[] = {
        // Names that become one for the engine.
        { { "--to", "telegraf" }, "name,ref\nFlow-1,400001\nFlow 1,400002\n",
            "map.csv:3: the name 'Flow 1' is line 2's 'Flow-1' for telegraf (both Flow_1)" },
        { { "--to", "home-assistant" }, "name,ref\nTemp 1,400001\ntemp-1,400002\n",
            "map.csv:3: the name 'temp-1' is line 2's 'Temp 1' for home-assistant (both "
            "temp_1)" },
        { { "--to", "node-red" }, "name,ref\nA,400001\nA,400002\n",
            "map.csv:3: the name 'A' is line 2's too" },
        // The same name on two units, or as a sensor and a binary sensor, is two.
        { { "--to", "telegraf", "--unit-column", "unit" },
            "name,ref,unit\nA,400001,1\nA,400001,2\nA,000001,1\n", "" },
        { { "--to", "home-assistant" }, "name,ref\nA,400001\nA,000001\n", "" },
        { { "--to", "home-assistant" }, "name,ref\nVentil Ä,400001\nVentil Ö,400002\n", "" },
        // A setting the engine cannot hold.
        { { "--to", "home-assistant", "--interval", "2.5" }, "name,ref\nA,400001\n",
            "Home Assistant polls in whole seconds: --interval 2.5 cannot be written for it" },
        { { "--to", "node-red", "--interval", "0.0001" }, "name,ref\nA,400001\n",
            "node-red-contrib-modbus polls in whole milliseconds" },
        // A line read would reject.
        { { "--to", "telegraf" }, "name,ref\nA,400001\nB,900001\n",
            "map.csv:3: field 2 ('900001') is not a reference" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.map);
        std::vector<std::string> args
            = { "export", "--host", "192.0.2.1", "--header", "--name-column", "name", "-n", "ref" };
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(file("map.csv", c.map).string());
        const Result r = run(args);
        if (c.err.empty()) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out, "");
            continue;
        }
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

} // namespace
