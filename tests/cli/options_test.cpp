// The command line read without running anything: usage errors and their
// messages, options before and after the verb, the operands as numbers or
// files, read's device settings and its limits.

#include "cli/options.h"
#include "version.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace modbuscalc::cli {
namespace {

ParseResult parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "modbuscalc");
    std::vector<const char *> argv;
    for (const std::string &word : words)
        argv.push_back(word.c_str());
    return ParseCommandLine(argv);
}

std::string usageError(const std::vector<std::string> &words)
{
    const ParseResult parsed = parse(words);
    const auto *error = std::get_if<UsageError>(&parsed);
    return error ? error->message : "(no usage error)";
}

Invocation invocation(const std::vector<std::string> &words)
{
    ParseResult parsed = parse(words);
    if (const auto *error = std::get_if<UsageError>(&parsed))
        ADD_FAILURE() << error->message;
    auto *ok = std::get_if<Invocation>(&parsed);
    return ok ? std::move(*ok) : Invocation {};
}

TEST(Options, UsageErrorsSayWhatIsWrong)
{
    struct Case {
        std::vector<std::string> words;
        std::string message;
    };
    const Case cases[] = {
        { {}, "missing command: address, cell, read, write, scan, serve or export" },
        // Watching and scanning.
        { { "read", "--host", "h", "--polls", "3", "1", "1", "1" },
            "--polls goes with --interval" },
        { { "read", "--host", "h", "--changes", "1", "1", "1" }, "--changes goes with --interval" },
        { { "read", "--host", "h", "--interval", "0", "1", "1", "1" },
            "the interval is seconds above 0" },
        { { "read", "--host", "h", "--interval", "1", "--polls", "0", "1", "1", "1" },
            "the polls are 1 or more" },
        { { "read", "--host", "h", "--output", "xml", "1", "1", "1" },
            "invalid output 'xml': text, json or csv" },
        { { "scan", "--host", "h", "1" }, "scan takes no operands" },
        { { "scan", "--serial", "/dev/ttyS0", "--units", "0-9" },
            "invalid units '0-9': FIRST-LAST within 1-247 on a serial line" },
        { { "scan", "--host", "h", "--units", "9-3" }, "invalid units '9-3'" },
        { { "scan" }, "scan needs --host" },
        { { "--bogus" }, "unrecognized option '--bogus'" },
        { { "--bogus", "cell", "1" }, "unrecognized option '--bogus'" },
        { { "cell", "--bogus", "1" }, "unrecognized option '--bogus'" },
        { { "cel", "1" }, "unknown command 'cel'" },
        { { "address", "-n" }, "option '--notation' requires an argument" },
        { { "address", "1", "2" }, "address takes 3 numbers, got 2" },
        { { "cell", "1", "2" }, "cell takes 1 number, got 2" },
        { { "read", "--host", "127.0.0.1:1", "1", "2" },
            "read takes 3 numbers or 1 address, got 2" },
        { { "read", "--host", "h", "-f", "1,2", "map.csv" }, "read reads 3 or 1 columns, not 2" },
        { { "read", "--host", "h", "--format-column", "type", "map.csv" },
            "--format-column type names a column of the header: give --header too" },
        { { "read", "--host", "h", "--format-column", "0", "map.csv" },
            "invalid format column '0'" },
        { { "read", "--host", "h", "--format-column", "4", "1", "1", "1" },
            "--format-column reads each line's format from a map" },
        { { "-n", "octal", "cell", "1" }, "invalid notation 'octal': address, hex or ref" },
        { { "--type", "register", "cell", "1" },
            "invalid type 'register': holding, input, discrete or coil" },
        { { "-d", "ab", "cell" }, "the delimiter must be a single character: 'ab'" },
        { { "-f", "0", "cell" }, "invalid field list '0'" },
        { { "-f", "1-66", "address" }, "invalid field list '1-66'" },
        { { "-f", "1,2", "address" }, "address reads 3 columns, not 2" },
        { { "--columns", "a,b,c", "address" }, "give --header too" },
        { { "--header", "--columns", "a", "-f", "1", "cell" }, "give -f or --columns, not both" },
        { { "read", "1", "1", "1" }, "read needs --host HOST[:PORT] or --serial DEVICE" },
        // Maps of several devices, and export.
        { { "read", "--host-column", "2", "--serial-column", "3", "map.csv" },
            "give --host-column or --serial-column, not both" },
        { { "read", "--host-column", "host", "map.csv" },
            "--host-column host names a column of the header: give --header too" },
        { { "read", "--host", "h", "--unit-column", "0", "map.csv" }, "invalid unit column '0'" },
        { { "export", "--host", "h", "map.csv" },
            "export needs --to: telegraf, home-assistant or node-red" },
        { { "export", "--host", "h", "--to", "influx", "map.csv" },
            "invalid engine 'influx': telegraf, home-assistant or node-red" },
        { { "export", "--to", "telegraf", "map.csv" },
            "export needs --host HOST[:PORT] or --serial DEVICE" },
        { { "export", "--host", "h", "--to", "telegraf", "1", "1", "1" },
            "export takes maps, not numbers" },
        { { "export", "--host", "h", "--to", "telegraf", "--interval", "-1", "map.csv" },
            "the interval is seconds above 0" },
        { { "read", "--host", "h", "--serial", "/dev/ttyS0", "1", "1", "1" },
            "give --host or --serial, not both" },
        // Nobody answers a broadcast.
        { { "read", "--serial", "/dev/ttyS0", "--unit", "0", "1", "1", "1" },
            "unit 0 is every unit of a serial line at once" },
        { { "read", "--host", "127.0.0.1:x", "1", "1", "1" }, "invalid port in '127.0.0.1:x'" },
        { { "read", "--host", "h:65536", "1", "1", "1" }, "invalid port in 'h:65536'" },
        { { "read", "--host", "h:0", "1", "1", "1" }, "invalid port in 'h:0'" },
        { { "read", "--serial", "s", "--parity", "X", "1", "1", "1" },
            "invalid parity 'X': N, E or O" },
        { { "read", "--host", "h", "--timeout", "0", "1", "1", "1" },
            "the timeout runs from 0.001" },
        { { "read", "--host", "h", "--retries", "-1", "1", "1", "1" },
            "the retries are 0 or more" },
        { { "read", "--host", "h", "--interval", "abc", "1", "1", "1" },
            "option '--interval' takes a number, not 'abc'" },
        { { "read", "--host", "h", "--count", "2x", "1", "1", "1" },
            "option '--count' takes a number, not '2x'" },
        // Settings libmodbus would quietly change are refused before anything opens.
        { { "read", "--serial", "s", "--baud", "12345", "1", "1", "1" },
            "no serial speed 12345; speeds: 300," },
        { { "read", "--serial", "s", "--data-bits", "9", "1", "1", "1" }, "no 9 data bits" },
        { { "read", "--serial", "s", "--stop-bits", "3", "1", "1", "1" }, "no 3 stop bits" },
        { { "read", "--host", "h", "--format", "f80", "1", "1", "1" },
            "invalid format 'f80': u16, s16, hex, u32, s32, f32, u64, s64, f64, UINT, INT, WORD, "
            "UDINT, DINT, REAL, ULINT, LINT, LREAL, FLOAT, DWORD, BOOL or BIT" },
        { { "read", "--host", "h", "--word-order", "middle", "1", "1", "1" },
            "invalid word order 'middle': high-first, low-first, ABCD, CDAB, BADC or DCBA" },
        { { "read", "--host", "h", "--count", "65537", "1", "1", "1" },
            "count runs from 1 to 65536" },
        { { "read", "--host", "h", "--count", "32769", "--format", "f32", "1", "1", "1" },
            "count runs from 1 to 32768" },
        { { "read", "--host", "h", "--count", "0", "1", "1", "1" }, "count runs from 1 to 65536" },
        { { "read", "--host", "h", "--max-gap", "126", "1", "1", "1" }, "gap runs from 0 to 125" },
        { { "read", "--host", "h", "--max-gap", "-1", "1", "1", "1" }, "gap runs from 0 to 125" },
        { { "read", "--host", "h", "--unit", "256", "1", "1", "1" },
            "invalid unit 256: 0 to 255 over TCP" },
        { { "read", "--serial", "/dev/ttyS0", "--unit", "248", "1", "1", "1" },
            "invalid unit 248: 0 to 247 on a serial line" },
        { { "read", "--host", "h", "--unit", "-1", "1", "1", "1" }, "invalid unit -1" },
        { { "read", "--host", "[::1", "1", "1", "1" }, "invalid port in '[::1'" },
        { { "read", "--host", "[::1]:", "1", "1", "1" }, "invalid port in '[::1]:'" },
        { { "read", "--host", ":502", "1", "1", "1" }, "invalid port in ':502'" },
        { { "read", "--host", "h", "--type", "coil", "--format", "u32", "1", "1", "1" },
            "no wider format" },
        // Serving.
        { { "serve", "--listen", "h:1", "--serial", "s" }, "give --listen or --serial, not both" },
        { { "serve", "--listen", "h:x" }, "invalid --listen 'h:x': HOST:PORT" },
        { { "serve", "--listen", ":502" }, "invalid --listen ':502'" },
        { { "serve", "--unit", "1,1" }, "unit 1 is given twice" },
        { { "serve", "--unit", "1,x" }, "invalid unit 'x': 0 to 255 over TCP" },
        { { "serve", "--unit", "256" }, "invalid unit '256': 0 to 255 over TCP" },
        { { "serve", "--serial", "s", "--unit", "0" }, "invalid unit '0': 1 to 247 on a serial" },
        { { "serve", "--serial", "s", "--unit", "1,2" }, "a serial line is served as one unit" },
        { { "serve", "--serial", "s", "--baud", "1000" }, "no serial speed 1000" },
        { { "serve", "--output", "csv" }, "serve logs as text or json, not csv" },
        { { "serve", "--delay", "60001" }, "the delay runs from 0 to 60000 milliseconds" },
        { { "serve", "--drop-every", "-1" }, "--drop-every takes a count of requests" },
        { { "serve", "--exception", "5" }, "invalid --exception '5': ADDRESS:CODE" },
        { { "serve", "--exception", "5:0" }, "the code 1 to 255" },
        { { "serve", "--exception", "x:2" }, "--exception: " },
        { { "serve", "-n", "ref", "--exception", "2306:2" }, "--exception: " },
        { { "serve", "--ramp", "65536" }, "--ramp: address 65536 is out of range" },
        { { "serve", "--value-column", "3", "--format-column", "3" },
            "the value and the format come from the same column" },
        { { "serve", "--format", "bogus" }, "invalid format 'bogus'" },
    };
    for (const Case &c : cases) {
        std::string words;
        for (const std::string &word : c.words)
            words += word + ' ';
        SCOPED_TRACE(words);
        EXPECT_NE(usageError(c.words).find(c.message), std::string::npos) << usageError(c.words);
    }
}

TEST(Options, WithinLimitsIsNoUsageError)
{
    for (const std::vector<std::string> &words : std::vector<std::vector<std::string>> {
             { "read", "--host", "h:65535", "1", "1", "1" },
             { "read", "--host", "h:1", "1", "1", "1" },
             { "read", "--host", "h", "--count", "32768", "--format", "s32", "1", "1", "1" },
             { "read", "--host", "h", "--count", "65536", "1", "1", "1" },
             { "read", "--host", "h", "--max-gap", "125", "1", "1", "1" },
             { "read", "--host", "h", "--unit", "255", "1", "1", "1" },
             { "read", "--serial", "s", "--unit", "247", "1", "1", "1" },
             { "read", "--host", "h", "--unit", "0", "1", "1", "1" },
             { "read", "--host", "h", "--interval", "0.05", "--polls", "1", "1", "1", "1" },
             { "scan", "--host", "h", "--units", "0-255" },
             { "scan", "--serial", "s", "--units", "247" },
             { "serve", "--listen", "[::]:502", "--unit", "0,255" },
             { "serve", "--serial", "s", "--unit", "247", "--delay", "60000" },
             { "serve", "--exception", "65535:255", "--ramp", "0" },
         }) {
        const ParseResult parsed = parse(words);
        const auto *error = std::get_if<UsageError>(&parsed);
        EXPECT_FALSE(error) << words[3] << ": " << (error ? error->message : "");
    }
}

TEST(Options, FieldLists)
{
    using List = std::vector<std::size_t>;
    EXPECT_EQ(FieldList("3,4,5"), List({ 2, 3, 4 }));
    EXPECT_EQ(FieldList("5,2-3"), List({ 4, 1, 2 }));
    EXPECT_EQ(FieldList("1-65")->size(), 65U); // the widest range
    for (const char *bad : { "1-66", "0", "", "3,", "3-2", "a", "1-x", "2 ,3", "-3" })
        EXPECT_FALSE(FieldList(bad)) << bad;
}

TEST(Options, OptionsBeforeAndAfterTheVerb)
{
    for (const std::vector<std::string> &words : std::vector<std::vector<std::string>> {
             { "-m", "-n", "hex", "--type", "input", "cell", "0x0901" },
             { "cell", "-m", "-n", "hex", "--type", "input", "0x0901" },
             { "cell", "0x0901", "--type", "input", "-n", "hex", "--modbus" },
         }) {
        const Invocation parsed = invocation(words);
        ASSERT_TRUE(parsed.verb);
        EXPECT_EQ(parsed.verb->name, "cell");
        EXPECT_EQ(parsed.options.mode, AddressingMode::Modbus);
        EXPECT_EQ(parsed.options.notation, Notation::Hex);
        EXPECT_EQ(parsed.options.type, RegisterType::InputRegister);
        EXPECT_EQ(parsed.operands, std::vector<std::string> { "0x0901" });
        EXPECT_TRUE(parsed.numbers);
    }
}

TEST(Options, OperandsAreNumbersOrFiles)
{
    struct Case {
        std::vector<std::string> words;
        std::vector<std::string> operands;
        bool numbers;
    };
    const Case cases[] = {
        { { "address", "1", "2", "3" }, { "1", "2", "3" }, true },
        { { "address", "-1", "-2", "-3" }, { "-1", "-2", "-3" }, true },
        { { "cell", "-.5" }, { "-.5" }, true }, // as typed, not as the parser saw it
        { { "cell", "0x0901" }, { "0x0901" }, true },
        { { "-n", "hex", "cell", "0901" }, { "0901" }, true },
        { { "-n", "ref", "cell", "302306" }, { "302306" }, true },
        { { "address", "./1", "2", "3" }, { "./1", "2", "3" }, false },
        { { "cell", "map.csv" }, { "map.csv" }, false },
        { { "cell", "12abc" }, { "12abc" }, false },
        { { "address", "map.csv" }, { "map.csv" }, false },
        { { "address", "--", "-1", "2", "3" }, { "-1", "2", "3" }, true },
        { { "cell" }, {}, false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words.back());
        const Invocation parsed = invocation(c.words);
        EXPECT_EQ(parsed.operands, c.operands);
        EXPECT_EQ(parsed.numbers, c.numbers);
    }
}

TEST(Options, ReadsDeviceSettings)
{
    const Invocation tcp = invocation({ "read", "--host", "plc:1502", "--unit", "7", "--timeout",
        "0.25", "--retries", "2", "--format", "f32", "--word-order", "low-first", "1", "1", "1" });
    ASSERT_TRUE(tcp.connection);
    const auto *endpoint = std::get_if<device::TcpEndpoint>(&tcp.connection->link);
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->host, "plc");
    EXPECT_EQ(endpoint->port, 1502);
    EXPECT_EQ(tcp.connection->unit, 7);
    EXPECT_EQ(tcp.connection->timeout, 0.25);
    EXPECT_EQ(tcp.connection->retries, 2);
    EXPECT_EQ(tcp.options.format, ValueFormat::F32);
    EXPECT_EQ(tcp.options.wordOrder, WordOrder::CDAB);

    const Invocation rtu = invocation({ "read", "--serial", "/dev/ttyUSB0", "--baud", "9600",
        "--parity", "N", "--stop-bits", "2", "1", "1", "1" });
    ASSERT_TRUE(rtu.connection);
    const auto *line = std::get_if<device::SerialLine>(&rtu.connection->link);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->device, "/dev/ttyUSB0");
    EXPECT_EQ(line->baud, 9600);
    EXPECT_EQ(line->parity, Parity::None);
    EXPECT_EQ(line->stopBits, 2);

    // Only read has a device.
    EXPECT_FALSE(invocation({ "address", "1", "1", "1" }).connection);
}

TEST(Options, ServesWhereAndAsAsked)
{
    const Invocation tcp = invocation({ "serve", "--unit", "1,7", "--busy-every", "3",
        "--exception", "000010:4", "-n", "ref", "--ramp", "402306", "--listen", "0.0.0.0" });
    ASSERT_TRUE(tcp.serving);
    const auto *endpoint = std::get_if<device::TcpEndpoint>(&tcp.serving->link);
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->host, "0.0.0.0");
    EXPECT_EQ(endpoint->port, 5020); // a host alone: our port, not a privileged one
    EXPECT_EQ(tcp.serving->rules.units, std::vector<int>({ 1, 7 }));
    EXPECT_EQ(tcp.serving->rules.busyEvery, 3);
    // A reference names its type.
    ASSERT_EQ(tcp.serving->rules.exceptions.size(), 1u);
    EXPECT_EQ(tcp.serving->rules.exceptions[0].type, RegisterType::Coil);
    EXPECT_EQ(tcp.serving->rules.exceptions[0].address, 9);
    ASSERT_EQ(tcp.serving->ramps.size(), 1u);
    EXPECT_EQ(tcp.serving->ramps[0].type, RegisterType::HoldingRegister);
    EXPECT_EQ(tcp.serving->ramps[0].address, 2305);

    // Where a port is written and where it is not.
    for (const auto &[listen, host, port] : { std::tuple { "::1", "::1", 5020 },
             std::tuple { "[::1]", "::1", 5020 }, std::tuple { "[::]:502", "::", 502 },
             std::tuple { "plc", "plc", 5020 }, std::tuple { "10.0.0.1:0", "10.0.0.1", 0 } }) {
        const Invocation listening = invocation({ "serve", "--listen", listen });
        ASSERT_TRUE(listening.serving) << listen;
        const auto &at = std::get<device::TcpEndpoint>(listening.serving->link);
        EXPECT_EQ(at.host, host);
        EXPECT_EQ(at.port, port) << listen;
    }

    const Invocation plain = invocation({ "serve", "--exception", "2305:4" });
    ASSERT_TRUE(plain.serving);
    const auto *local = std::get_if<device::TcpEndpoint>(&plain.serving->link);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->host, "127.0.0.1"); // never every interface unless asked
    EXPECT_EQ(local->port, 5020);
    ASSERT_EQ(plain.serving->rules.exceptions.size(), 1u);
    EXPECT_FALSE(plain.serving->rules.exceptions[0].type); // a plain address: every type
    EXPECT_EQ(plain.serving->rules.exceptions[0].address, 2305);
    EXPECT_EQ(plain.serving->rules.exceptions[0].code, 4);
}

TEST(Options, HelpAndVersionAreText)
{
    for (const char *flag : { "--help", "-h" }) {
        const ParseResult parsed = parse({ flag });
        const auto *text = std::get_if<ShowText>(&parsed);
        ASSERT_TRUE(text);
        EXPECT_NE(text->text.find("Examples:"), std::string::npos);
    }
    const ParseResult version = parse({ "--version" });
    const auto *text = std::get_if<ShowText>(&version);
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->text.starts_with("modbuscalc " MODBUSCALC_VERSION "\n")) << text->text;
}

} // namespace
} // namespace modbuscalc::cli
