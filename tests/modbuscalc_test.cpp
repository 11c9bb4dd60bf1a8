// modbuscalc end to end, through the built program: single conversions in
// both modes and out of range, usage errors, register lists with each
// separator, headers, CRLF and byte-order marks, rejected lines, hostile
// bytes and files, and every cell there and back in both modes.

#include "modbuscalc_harness.h"
#include "version.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace modbuscalc_test;

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
        // Out of range: Error, and why, as a map's line would say it.
        { { "address", "-1", "0", "0" }, "", "Error\n", 1,
            "modbuscalc: cell -1 0 0 is out of range\n" },
        { { "address", "32", "0", "0" }, "", "Error\n", 1, "cell 32 0 0 is out of range" },
        { { "--lenient", "address", "0", "0", "255.5" }, "", "Error\n", 1,
            "cell 0 0 255.5 is out of range" },
        { { "address", "1E400", "0", "0" }, "", "Error\n", 1, "cell 1E400 0 0 is out of range" },
        { { "cell", "10241" }, "", "5 0 1\n", 0, "" },
        { { "cell", "-m", "10241" }, "", "5 0 0\n", 0, "" },
        { { "cell", "65535" }, "", "31 7 255\n", 0, "" },
        { { "cell", "100.5", "--lenient" }, "", "0 0 100.5\n", 0, "" },
        { { "cell", "65536" }, "", "Error Error Error\n", 1, "address 65536 is out of range" },
        { { "--modbus", "cell", "0" }, "", "Error Error Error\n", 1, "address 0 is out of range" },
        { { "cell", "-.5", "--lenient" }, "", "Error Error Error\n", 1,
            "address -.5 is out of range" },
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
        // A map as read writes it names its cells by its header alone.
        { { "--header", "address" }, "Row,Table,address,value,Column\n17,3,2,4,5\n",
            "Row,Table,address,value,Column,address\n17,3,2,4,5,7441\n", 0, "" },
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
        { { "address", "&H8000", "0", "0" }, "", "Error\n", 1, "cell &H8000 0 0 is out of range" },
        { { "cell", "0x" }, "", "Error Error Error\n", 1, "'0x' is not a hex number" },
        // Each notation, written and read.
        { { "address", "-n", "hex", "1", "1", "1" }, "", "0x0901\n", 0, "" },
        { { "-m", "address", "-n", "hex", "1", "1", "1" }, "", "0x0902\n", 0, "" },
        { { "address", "-n", "ref", "1", "1", "1", "-m" }, "", "402306\n", 0, "" },
        { { "address", "-n", "ref", "--type", "input", "31", "7", "255" }, "", "365536\n", 0, "" },
        { { "address", "-n", "ref", "--type", "coil", "0", "0", "0" }, "", "000001\n", 0, "" },
        { { "cell", "-n", "ref", "402306" }, "", "1 1 1\n", 0, "" },
        { { "cell", "-n", "ref", "-m", "40001" }, "", "0 0 0\n", 0, "" },
        // A reference carries its type.
        { { "cell", "-n", "ref", "302306" }, "", "1 1 1\n", 0, "" },
        { { "cell", "-a", "-n", "ref", "302306" }, "", "1 1 1 2305 2306 302306 0x0901\n", 0, "" },
        { { "cell", "-n", "ref", "202306" }, "", "Error Error Error\n", 1,
            "'202306' is not a reference" },
        { { "cell", "-n", "ref", "--type", "discrete", "100001" }, "", "0 0 0\n", 0, "" },
        { { "cell", "-n", "hex", "0x0901" }, "", "1 1 1\n", 0, "" },
        { { "-m", "cell", "-n", "hex", "0902" }, "", "1 1 1\n", 0, "" },
        { { "cell", "-n", "hex" }, "0x0901,\nFFFF\n", "0x0901,,1,1,1\nFFFF,31,7,255\n", 0, "" },
        // All of them side by side, or Error in every column.
        { { "address", "--all", "1", "1", "1" }, "", "2305 2306 402306 0x0901\n", 0, "" },
        { { "-m", "-a", "address", "31", "7", "255" }, "", "65535 65536 465536 0xFFFF\n", 0, "" },
        { { "address", "--all", "32", "0", "0" }, "", "Error Error Error Error\n", 1,
            "cell 32 0 0 is out of range" },
        { { "cell", "-a", "2305" }, "", "1 1 1 2305 2306 402306 0x0901\n", 0, "" },
        { { "-n", "octal", "cell", "1" }, "", "", 2, "invalid notation 'octal'" },
        // A fraction read leniently has an address, but no reference.
        { { "--lenient", "-n", "ref", "address" }, "0,0,1.5\n", "0,0,1.5,Error\n", 1,
            "<stdin>:1: cell 0 0 1.5 has no whole register address" },
    });
}

TEST_F(ModbuscalcTest, MapsAsSpreadsheetsLeaveThem)
{
    expectCases({
        // A row of separators alone passes as a blank line does, in every dialect.
        { { "address" }, "1,1,1\n,,,\n2,2,2\n", "1,1,1,2305\n,,,\n2,2,2,4610\n", 0, "" },
        { { "address" }, "1;1;1\n;;;;;\r\n", "1;1;1;2305\n;;;;;\r\n", 0, "" },
        { { "address" }, "1\t1\t1\n\t\t\n", "1\t1\t1\t2305\n\t\t\n", 0, "" },
        { { "address" }, "\"\",\"\"\n", "\"\",\"\"\n", 0, "" },
        // Excel's separator hint is obeyed and copied; the header follows it.
        { { "--header", "--columns", "table,column,row", "address" },
            "sep=;\r\nTable;Column;Row\r\n1;1;1\r\n",
            "sep=;\r\nTable;Column;Row;address\r\n1;1;1;2305\r\n", 0, "" },
        { { "cell" }, "sep=,\n2305\n", "sep=,\n2305,1,1,1\n", 0, "" },
        // A separator given wins over the hint, which is still copied.
        { { "-d", ",", "address" }, "sep=;\n1,1,1\n", "sep=;\n1,1,1,2305\n", 0, "" },
        // '-' is standard input.
        { { "cell", "-" }, "2305\n", "2305 1 1 1\n", 0, "" },
    });
}

TEST_F(ModbuscalcTest, Utf16WithItsMarkIsReadAsUtf8)
{
    const std::string text = "Tag\tTable\tColumn\tRow\r\nT\u00dcV-1\t1\t1\t1\r\n";
    const auto utf16 = [&text](bool little) {
        // text is ASCII but for U+00DC, 0xC3 0x9C in UTF-8.
        std::string out = little ? std::string("\xFF\xFE") : std::string("\xFE\xFF");
        for (std::size_t i = 0; i < text.size(); ++i) {
            char16_t unit = static_cast<unsigned char>(text[i]);
            if (text[i] == '\xC3') {
                unit = 0xDC;
                ++i;
            }
            const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
            out += little ? std::string { low, high } : std::string { high, low };
        }
        return out;
    };
    for (const bool little : { true, false }) {
        SCOPED_TRACE(little ? "UTF-16LE" : "UTF-16BE");
        expectCases({ { { "--header", "--columns", "table,column,row", "address" }, utf16(little),
            "\xEF\xBB\xBF"
            "Tag\tTable\tColumn\tRow\taddress\r\nT\u00dcV-1\t1\t1\t1\t2305\r\n",
            0, "" } });
    }
    // Without its mark, UTF-16 is named as what it looks like: from a third
    // of the first line in NUL bytes.
    std::string unmarked = utf16(true).substr(2);
    expectCases({ { { "--header", "--columns", "table,column,row", "address" }, unmarked, "", 2,
        "looks like UTF-16 without a byte-order mark" } });
    const Result third = run({ "address" }, std::string("1\0,\n", 4));
    EXPECT_NE(third.err.find("looks like UTF-16 without a byte-order mark"), std::string::npos)
        << third.err;
    const Result less = run({ "address" }, std::string("12\0,\n", 5));
    EXPECT_EQ(less.err.find("UTF-16"), std::string::npos) << less.err;
}

#ifndef _WIN32
TEST_F(ModbuscalcTest, ThousandsOfFilesUnderALowLimitOfOpenFiles)
{
    // Each input is opened in its turn and closed before the next.
    std::string command = "ulimit -n 64 && exec " + quote(program()) + " address";
    std::string expected;
    for (int i = 0; i < 2000; ++i) {
        const std::string name = "map" + std::to_string(i) + ".csv";
        writeFile(m_dir / name, "1,1," + std::to_string(i % 256) + "\n");
        command += ' ' + name;
        expected += "1,1," + std::to_string(i % 256) + ',' + std::to_string(2304 + i % 256) + '\n';
    }
    const fs::path script = file("run.sh", command + " >out\n");
    const Result result = runScript(script);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(m_dir / "out"), expected);
}
#endif

TEST_F(ModbuscalcTest, HexOperandsAndNamesInAnyCase)
{
    expectCases({
        { { "-n", "hex", "cell", "FFFF" }, "", "31 7 255\n", 0, "" },
        { { "-n", "hex", "cell", "0901" }, "", "1 1 1\n", 0, "" },
        { { "-n", "HEX", "cell", "ffff" }, "", "31 7 255\n", 0, "" },
        { { "-n", "REF", "--type", "Input", "address", "1", "1", "1" }, "", "302306\n", 0, "" },
        { { "--notation", "Reference", "cell", "402306" }, "", "1 1 1\n", 0, "" },
    });
}

TEST_F(ModbuscalcTest, EachVerbsHelpListsItsOptions)
{
    const Result read = run({ "read", "--help" });
    EXPECT_EQ(read.status, 0);
    for (const char *option : { "--host", "--serial", "--count", "--format", "--format-column",
             "--max-gap", "--retries", "-n,--notation", "-f,--fields" })
        EXPECT_NE(read.out.find(option), std::string::npos) << option;
    const Result address = run({ "address", "--help" });
    EXPECT_NE(address.out.find("-f,--fields"), std::string::npos);
    EXPECT_EQ(address.out.find("--host TEXT"), std::string::npos) << address.out;
    // scan reads no map: none of a map's options, nor the words on operands.
    const Result scan = run({ "scan", "--help" });
    EXPECT_NE(scan.out.find("--units"), std::string::npos) << scan.out;
    for (const char *option : { "--header", "-f,--fields", "-n,--notation", "Operands:" })
        EXPECT_EQ(scan.out.find(option), std::string::npos) << option;
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

#ifdef _WIN32
// read on Windows against real servers: tests/win32/read_test.sh.
TEST_F(ModbuscalcTest, ReadIsInTheWindowsBuild)
{
    expectCases({
        { { "read", "1", "1", "1" }, "", "", 2, "read needs --host" },
        { { "read", "--serial", "COM5", "--unit", "300", "1", "1", "1" }, "", "", 2,
            "invalid unit 300: 0 to 247 on a serial line" },
    });
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
