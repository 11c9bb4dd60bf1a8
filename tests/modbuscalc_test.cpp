// modbuscalc end to end, through the built program: single conversions in
// both modes and out of range, usage errors, register lists with each
// separator, headers, CRLF and byte-order marks, rejected lines, hostile
// bytes and files, and every cell there and back in both modes.

#include "version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
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
#else
        if (!m_workingDirectory.empty())
            command = "cd " + quote(m_workingDirectory.string()) + " && " + command;
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
    fs::path m_workingDirectory; // empty: the test's own
};

TEST_F(ModbuscalcTest, SingleConversionsShowWhatTheWindowShows)
{
    expectCases({
        { { "address", "5", "0", "1" }, "", "10241\n", 0, "" },
        { { "address", "31", "7", "255" }, "", "65535\n", 0, "" },
        { { "-m", "address", "31", "7", "255" }, "", "65536\n", 0, "" },
        { { "address", "5", "0", "0", "--modbus" }, "", "10241\n", 0, "" },
        { { "--lenient", "address", "0", "0", "1.5" }, "", "1.5\n", 0, "" },
        { { "--lenient", "address", "2.5", "0", "0" }, "", "5120\n", 0, "" },
        { { "address", "&H1F", "7", "255" }, "", "65535\n", 0, "" },
        { { "address", "-1", "0", "0" }, "", "Error\n", 1, "" },
        { { "address", "32", "0", "0" }, "", "Error\n", 1, "" },
        { { "--lenient", "address", "0", "0", "255.5" }, "", "Error\n", 1, "" },
        { { "address", "1E400", "0", "0" }, "", "Error\n", 1, "" },
        { { "cell", "10241" }, "", "5 0 1\n", 0, "" },
        { { "cell", "-m", "10241" }, "", "5 0 0\n", 0, "" },
        { { "cell", "65535" }, "", "31 7 255\n", 0, "" },
        { { "cell", "100.5", "--lenient" }, "", "0 0 100.5\n", 0, "" },
        { { "cell", "65536" }, "", "Error Error Error\n", 1, "" },
        { { "--modbus", "cell", "0" }, "", "Error Error Error\n", 1, "" },
        { { "cell", "-.5", "--lenient" }, "", "Error Error Error\n", 1, "" },
    });
}

TEST_F(ModbuscalcTest, SingleConversionsRejectWhatIsNotANumber)
{
    expectCases({
        { { "cell", "12abc" }, "", "Error Error Error\n", 1, "'12abc' is not a number" },
        { { "address", "1", "", "3" }, "", "Error\n", 1, "'' is empty" },
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
         }) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("modbuscalc --help"), std::string::npos) << r.err;
    }

    for (const char *flag : { "--version", "-V" }) {
        const Result version = run({ flag });
        EXPECT_TRUE(
            version.out.starts_with("modbuscalc " MODBUSCALC_VERSION "\nCopyright (C) 2026 "))
            << version.out;
        EXPECT_NE(version.out.find("\nLicense: MIT"), std::string::npos) << version.out;
        EXPECT_EQ(version.status, 0);
    }
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
        { { "cell" }, "7441;2\n", "7441;2;Error;Error;Error\n", 1, "expected 1 field, found 2" },
        { { "-m", "cell" }, "1\n0\n", "1 0 0 0\n0 Error Error Error\n", 1,
            "<stdin>:2: address 0 is out of range" },
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
        "modbuscalc: <stdin>:4: field 2 is empty\n"
        "modbuscalc: <stdin>:5: cell 32 0 0 is out of range\n");
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
    EXPECT_EQ(r.status, 2); // a file that cannot be read is trouble, not data

    // Negative numbers are numbers, not options.
    EXPECT_EQ(run({ "address", "-1", "-2", "-3" }).out, "Error\n");
}

TEST_F(ModbuscalcTest, RegisterMapsAsSpreadsheetsWriteThem)
{
    expectCases({
        // Quotes, separators and line breaks inside them, doubled quotes.
        { { "address" }, "\"3\",\"5\",\"17\"\n", "\"3\",\"5\",\"17\",7441\n", 0, "" },
        { { "address", "-f", "3-5" }, "R1,\"a, b\",3,5,17\n", "R1,\"a, b\",3,5,17,7441\n", 0, "" },
        { { "address", "-f", "2,3,4" }, "\"two\nlines\",3,5,17\r\n\"x \"\"y\"\"\",1,2,3\r\n",
            "\"two\nlines\",3,5,17,7441\r\n\"x \"\"y\"\"\",1,2,3,2563\r\n", 0, "" },
        { { "address" }, "\"3,5,17\n", "\"3,5,17,Error\n", 1, "has no closing quote" },
        // Spreadsheets pad rows with empty fields; other columns need -f.
        { { "address" }, "3,5,17,,,\n", "3,5,17,,,,7441\n", 0, "" },
        { { "address" }, "TAG1,3,5,17\n", "TAG1,3,5,17,Error\n", 1, "choose the columns with -f" },
        { { "address", "-f", "5,2,9" }, "1,5,3,4,17\n", "1,5,3,4,17,Error\n", 1, "no field 9" },
        { { "-d", ";", "address" }, "3,5;1;2\n", "3,5;1;2;Error\n", 1, "('3,5') is not a number" },
        // By header name, whatever the case; each input's own header.
        { { "--header", "--columns", "TABLE,Column,row", "address" },
            "Tag;Row;Column;Table\nX;17;5;3\n", "Tag;Row;Column;Table;address\nX;17;5;3;7441\n", 0,
            "" },
        { { "--header", "--columns", "table,col,row", "address" }, "table,column,row\n3,5,17\n", "",
            2, "<stdin>: no column 'col' in the header" },
        { { "--columns", "a,b,c", "address" }, "", "", 2, "give --header too" },
        { { "-f", "1,2", "address" }, "", "", 2, "address reads 3 columns, not 2" },
        // One column: the separator of -d, else a blank on standard input.
        { { "cell" }, "7441\n", "7441 3 5 17\n", 0, "" },
        { { "cell", "-d", "," }, "7441\n", "7441,3,5,17\n", 0, "" },
        // Out of range, quietly or not; every notation's Error marks joined
        // with the file's own separator.
        { { "address", "-q" }, "32,0,0\n1,2,3\n", "32,0,0,Error\n1,2,3,2563\n", 1, "" },
        { { "address", "-a" }, "1,1,1\n" + std::string((1 << 20) + 1, ' ') + "\n",
            "1,1,1,2305,2306,402306,0x0901\nError,Error,Error,Error\n", 1, "longer than" },
        { { "--header", "-a", "address" }, "t;c;r\n1;1;1\n",
            "t;c;r;pdu;register;reference;hex\n1;1;1;2305;2306;402306;0x0901\n", 0, "" },
    });

    // The longest line allowed, blanks and all, is read; one byte more is not.
    const std::string longest = "3,5,17" + std::string((1 << 20) - 6, ' ');
    expectCases({
        { { "address" }, longest + "\n", longest + ",7441\n", 0, "" },
        { { "address" }, longest + " \n1,2,3\n", "Error\n1,2,3,2563\n", 1, "longer than" },
    });

    // A one-column file takes its extension's separator; two files each with
    // their own header.
    const fs::path csv = file("one.csv", "address\n7441\n");
    const fs::path tsv = file("one.tsv", "address\n2563\n");
    const Result r = run({ "--header", "cell", csv.string(), tsv.string() });
    EXPECT_EQ(r.out,
        "address,table,column,row\n7441,3,5,17\naddress\ttable\tcolumn\trow\n2563\t1\t2\t3\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(ModbuscalcTest, WholeNumbersHexAndEveryNotation)
{
    expectCases({
        // Strictly, no fractions: a cell has none, nor has an address.
        { { "address", "1.5", "0", "0" }, "", "Error\n", 1, "'1.5' is not a whole number" },
        { { "cell", "1E-300" }, "", "Error Error Error\n", 1, "'1E-300' is not a whole number" },
        { { "address" }, "1,2,3.0\n1,2,3.25\n", "1,2,3.0,2563\n1,2,3.25,Error\n", 1,
            "<stdin>:2: field 3 ('3.25') is not a whole number" },
        // 0x is unsigned hex in both modes; &H keeps the window's meaning.
        { { "address", "0x1F", "7", "0XFF" }, "", "65535\n", 0, "" },
        { { "--lenient", "cell", "0x0901" }, "", "1 1 1\n", 0, "" },
        { { "address", "&H8000", "0", "0" }, "", "Error\n", 1, "" },
        { { "cell", "0x" }, "", "Error Error Error\n", 1, "'0x' is not a hex number" },
        // Each notation, written and read.
        { { "address", "-n", "hex", "1", "1", "1" }, "", "0x0901\n", 0, "" },
        { { "-m", "address", "-n", "hex", "1", "1", "1" }, "", "0x0902\n", 0, "" },
        { { "address", "-n", "ref", "1", "1", "1", "-m" }, "", "402306\n", 0, "" },
        { { "address", "-n", "ref", "--type", "input", "31", "7", "255" }, "", "365536\n", 0, "" },
        { { "address", "-n", "ref", "--type", "coil", "0", "0", "0" }, "", "000001\n", 0, "" },
        { { "cell", "-n", "ref", "402306" }, "", "1 1 1\n", 0, "" },
        { { "cell", "-n", "ref", "-m", "40001" }, "", "0 0 0\n", 0, "" },
        { { "cell", "-n", "ref", "302306" }, "", "Error Error Error\n", 1,
            "'302306' is not a holding-register reference" },
        { { "cell", "-n", "ref", "--type", "discrete", "100001" }, "", "0 0 0\n", 0, "" },
        { { "cell", "-n", "hex", "0x0901" }, "", "1 1 1\n", 0, "" },
        { { "-m", "cell", "-n", "hex", "0902" }, "", "1 1 1\n", 0, "" },
        { { "cell", "-n", "hex" }, "0x0901,\nFFFF\n", "0x0901,,1,1,1\nFFFF,31,7,255\n", 0, "" },
        // All of them side by side, or Error in every column.
        { { "address", "--all", "1", "1", "1" }, "", "2305 2306 402306 0x0901\n", 0, "" },
        { { "-m", "-a", "address", "31", "7", "255" }, "", "65535 65536 465536 0xFFFF\n", 0, "" },
        { { "address", "--all", "32", "0", "0" }, "", "Error Error Error Error\n", 1, "" },
        { { "cell", "-a", "2305" }, "", "1 1 1 2305 2306 402306 0x0901\n", 0, "" },
        { { "-n", "octal", "cell", "1" }, "", "", 2, "invalid notation 'octal'" },
        // A fraction read leniently has an address, but no reference.
        { { "--lenient", "-n", "ref", "address" }, "0,0,1.5\n", "0,0,1.5,Error\n", 1,
            "<stdin>:1: cell 0 0 1.5 has no whole register address" },
    });
}

TEST_F(ModbuscalcTest, MessagesAndExitStatuses)
{
    const fs::path valid = file("valid.csv", "1,2,3\n");
    expectCases({
        { { "--bogus", "cell", "1" }, "", "", 2, "modbuscalc: unrecognized option '--bogus'" },
        { { "cel", "1" }, "", "", 2, "modbuscalc: unknown command 'cel'" },
        { { "address", "-n" }, "", "", 2, "option '--notation' requires an argument" },
        { { "address", "1", "2" }, "", "", 2, "address takes 3 numbers, got 2" },
        { { "address", m_dir.string() }, "", "", 2, ": Is a directory" },
        { { "address", valid.string(), (m_dir / "none.csv").string() }, "", "1,2,3,2563\n", 2,
            "none.csv: No such file or directory" },
        { { "address", (m_dir / "a\x01\x7F.csv").string() }, "", "", 2, "a\\x01\\x7F.csv'" },
        { { "address" }, "1\x7F,2,3\n", "1\x7F,2,3,Error\n", 1, "('1\\x7F') is not a number" },
        // The argument as typed, not as the parser was handed it.
        { { "cell", "-.x" }, "", "Error Error Error\n", 1, "'-.x' is not a number" },
    });
}

#ifndef _WIN32
// Numbers are numbers even where files of those names exist; a file named
// like a number is read by a path.
TEST_F(ModbuscalcTest, OperandsThatReadAsNumbersAreNumbers)
{
    file("1", "5,0,1\n");
    file("2", "");
    file("3", "");
    m_workingDirectory = m_dir;
    expectCases({
        { { "address", "1", "2", "3" }, "", "2563\n", 0, "" },
        { { "address", "./1" }, "", "5,0,1,10241\n", 0, "" },
        { { "-n", "hex", "cell", "1" }, "", "0 0 1\n", 0, "" },
        { { "address", "1", "2" }, "", "", 2, "address takes 3 numbers, got 2" },
    });
}

TEST_F(ModbuscalcTest, AClosedOutputIsAFailure)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>> {
             { "address", "1", "2", "3" }, { "cell" }, { "--help" }, { "--version" } }) {
        const Result r = run(args, "7441\n", ">&-");
        EXPECT_NE(r.status, 0);
        EXPECT_LT(r.status, 128); // ended by itself, not by a signal
        EXPECT_NE(r.err.find("write error"), std::string::npos) << r.err;
    }
    // A full disk says so.
    const Result full = run({ "--help" }, "", ">/dev/full");
    EXPECT_EQ(full.status, 2);
    EXPECT_NE(full.err.find("write error: No space left on device"), std::string::npos) << full.err;
}
#endif

#ifndef _WIN32
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

// modbuscalc read against pymodbus's TCP server, which we did not write:
// holding register a holds a; input register a holds 65535 - a up to 999;
// coil a is on for multiples of 3, discrete input a for odd a.
class ReadTest : public ModbuscalcTest {
protected:
    // The server to start, from the tests' folder.
    virtual const char *server() const { return "modbus_server.py"; }

    void SetUp() override
    {
        ModbuscalcTest::SetUp();
        const LocalPort free(false);
        m_host = free.host();
        m_server = ::fork();
        if (m_server == 0) {
            const std::string script = std::string(MODBUSCALC_TEST_SERVERS) + server();
            ::execl("/usr/bin/python3", "python3", script.c_str(),
                std::to_string(free.port()).c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        // Ready once it takes a connection; never a fixed wait.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < until) {
            const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(free.port()));
            const bool up
                = ::connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            ::close(probe);
            if (up)
                return;
            int status = 0;
            if (::waitpid(m_server, &status, WNOHANG) == m_server) {
                m_server = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        GTEST_SKIP() << "pymodbus's server did not start (python3-pymodbus missing?)";
    }
    void TearDown() override
    {
        if (m_server > 0) {
            ::kill(m_server, SIGTERM);
            ::waitpid(m_server, nullptr, 0);
        }
        ModbuscalcTest::TearDown();
    }
    std::vector<std::string> args(std::vector<std::string> more) const
    {
        more.insert(more.begin(), { "read", "--host", m_host });
        return more;
    }

    std::string m_host;
    pid_t m_server = -1;
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
        { args({ "--type", "input", "0", "7", "255" }), "", "Error Error\n", 1,
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
    expectCases({ { args({ "-f", "1-3" }), "0,0,7\n0,0,8\n0,0,9\n",
        "0,0,7,Error,Error\n0,0,8,8,8\n0,0,9,9,9\n", 1, "<stdin>:1: cell 0 0 7: " } });
}

TEST_F(ModbuscalcTest, DevicesOutOfReach)
{
    const LocalPort nobody(false), silent(true);
    expectCases({
        { { "read", "--host", nobody.host(), "1", "1", "1" }, "", "", 2, ": Connection refused" },
        { { "read", "--host", silent.host(), "--timeout", "0.2", "1", "1", "1" }, "",
            "Error Error\n", 1, "cell 1 1 1: timeout" },
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
#else
TEST_F(ModbuscalcTest, ReadingDevicesIsNotInTheWindowsBuild)
{
    expectCases({ { { "read", "--host", "127.0.0.1", "1", "1", "1" }, "", "", 2,
        "read is not available in this build" } });
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
