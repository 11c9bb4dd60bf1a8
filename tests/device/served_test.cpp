// The served controller's rules without a socket: what a request asks for,
// when a TCP frame is whole or a lie, and which answer each request gets.

#include "device/served.h"

#include <gtest/gtest.h>

#include <vector>

namespace modbuscalc::device {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A Modbus TCP frame: header (length from the PDU), unit 1, then the PDU.
Bytes frame(const Bytes &pdu, int length = -1)
{
    const int told = length < 0 ? static_cast<int>(pdu.size()) + 1 : length;
    Bytes bytes { 0, 9, 0, 0, static_cast<std::uint8_t>(told >> 8),
        static_cast<std::uint8_t>(told & 0xFF), 1 };
    bytes.insert(bytes.end(), pdu.begin(), pdu.end());
    return bytes;
}

TEST(ServedRequest, FieldsOfEachFunctionServed)
{
    struct Case {
        Bytes pdu;
        int function;
        RegisterType type;
        int address, count;
        bool writes;
        int writeAddress, writeCount;
    };
    using enum RegisterType;
    const Case cases[] = {
        { { 1, 0, 10, 0, 16 }, 1, Coil, 10, 16, false, 0, 0 },
        { { 2, 1, 0, 0, 1 }, 2, DiscreteInput, 256, 1, false, 0, 0 },
        { { 3, 9, 1, 0, 125 }, 3, HoldingRegister, 2305, 125, false, 0, 0 },
        { { 4, 0xFF, 0xFF, 0, 1 }, 4, InputRegister, 65535, 1, false, 0, 0 },
        { { 5, 0, 7, 0xFF, 0 }, 5, Coil, 7, 1, true, 7, 1 },
        { { 6, 0, 7, 0x12, 0x34 }, 6, HoldingRegister, 7, 1, true, 7, 1 },
        { { 15, 0, 3, 0, 9, 2, 0xFF, 1 }, 15, Coil, 3, 9, true, 3, 9 },
        { { 16, 0, 3, 0, 2, 4, 0, 1, 0, 2 }, 16, HoldingRegister, 3, 2, true, 3, 2 },
        { { 22, 0, 4, 0xFF, 0, 0, 0x12 }, 22, HoldingRegister, 4, 1, true, 4, 1 },
        { { 23, 0, 1, 0, 5, 0, 9, 0, 1, 2, 0, 7 }, 23, HoldingRegister, 1, 5, true, 9, 1 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.function);
        const std::optional<ServedRequest> request = ServedRequestOf(c.pdu);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->function, c.function);
        EXPECT_EQ(request->type, c.type);
        EXPECT_EQ(request->address, c.address);
        EXPECT_EQ(request->count, c.count);
        EXPECT_EQ(request->writes, c.writes);
        EXPECT_EQ(request->writeAddress, c.writeAddress);
        EXPECT_EQ(request->writeCount, c.writeCount);
    }
    // A function libmodbus does not serve is the function alone; report
    // server id has no fields; a PDU short of its fields is none.
    for (const auto &[pdu, known] : { std::pair { Bytes { 8, 0, 0, 0, 0 }, false },
             std::pair { Bytes { 7 }, false }, std::pair { Bytes { 17 }, true } }) {
        const std::optional<ServedRequest> request = ServedRequestOf(pdu);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->function, pdu[0]);
        EXPECT_EQ(request->known, known);
    }
    for (const Bytes &pdu : { Bytes { 3, 0, 1, 0 }, Bytes { 16, 0, 3, 0, 2, 4, 0, 1 }, Bytes {} })
        EXPECT_FALSE(ServedRequestOf(pdu)) << pdu.size();
}

TEST(TcpFrame, WholeOnlyWhenItsLengthIsThePdusOwn)
{
    const Bytes read = frame({ 3, 0, 0, 0, 2 });
    const Bytes write = frame({ 16, 0, 0, 0, 1, 2, 0, 5 });
    struct Case {
        const char *what;
        Bytes waiting;
        TcpFrame::State state;
        std::size_t size;
    };
    using enum TcpFrame::State;
    const Case cases[] = {
        { "a read", read, Whole, 12 },
        { "a read and the next one's start",
            [&] {
                Bytes two = read;
                two.insert(two.end(), read.begin(), read.begin() + 3);
                return two;
            }(),
            Whole, 12 },
        { "a write", write, Whole, 15 },
        { "a function libmodbus does not know", frame({ 8 }), Whole, 8 },
        { "the header's start", Bytes(read.begin(), read.begin() + 3), Partial, 0 },
        { "the header alone", Bytes(read.begin(), read.begin() + 7), Partial, 0 },
        { "a write short of its values", Bytes(write.begin(), write.end() - 1), Partial, 0 },
        { "a write short of its byte count", Bytes(write.begin(), write.begin() + 11), Partial, 0 },
        { "a protocol id not 0",
            [&] {
                Bytes other = read;
                other[3] = 1;
                return other;
            }(),
            Lie, 0 },
        { "garbage", Bytes { 'G', 'E', 'T', ' ', '/', ' ', 'H', 'T' }, Lie, 0 },
        { "a length shorter than the PDU", frame({ 3, 0, 0, 0, 2 }, 4), Lie, 0 },
        { "a length longer than the PDU", frame({ 3, 0, 0, 0, 2 }, 9), Lie, 0 },
        { "a write whose length leaves out its values", frame({ 16, 0, 0, 0, 1, 2, 0, 5 }, 7), Lie,
            0 },
        { "a length past the largest frame", frame({ 3, 0, 0, 0, 2 }, 300), Lie, 0 },
        { "a length with no function", frame({}, 1), Lie, 0 },
        { "an unknown function with bytes after it", frame({ 8, 0, 0 }), Lie, 0 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const TcpFrame judged = JudgeTcpFrame(c.waiting);
        EXPECT_EQ(judged.state, c.state);
        EXPECT_EQ(judged.size, c.size);
    }
}

// The answers of a run of requests, as a text: "v" a value, "-" none, or
// the exception's code.
std::string answers(Referee &referee, const std::vector<std::pair<int, Bytes>> &requests, bool tcp)
{
    std::string text;
    for (const auto &[unit, pdu] : requests) {
        const Answer answer = referee.judge(unit, ServedRequestOf(pdu), tcp);
        text += answer.kind == Answer::Kind::Reply ? "v"
            : answer.kind == Answer::Kind::Silence ? "-"
                                                   : std::to_string(answer.exception);
        text += ' ';
    }
    return text;
}

TEST(Referee, AnswersAsItsRulesSay)
{
    const Bytes readHolding { 3, 0, 100, 0, 4 }; // 100-103
    const Bytes writeHolding { 16, 0, 102, 0, 1, 2, 0, 1 }; // 102
    const Bytes readCoils { 1, 0, 100, 0, 8 };
    const Bytes readWrite { 23, 0, 100, 0, 2, 0, 200, 0, 1, 2, 0, 1 }; // 100-101, writes 200
    const Bytes unknown { 8, 0, 0, 0, 0 };
    MappedAddresses mapped;
    mapped.add(RegisterType::HoldingRegister, 100, 4);
    struct Case {
        const char *what;
        ServeRules rules;
        std::vector<std::pair<int, Bytes>> requests;
        bool tcp;
        std::string answers;
    };
    const auto rules = [](auto change) {
        ServeRules r;
        r.units = { 1, 7 };
        change(r);
        return r;
    };
    const auto none = [](ServeRules &) {};
    const Case cases[] = {
        { "every unit served, others gone over TCP", rules(none),
            { { 1, readHolding }, { 7, readHolding }, { 2, readHolding }, { 0, readHolding } },
            true, "v v 11 11 " },
        { "others silent on a line", rules(none), { { 2, readHolding }, { 1, readHolding } }, false,
            "- v " },
        { "a write to every unit of a line done, unanswered; a read of them silent",
            rules([](ServeRules &r) { r.units = { 7 }; }),
            { { 0, writeHolding }, { 0, readHolding }, { 7, readHolding } }, false, "v - v " },
        { "a broadcast refused is silent too", rules([](ServeRules &r) { r.readOnly = true; }),
            { { 0, writeHolding } }, false, "- " },
        { "unit 0 over TCP is only another unit; 255 is the device addressed directly", rules(none),
            { { 0, writeHolding }, { 255, readHolding } }, true, "11 v " },
        { "unless 255 is a unit of its own", rules([](ServeRules &r) {
             r.units = { 255, 1 };
         }),
            { { 255, readHolding } }, true, "v " },
        { "a function not served, refused; report server id answered", rules(none),
            { { 1, unknown }, { 1, { 7 } }, { 1, { 17 } } }, true, "1 1 v " },
        { "counts and values out of range, addresses past the end, as libmodbus refuses them",
            rules(none),
            { { 1, { 3, 0, 0, 0, 0 } }, { 1, { 3, 0, 0, 0, 125 } }, { 1, { 4, 0, 0, 0, 126 } },
                { 1, { 1, 0, 0, 0x07, 0xD0 } }, { 1, { 2, 0, 0, 0x07, 0xD1 } },
                { 1, { 3, 0xFF, 0xFF, 0, 1 } }, { 1, { 3, 0xFF, 0xFF, 0, 2 } },
                { 1, { 5, 0, 1, 0xFF, 0 } }, { 1, { 5, 0, 1, 0x12, 0x34 } },
                { 1, { 16, 0, 0, 0, 2, 2, 0, 1 } }, { 1, { 15, 0, 0, 0, 9, 1, 0xFF } },
                { 1, { 16, 0xFF, 0xFF, 0, 2, 4, 0, 1, 0, 2 } },
                { 1, { 23, 0, 0, 0, 1, 0, 0, 0, 2, 2, 0, 1 } } },
            true, "3 v 3 v 3 v 2 v 3 3 3 2 3 " },
        { "every third unanswered, counting only the units served",
            rules([](ServeRules &r) { r.dropEvery = 3; }),
            { { 1, readHolding }, { 2, readHolding }, { 1, readHolding }, { 1, readHolding },
                { 1, readHolding }, { 1, readHolding }, { 1, readHolding } },
            true, "v 11 v - v v - " },
        { "every second busy", rules([](ServeRules &r) { r.busyEvery = 2; }),
            { { 1, readHolding }, { 1, writeHolding }, { 1, readCoils }, { 1, readCoils } }, true,
            "v 6 v 6 " },
        { "an exception where a request covers the address, of any type", rules([](ServeRules &r) {
             r.exceptions.push_back({ std::nullopt, 103, 4 });
         }),
            { { 1, readHolding }, { 1, writeHolding }, { 1, readCoils } }, true, "4 v 4 " },
        { "an exception for one type", rules([](ServeRules &r) {
             r.exceptions.push_back({ RegisterType::HoldingRegister, 200, 3 });
         }),
            { { 1, readHolding }, { 1, readWrite }, { 1, { 1, 0, 200, 0, 1 } } }, true, "v 3 v " },
        { "read-only refuses each write, reads go on",
            rules([](ServeRules &r) { r.readOnly = true; }),
            { { 1, writeHolding }, { 1, readHolding }, { 1, readWrite },
                { 1, { 5, 0, 1, 0xFF, 0 } }, { 1, { 22, 0, 1, 0, 0, 0, 0 } } },
            true, "1 v 1 1 1 " },
        { "only what the maps name", rules([](ServeRules &r) { r.onlyMapped = true; }),
            { { 1, readHolding }, { 1, { 3, 0, 99, 0, 2 } }, { 1, { 3, 0, 103, 0, 2 } },
                { 1, writeHolding }, { 1, readCoils }, { 1, readWrite },
                { 1, { 23, 0, 100, 0, 1, 0, 101, 0, 1, 2, 0, 1 } } },
            true, "v 2 2 v 2 2 v " },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Referee referee(c.rules, c.rules.onlyMapped ? mapped : MappedAddresses());
        EXPECT_EQ(answers(referee, c.requests, c.tcp), c.answers);
    }
}

} // namespace
} // namespace modbuscalc::device
