// The read planner alone, against a stand-in device that records every
// request: the exact requests a window of lines costs, what each line gets
// back, and how refusals, missing types and stops are met.
//   Sizes: protocol limits, gaps, a value never cut. Types: four tables
//   apart. Refusals: a size, holes, a type the device lacks. Lines: read,
//   failed, not read.

#include "device/read_plan.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace modbuscalc::device {
namespace {

using Requests = std::vector<ReadRequest>;

// Each type its own table: holding a holds a, input a holds a + 1000, coil
// a is a % 2, discrete input a is (a + 1) % 2, so that the same address of
// two types reads differently.
std::uint16_t valueAt(RegisterType type, int address)
{
    switch (type) {
    case RegisterType::HoldingRegister:
        return static_cast<std::uint16_t>(address);
    case RegisterType::InputRegister:
        return static_cast<std::uint16_t>(address + 1000);
    case RegisterType::Coil:
        return static_cast<std::uint16_t>(address % 2);
    case RegisterType::DiscreteInput:
        break;
    }
    return static_cast<std::uint16_t>((address + 1) % 2);
}

class RecordingDevice final : public Device {
public:
    WriteResult write(modbuscalc::RegisterType, int, std::span<const std::uint16_t>, bool) override
    {
        return std::nullopt;
    }

    ReadResult read(RegisterType type, int address, int count) override
    {
        requests.push_back({ type, address, count });
        if (answer)
            if (std::optional<ReadResult> given = answer(type, address, count))
                return *given;
        std::vector<std::uint16_t> values;
        for (int i = 0; i < count; ++i)
            values.push_back(valueAt(type, address + i));
        return values;
    }

    Requests requests;
    // A different answer where it returns one.
    std::function<std::optional<ReadResult>(RegisterType, int, int)> answer;
};

DeviceError exception(int code)
{
    return { DeviceError::Kind::Exception, code, "exception " + std::to_string(code) };
}

constexpr auto Holding = RegisterType::HoldingRegister;
constexpr auto Input = RegisterType::InputRegister;
constexpr auto Coil = RegisterType::Coil;
constexpr auto Discrete = RegisterType::DiscreteInput;

std::vector<Wanted> rows(RegisterType type, int from, int count, int width = 1)
{
    std::vector<Wanted> lines;
    for (int a = from; a < from + count * width; a += width)
        lines.push_back({ type, a, width, width });
    return lines;
}

Requests planned(const std::vector<Wanted> &lines, int maxGap = 0, int limit = 0)
{
    return PlanReads(
        lines, maxGap, [limit](RegisterType type) { return limit > 0 ? limit : MaxPerRead(type); });
}

TEST(PlanReads, ExactRequestsForEachShapeOfMap)
{
    struct Case {
        const char *what;
        std::vector<Wanted> lines;
        int maxGap;
        int limit;
        Requests requests;
    };
    std::vector<Wanted> gapped = { { Holding, 0, 1 }, { Holding, 5, 1 }, { Holding, 10, 1 } };
    std::vector<Wanted> twoTypes = rows(Coil, 0, 3);
    twoTypes.push_back({ Discrete, 10, 3 });
    // u32 values from 1: the 125-register cut would fall inside the 63rd.
    const std::vector<Wanted> pairs = rows(Holding, 1, 70, 2);
    const Case cases[] = {
        { "250 registers: two full requests", rows(Holding, 0, 250), 0, 0,
            { { Holding, 0, 125 }, { Holding, 125, 125 } } },
        { "2,001 coils: 2,000 bits a request", rows(Coil, 0, 2001), 0, 0,
            { { Coil, 0, 2000 }, { Coil, 2000, 1 } } },
        { "a gap is not spanned", gapped, 0, 0,
            { { Holding, 0, 1 }, { Holding, 5, 1 }, { Holding, 10, 1 } } },
        { "a gap spanned where allowed", gapped, 4, 0, { { Holding, 0, 11 } } },
        { "a gap one too wide", gapped, 3, 0,
            { { Holding, 0, 1 }, { Holding, 5, 1 }, { Holding, 10, 1 } } },
        { "a limit the device set", rows(Holding, 0, 25), 0, 10,
            { { Holding, 0, 10 }, { Holding, 10, 10 }, { Holding, 20, 5 } } },
        { "types apart, bits first", twoTypes, 0, 0, { { Coil, 0, 3 }, { Discrete, 10, 3 } } },
        { "a value never cut", pairs, 0, 0, { { Holding, 1, 124 }, { Holding, 125, 16 } } },
        { "overlapping lines read once", { { Holding, 3, 4 }, { Holding, 5, 4 } }, 0, 0,
            { { Holding, 3, 6 } } },
        { "the last register", { { Holding, 65535, 1 } }, 0, 0, { { Holding, 65535, 1 } } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(planned(c.lines, c.maxGap, c.limit), c.requests);
    }
}

// The values of lines, as text: "3 4 | Error: exception 2 | not read".
std::string outcomes(const RegisterReader &reader, const std::vector<Wanted> &lines)
{
    std::string text;
    for (const Wanted &line : lines) {
        text += text.empty() ? "" : " | ";
        const LineResult result = reader.result(line);
        if (const auto *error = std::get_if<DeviceError>(&result)) {
            text += "Error: " + error->text;
        } else if (std::holds_alternative<NotRead>(result)) {
            text += "not read";
        } else {
            bool first = true;
            for (const std::uint16_t v : std::get<std::vector<std::uint16_t>>(result)) {
                text += first ? "" : " ";
                text += std::to_string(v);
                first = false;
            }
        }
    }
    return text;
}

TEST(RegisterReader, EachTypeFromItsOwnTable)
{
    RecordingDevice device;
    RegisterReader reader(device);
    const std::vector<Wanted> lines
        = { { Coil, 7, 1 }, { Discrete, 7, 1 }, { Holding, 7, 1 }, { Input, 7, 1 } };
    reader.readAll(lines);
    EXPECT_EQ(outcomes(reader, lines), "1 | 0 | 7 | 1007");
    EXPECT_EQ(device.requests,
        (Requests { { Coil, 7, 1 }, { Discrete, 7, 1 }, { Input, 7, 1 }, { Holding, 7, 1 } }));
}

TEST(RegisterReader, ASizeRefusedIsNeverAskedAgain)
{
    RecordingDevice device;
    device.answer = [](RegisterType, int, int count) -> std::optional<ReadResult> {
        if (count > 10)
            return exception(3);
        return std::nullopt;
    };
    RegisterReader reader(device);
    const std::vector<Wanted> lines = rows(Holding, 0, 200);
    reader.readAll(lines);
    // 125 refused, then its first half, its half and its half again, once
    // each; the rest at the sizes learned: the exact cost of the limit.
    EXPECT_EQ(device.requests.size(), 30U);
    std::vector<int> refused;
    for (const ReadRequest &r : device.requests)
        if (r.count > 10)
            refused.push_back(r.count);
    EXPECT_EQ(refused, (std::vector<int> { 125, 62, 31, 15 }));
    EXPECT_EQ(reader.limit(Holding), 8);
    EXPECT_EQ(outcomes(reader, { lines[0], lines[199] }), "0 | 199");
}

TEST(RegisterReader, ExactlyTheHolesFail)
{
    RecordingDevice device;
    device.answer = [](RegisterType, int address, int count) -> std::optional<ReadResult> {
        if (address <= 40 && address + count > 40)
            return exception(2);
        return std::nullopt;
    };
    RegisterReader reader(device);
    const std::vector<Wanted> lines = rows(Holding, 0, 100);
    reader.readAll(lines);
    EXPECT_EQ(
        outcomes(reader, { lines[39], lines[40], lines[41] }), "39 | Error: exception 2 | 41");
    EXPECT_LE(device.requests.size(), 16U); // halved down, not asked a register at a time
}

TEST(RegisterReader, ATypeTheDeviceLacksCostsAboutARequestACell)
{
    RecordingDevice device;
    device.answer = [](RegisterType type, int, int) -> std::optional<ReadResult> {
        if (type == Input)
            return exception(2);
        return std::nullopt;
    };
    RegisterReader reader(device);
    const std::vector<Wanted> lines = rows(Input, 0, 2048);
    reader.readAll(lines);
    EXPECT_EQ(
        outcomes(reader, { lines[0], lines[2047] }), "Error: exception 2 | Error: exception 2");
    // 17 requests, their 34 halves, then each of the 2,048 alone.
    EXPECT_EQ(device.requests.size(), 17U * 3 + 2048);
}

TEST(RegisterReader, AValueIsNeverTorn)
{
    RecordingDevice device;
    // The device gives at most 1 register a request: a 32-bit value
    // cannot be read whole, and is not read at all.
    device.answer = [](RegisterType, int, int count) -> std::optional<ReadResult> {
        if (count > 1)
            return exception(3);
        return std::nullopt;
    };
    RegisterReader reader(device);
    const std::vector<Wanted> lines = { { Holding, 10, 2, 2 }, { Holding, 20, 1, 1 } };
    reader.readAll(lines);
    const std::string got = outcomes(reader, lines);
    EXPECT_NE(got.find("Error: exception 3: the device will not give the 2 registers of one value"),
        std::string::npos)
        << got;
    EXPECT_TRUE(got.ends_with(" | 20")) << got;
    for (const ReadRequest &r : device.requests)
        EXPECT_FALSE(r.address == 11) << "a request began inside the value";
}

TEST(RegisterReader, AValueCutByALimitLearnedLaterIsNotTakenInPieces)
{
    RecordingDevice device;
    device.answer = [](RegisterType, int, int count) -> std::optional<ReadResult> {
        if (count > 1)
            return exception(3);
        return std::nullopt;
    };
    RegisterReader reader(device);
    // Two requests planned: (20, 2) and (30, 2). The first teaches a limit
    // of 1, and the 32-bit value at 30 can then only come in two pieces.
    const std::vector<Wanted> lines
        = { { Holding, 20, 1 }, { Holding, 21, 1 }, { Holding, 30, 2, 2 } };
    reader.readAll(lines);
    EXPECT_EQ(outcomes(reader, lines),
        "20 | 21 | Error: the device gives at most 1 registers a request, and a value needs 2: "
        "not read, to keep its words together");
}

TEST(RegisterReader, AStopLeavesTheRestNotRead)
{
    RecordingDevice device;
    RegisterReader reader(device);
    const std::vector<Wanted> lines = rows(Holding, 0, 300);
    int answered = 0;
    const std::function<bool()> stop = [&answered] { return answered >= 1; };
    reader.readAll(lines, stop, [&answered] { ++answered; });
    EXPECT_EQ(device.requests.size(), 1U);
    EXPECT_EQ(
        outcomes(reader, { lines[124], lines[125], lines[299] }), "124 | not read | not read");
}

TEST(RegisterReader, LinesAreDoneRequestByRequest)
{
    RecordingDevice device;
    RegisterReader reader(device);
    const std::vector<Wanted> lines = rows(Holding, 0, 250);
    std::vector<std::string> seen;
    reader.readAll(lines, {}, [&] { seen.push_back(outcomes(reader, { lines[0], lines[249] })); });
    EXPECT_EQ(seen, (std::vector<std::string> { "0 | not read", "0 | 249" }));

    // A failure is done too.
    seen.clear();
    RecordingDevice failing;
    failing.answer = [](RegisterType, int address, int) -> std::optional<ReadResult> {
        if (address == 0)
            return DeviceError { DeviceError::Kind::Timeout, 0, "timeout" };
        return std::nullopt;
    };
    RegisterReader again(failing);
    again.readAll(lines, {}, [&] { seen.push_back(outcomes(again, { lines[0], lines[249] })); });
    EXPECT_EQ(
        seen, (std::vector<std::string> { "Error: timeout | not read", "Error: timeout | 249" }));
}

} // namespace
} // namespace modbuscalc::device
