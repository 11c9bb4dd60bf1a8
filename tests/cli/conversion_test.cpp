// The verbs and the list converter without a process: what each line of a
// map becomes, what a message says about it, and read against a stand-in
// device that records what it was asked.

#include "cli/batch.h"
#include "cli/verbs.h"
#include "device/device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace modbuscalc::cli {
namespace {

using device::DeviceError;
using device::ReadResult;
using maps::BlankSeparator;
using maps::LineReader;

// A device whose register a holds a, and which remembers each request.
class RecordingDevice final : public device::Device {
public:
    device::WriteResult write(
        modbuscalc::RegisterType, int, std::span<const std::uint16_t>, bool) override
    {
        return std::nullopt;
    }

    struct Request {
        RegisterType type;
        int address, count;
        bool operator==(const Request &) const = default;
    };

    ReadResult read(RegisterType type, int address, int count) override
    {
        requests.push_back({ type, address, count });
        if (failWith)
            return *failWith;
        std::vector<std::uint16_t> values;
        for (int i = 0; i < count; ++i)
            values.push_back(static_cast<std::uint16_t>(address + i));
        return values;
    }

    std::vector<Request> requests;
    std::optional<DeviceError> failWith;
};

struct Converted {
    std::string out;
    std::vector<std::string> messages;
    std::size_t failed;
};

Converted convertMap(const std::string &verbName, const Options &options, const std::string &input,
    char oneColumnSeparator = BlankSeparator, device::Device *device = nullptr)
{
    Converted converted;
    BatchConverter batch(
        *FindVerb(verbName), options, [&converted](std::size_t line, std::string_view message) {
            converted.messages.push_back(std::to_string(line) + ": " + std::string(message));
        });
    if (device)
        batch.readFrom(*device);
    LineReader reader([input, at = std::size_t { 0 }](char *buffer, std::size_t size) mutable {
        const std::size_t n = std::min(size, input.size() - at);
        std::memcpy(buffer, input.data() + at, n);
        at += n;
        return n;
    });
    batch.convertAll(reader, oneColumnSeparator, converted.out, [](std::string &) {});
    converted.failed = batch.failed();
    return converted;
}

std::string joined(const std::vector<std::string> &results)
{
    std::string out;
    for (const std::string &result : results)
        out += (out.empty() ? "" : " ") + result;
    return out;
}

Conversion convert(
    const std::string &verbName, const Options &options, std::vector<std::string_view> inputs)
{
    return FindVerb(verbName)->convert(options, inputs);
}

TEST(Verbs, WhatIsRejectedAndWhy)
{
    struct Case {
        std::string verb;
        std::vector<std::string_view> inputs;
        std::string message; // empty: accepted
    };
    const Case cases[] = {
        { "address", { "1", " ", "3" }, "' ' is empty" },
        { "address", { "1", "", "3" }, "'' is empty" },
        { "address", { "1", "2", "x" }, "'x' is not a number" },
        { "address", { "1.5", "2", "3" }, "'1.5' is not a whole number" },
        { "address", { "0xG", "2", "3" }, "'0xG' is not a hex number" },
        { "address", { "32", "0", "0" }, "cell 32 0 0 is out of range" },
        { "cell", { "65536" }, "address 65536 is out of range" },
        { "cell", { " 7441 " }, "" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.verb + " " + std::string(c.inputs[0]));
        const Conversion conversion = convert(c.verb, Options {}, c.inputs);
        EXPECT_EQ(conversion.problem ? Describe(*conversion.problem) : "", c.message);
    }
}

TEST(Verbs, EveryNotationOfTheSameAddress)
{
    Options modbusAll;
    modbusAll.mode = AddressingMode::Modbus;
    modbusAll.all = true;
    // The PDU address is 0-based whatever the mode.
    EXPECT_EQ(
        joined(convert("cell", modbusAll, { "10241" }).results), "5 0 0 10240 10241 410241 0x2800");
    EXPECT_EQ(joined(convert("address", modbusAll, { "5", "0", "0" }).results),
        "10240 10241 410241 0x2800");
    Options input;
    input.notation = Notation::Reference;
    input.type = RegisterType::InputRegister;
    EXPECT_EQ(joined(convert("address", input, { "1", "1", "1" }).results), "302306");
}

TEST(Verbs, ReadAsksForTheRightRegisters)
{
    RecordingDevice device;
    Options options;
    options.count = 2;
    options.format = ValueFormat::U32;
    const auto read = [&device](const Options &given, std::vector<std::string_view> inputs) {
        return ReadOnce(given, device, inputs);
    };
    // Two 32-bit values: four registers from the cell, two to each value.
    const Conversion conversion = read(options, { "0", "0", "4" });
    EXPECT_EQ(device.requests,
        std::vector<RecordingDevice::Request>({ { RegisterType::HoldingRegister, 4, 4 } }));
    EXPECT_EQ(joined(conversion.results),
        "4 " + std::to_string((4U << 16) | 5U) + ' ' + std::to_string((6U << 16) | 7U));

    options.wordOrder = WordOrder::CDAB;
    options.count = 1;
    EXPECT_EQ(
        joined(read(options, { "0", "0", "4" }).results), "4 " + std::to_string((5U << 16) | 4U));

    // -m changes the address written, never the one asked for.
    device.requests.clear();
    Options modbus;
    modbus.mode = AddressingMode::Modbus;
    modbus.type = RegisterType::Coil;
    EXPECT_EQ(joined(read(modbus, { "1", "1", "1" }).results), "2306 2305");
    EXPECT_EQ(device.requests,
        std::vector<RecordingDevice::Request>({ { RegisterType::Coil, 2305, 1 } }));

    device.failWith
        = DeviceError { DeviceError::Kind::Exception, 2, "illegal data address (exception 2)" };
    const Conversion failed = read(modbus, { "1", "1", "1" });
    ASSERT_TRUE(failed.problem);
    EXPECT_EQ(Describe(*failed.problem), "cell 1 1 1: illegal data address (exception 2)");
}

TEST(BatchConverter, EachLineGetsItsResultsAfterItsOwnSeparator)
{
    struct Case {
        std::string verb;
        std::string input;
        char oneColumnSeparator;
        std::string out;
    };
    const Case cases[] = {
        // In a .csv file a one-column line takes a comma; a blank-separated
        // line of several fields keeps its blank.
        { "cell", "7441\n", ',', "7441,3,5,17\n" },
        { "address", "3 5 17\n", ',', "3 5 17 7441\n" },
        { "cell", "7441\n", BlankSeparator, "7441 3 5 17\n" },
        { "address", "3;5;17\r\n", ',', "3;5;17;7441\r\n" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(convertMap(c.verb, Options {}, c.input, c.oneColumnSeparator).out, c.out);
    }
}

TEST(BatchConverter, TheFileNameTellsAOneColumnSeparator)
{
    struct Case {
        std::string name;
        char separator;
    };
    const Case cases[] = { { "map.csv", ',' }, { "MAP.CSV", ',' }, { "Map.Tsv", '\t' },
        { "map.txt", BlankSeparator }, { "csv", BlankSeparator }, { "-", BlankSeparator } };
    for (const Case &c : cases)
        EXPECT_EQ(OneColumnSeparator(Options {}, c.name), c.separator) << c.name;
    Options semicolon;
    semicolon.delimiter = ';';
    EXPECT_EQ(OneColumnSeparator(semicolon, "map.csv"), ';');
}

TEST(BatchConverter, MessagesNameTheFieldInTheLine)
{
    Options chosen;
    chosen.fields = { 1, 2, 3 };
    const Converted converted = convertMap("address", chosen, "A,1,1,1\nB,x,1,1\nC,1,,1\nD,1\n");
    EXPECT_EQ(converted.out, "A,1,1,1,2305\nB,x,1,1,Error\nC,1,,1,Error\nD,1,Error\n");
    EXPECT_EQ(converted.messages,
        std::vector<std::string>({ "2: field 2 ('x') is not a number", "3: field 3 is empty",
            "4: no field 3 (the line has 2)" }));
    EXPECT_EQ(converted.failed, 3U);

    const Converted quiet = [] {
        Options options;
        options.quiet = true;
        return convertMap("address", options, "1,2\n32,0,0\n");
    }();
    EXPECT_TRUE(quiet.messages.empty());
    EXPECT_EQ(quiet.failed, 2U);
}

TEST(BatchConverter, ALineTheReadsDidNotReachIsToldNeverDropped)
{
    // A device that says it stopped when nobody asked it to: its lines
    // were never read, and that is a fault to tell, not a line to lose.
    RecordingDevice device;
    device.failWith = DeviceError { DeviceError::Kind::Stopped, 0, "stopped" };
    const Converted converted = convertMap("read", Options {}, "0,0,1\n0,0,2\n", ',', &device);
    EXPECT_EQ(converted.out, "0,0,1,1,Error\n0,0,2,2,Error\n");
    EXPECT_EQ(converted.messages,
        (std::vector<std::string> { "1: cell 0 0 1: not read, by a fault of modbuscalc's (please "
                                    "report it)",
            "2: cell 0 0 2: not read, by a fault of modbuscalc's (please report it)" }));
}

} // namespace
} // namespace modbuscalc::cli
