// modbuscalc end to end, through the built program: single conversions in
// both modes and out of range, usage errors, register lists with each
// separator, headers, CRLF and byte-order marks, rejected lines, hostile
// bytes and files, and every cell there and back in both modes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

namespace fs = std::filesystem;

struct Result {
    std::string out, err;
    int status = -1;
};

std::string readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

void writeFile(const fs::path &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string out;
    int status;
    std::string err; // a part of standard error; empty: nothing at all
};

class ModbuscalcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Unique even when several test processes run at once.
        m_dir = fs::temp_directory_path()
            / ("modbuscalc_test_"
                + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + '_'
                + std::to_string(std::random_device()()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path file(const std::string &name, const std::string &text)
    {
        writeFile(m_dir / name, text);
        return m_dir / name;
    }

    // Runs the program with args and input on its standard input; redirect
    // replaces the standard output's redirection (POSIX shells only).
    Result run(const std::vector<std::string> &args, const std::string &input = {},
        const std::string &redirect = {})
    {
        const fs::path in = file("stdin", input), out = m_dir / "stdout", err = m_dir / "stderr";
        std::string command = quote(program());
        for (const std::string &arg : args)
            command += ' ' + quote(arg);
        command += " <" + quote(in.string()) + " 2>" + quote(err.string()) + ' '
            + (redirect.empty() ? ">" + quote(out.string()) : redirect);
        writeFile(out, "");
#ifdef _WIN32
        command = '"' + command + '"'; // cmd /c takes the outer quotes off
#endif
        int raw = std::system(command.c_str());
#ifdef _WIN32
        // 9009: the shell could not start the command at all, as Wine's cmd
        // once in a while cannot on a fresh prefix. Once more, then it counts.
        if (raw == 9009)
            raw = std::system(command.c_str());
#endif
        Result result { readFile(out), readFile(err), raw };
#ifdef _WIN32
        // Messages are text, written with the system's line ends.
        for (std::size_t at; (at = result.err.find("\r\n")) != std::string::npos;)
            result.err.erase(at, 1);
#else
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
#endif
        return result;
    }

    static std::string program()
    {
        std::string path = MODBUSCALC_PROGRAM;
#ifdef _WIN32
        // Under Wine the build folder's Unix path is on drive Z:.
        if (!path.empty() && path.front() == '/')
            path = "Z:" + path;
        for (char &c : path)
            c = c == '/' ? '\\' : c;
#endif
        return path;
    }

    static std::string quote(const std::string &arg)
    {
#ifdef _WIN32
        return '"' + arg + '"';
#else
        std::string quoted = "'";
        for (char c : arg)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
#endif
    }

    void expectCases(const std::vector<Case> &cases)
    {
        for (const Case &c : cases) {
            std::string name;
            for (const auto &arg : c.args)
                name += arg + ' ';
            SCOPED_TRACE("modbuscalc " + name + "with input \"" + c.input.substr(0, 60) + "\"");
            const Result r = run(c.args, c.input);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.status, c.status);
            if (c.err.empty())
                EXPECT_EQ(r.err, "");
            else
                EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
    }

    fs::path m_dir;
};

TEST_F(ModbuscalcTest, SingleConversionsShowWhatTheWindowShows)
{
    expectCases({
        { { "address", "5", "0", "1" }, "", "10241\n", 0, "" },
        { { "address", "31", "7", "255" }, "", "65535\n", 0, "" },
        { { "-m", "address", "31", "7", "255" }, "", "65536\n", 0, "" },
        { { "address", "5", "0", "0", "--modbus" }, "", "10241\n", 0, "" },
        { { "address", "0", "0", "1.5" }, "", "1.5\n", 0, "" },
        { { "address", "2.5", "0", "0" }, "", "5120\n", 0, "" },
        { { "address", "&H1F", "7", "255" }, "", "65535\n", 0, "" },
        { { "address", "-1", "0", "0" }, "", "Error\n", 1, "" },
        { { "address", "32", "0", "0" }, "", "Error\n", 1, "" },
        { { "address", "0", "0", "255.5" }, "", "Error\n", 1, "" },
        { { "address", "1E400", "0", "0" }, "", "Error\n", 1, "" },
        { { "cell", "10241" }, "", "5 0 1\n", 0, "" },
        { { "cell", "-m", "10241" }, "", "5 0 0\n", 0, "" },
        { { "cell", "65535" }, "", "31 7 255\n", 0, "" },
        { { "cell", "100.5" }, "", "0 0 100.5\n", 0, "" },
        { { "cell", "65536" }, "", "Error Error Error\n", 1, "" },
        { { "--modbus", "cell", "0" }, "", "Error Error Error\n", 1, "" },
        { { "cell", "-.5" }, "", "Error Error Error\n", 1, "" },
    });
}

TEST_F(ModbuscalcTest, SingleConversionsRejectWhatIsNotANumber)
{
    expectCases({
        { { "cell", "12abc" }, "", "Error Error Error\n", 1, "'12abc' is not a number" },
        { { "address", "1", "", "3" }, "", "Error\n", 1, "'' is not a number" },
        { { "address", "1", "2", "5E" }, "", "Error\n", 1, "'5E' is not a number" },
        // Leniently, as the window reads its fields.
        { { "--lenient", "cell", "12abc" }, "", "0 0 12\n", 0, "" },
        { { "address", "abc", "", "7", "--lenient" }, "", "7\n", 0, "" },
    });
}

TEST_F(ModbuscalcTest, UsageErrorsPointToHelp)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>> {
             { "address", "1", "2" },
             { "address", "1", "2", "3", "4" },
             { "cell", "1", "2" },
             { "--bogus", "cell", "1" },
             { "cell", "--bogus", "1" },
             { "frobnicate" },
             {},
             { "address", "1", "2", "3", "--", "list.csv" },
         }) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("modbuscalc --help"), std::string::npos) << r.err;
    }

    const Result version = run({ "--version" });
    EXPECT_EQ(version.out, "modbuscalc 1.00\n");
    EXPECT_EQ(version.status, 0);
    const Result help = run({ "--help" });
    EXPECT_NE(help.out.find("Examples:"), std::string::npos);
    EXPECT_EQ(help.status, 0);
}

TEST_F(ModbuscalcTest, ListsKeepEachLineAsItStood)
{
    const std::string bom = "\xEF\xBB\xBF";
    expectCases({
        // Each separator, and the line's own one in the output.
        { { "address" }, "3,5,17\n", "3,5,17,7441\n", 0, "" },
        { { "address" }, "3;5;17\n", "3;5;17;7441\n", 0, "" },
        { { "address" }, "3\t5\t17\n", "3\t5\t17\t7441\n", 0, "" },
        { { "address" }, "3 5 17\n", "3 5 17 7441\n", 0, "" },
        { { "address" }, " 3 ,  5,17 \n", " 3 ,  5,17 ,7441\n", 0, "" },
        { { "cell" }, "7441\n", "7441 3 5 17\n", 0, "" },
        { { "cell" }, "7441;\n", "7441;;Error;Error;Error\n", 1, "expected 1 field, found 2" },
        { { "-m", "cell" }, "1\n0\n", "1 0 0 0\n0 Error Error Error\n", 1, "" },
        // Line ends, byte-order mark, blank lines, no newline at the end.
        { { "address" }, "3,5,17\r\n1,2,3\r\n", "3,5,17,7441\r\n1,2,3,2563\r\n", 0, "" },
        { { "address" }, bom + "3,5,17\n", bom + "3,5,17,7441\n", 0, "" },
        { { "address" }, "3,5,17\n\n \n1,2,3", "3,5,17,7441\n\n \n1,2,3,2563\n", 0, "" },
        { { "address" }, "", "", 0, "" },
        // Headers.
        { { "address", "--header" }, bom + "table,column,row\r\n3,5,17\r\n",
            bom + "table,column,row,address\r\n3,5,17,7441\r\n", 0, "" },
        { { "--header", "cell" }, "address\n7441\n", "address table column row\n7441 3 5 17\n", 0,
            "" },
        { { "address" }, "table,column,row\n3,5,17\n", "table,column,row,Error\n3,5,17,7441\n", 1,
            "<stdin>:1: field 1 ('table') is not a number" },
    });
}

TEST_F(ModbuscalcTest, RejectedLinesAreReportedAndTheRestConverted)
{
    const std::string input = "3,5,17\n12abc,0,0\n1,2\n1,,3\n32,0,0\n1,2,3\n";
    const Result r = run({ "address" }, input);
    EXPECT_EQ(
        r.out, "3,5,17,7441\n12abc,0,0,Error\n1,2,Error\n1,,3,Error\n32,0,0,Error\n1,2,3,2563\n");
    EXPECT_EQ(r.err,
        "modbuscalc: <stdin>:2: field 1 ('12abc') is not a number\n"
        "modbuscalc: <stdin>:3: expected 3 fields, found 2\n"
        "modbuscalc: <stdin>:4: field 2 is empty\n");
    EXPECT_EQ(r.status, 1);

    // Leniently, the window's reading: the leading number, else 0.
    expectCases({
        { { "--lenient", "address" }, "12abc,,7\n1,2\n", "12abc,,7,24583\n1,2,Error\n", 1,
            "<stdin>:2: expected 3 fields, found 2" },
    });
}

TEST_F(ModbuscalcTest, HostileBytesNeverStopTheRest)
{
    const std::string nul("1\0,2,3\n", 7);
    expectCases({
        { { "address" }, nul + "\xFF\xFE,1,1\n1,2,3\n",
            nul.substr(0, 6) + ",Error\n\xFF\xFE,1,1,Error\n1,2,3,2563\n", 1,
            "field 1 ('1\\x00') is not a number" },
        { { "address" }, "1,2,3\n" + std::string((1 << 20) + 10, '7') + "\n4,5,6\n",
            "1,2,3,2563\nError\n4,5,6,9478\n", 1, "<stdin>:2: line longer than 1048576 bytes" },
    });

    // A binary file: one output line for each input line, and no crash.
    std::string binary;
    for (int i = 0; i < 200'000; ++i)
        binary += static_cast<char>((i * 7919 + i / 13) % 256);
    const Result r = run({ "cell" }, binary);
    EXPECT_EQ(r.status, 1);
    const auto lines = [](const std::string &s) { return std::count(s.begin(), s.end(), '\n'); };
    EXPECT_EQ(lines(r.out), lines(binary) + (binary.back() == '\n' ? 0 : 1));
}

TEST_F(ModbuscalcTest, FilesAfterTheDoubleDash)
{
    const fs::path a = file("a.csv", "3,5,17\nx,1,1\n");
    const fs::path missing = m_dir / "missing.csv";
    const Result r = run({ "address", "--", a.string(), missing.string(), "-" }, "1,2,3\n");
    EXPECT_EQ(r.out, "3,5,17,7441\nx,1,1,Error\n1,2,3,2563\n");
    EXPECT_NE(r.err.find(a.string() + ":2: field 1 ('x') is not a number"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("modbuscalc: " + missing.string() + ": "), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);

    // Negative numbers are numbers, not options.
    EXPECT_EQ(run({ "address", "-1", "-2", "-3" }).out, "Error\n");
}

#ifndef _WIN32
TEST_F(ModbuscalcTest, AClosedOutputIsAFailure)
{
    for (const std::vector<std::string> &args :
        std::vector<std::vector<std::string>> { { "address", "1", "2", "3" }, { "cell" } }) {
        const Result r = run(args, "7441\n", ">&-");
        EXPECT_NE(r.status, 0);
        EXPECT_LT(r.status, 128); // ended by itself, not by a signal
        EXPECT_NE(r.err.find("write error"), std::string::npos) << r.err;
    }
}
#endif

// Every cell, as one list, to its address and back, in both modes.
TEST_F(ModbuscalcTest, EveryCellThereAndBack)
{
    for (const int offset : { 0, 1 }) {
        SCOPED_TRACE(offset ? "Modbus" : "absolute");
        const std::vector<std::string> mode
            = offset ? std::vector<std::string> { "-m" } : std::vector<std::string> {};
        std::string cells, expectedAddresses, addresses, expectedCells;
        for (int t = 0; t < 32; ++t) {
            for (int c = 0; c < 8; ++c) {
                for (int r = 0; r < 256; ++r) {
                    const std::string cell
                        = std::to_string(t) + ',' + std::to_string(c) + ',' + std::to_string(r);
                    const std::string address = std::to_string(t * 2048 + c * 256 + r + offset);
                    cells += cell + '\n';
                    expectedAddresses += cell + ',' + address + '\n';
                    addresses += address + '\n';
                    expectedCells += address + ' ' + std::to_string(t) + ' ' + std::to_string(c)
                        + ' ' + std::to_string(r) + '\n';
                }
            }
        }
        std::vector<std::string> args = mode;
        args.push_back("address");
        const Result there = run(args, cells);
        EXPECT_EQ(there.status, 0);
        EXPECT_TRUE(there.out == expectedAddresses);

        args.back() = "cell";
        const Result back = run(args, addresses);
        EXPECT_EQ(back.status, 0);
        EXPECT_TRUE(back.out == expectedCells);
    }
}

} // namespace
