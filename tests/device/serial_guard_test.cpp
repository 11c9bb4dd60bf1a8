// The serial line's guard without a line: when a drain may end, what
// settles an owed reply, and how reads are asked apart from replies given
// up on.

#include "device/serial_guard.h"

#include <gtest/gtest.h>

#include <vector>

namespace modbuscalc::device {
namespace {

using namespace std::chrono_literals;
using Clock = SerialGuard::Clock;
using Frame = std::vector<std::uint8_t>;

constexpr auto Timeout = 200ms;
const Clock::time_point Sent {};

TEST(SerialGuard, ADrainWaitsOutTheOwedReplyThenATimeoutOfQuiet)
{
    const auto read = SerialGuard::ReadHead(7, RegisterType::HoldingRegister, 2);
    struct Case {
        const char *what;
        std::vector<Frame> heard;
        Clock::duration lastHeard;
        Clock::duration ends;
    };
    const Case cases[] = {
        // Nothing heard: until the reply can no longer come, then quiet.
        { "nothing", {}, 0ms, 6 * Timeout },
        { "bytes late in its time", {}, 5 * Timeout + 50ms, 6 * Timeout + 50ms },
        // The reply itself, or its exception: a timeout of quiet after it.
        { "its reply", { { 7, 3, 4, 0, 1, 0, 2 } }, 300ms, 300ms + Timeout },
        { "its exception", { { 7, 0x83, 2 } }, 300ms, 300ms + Timeout },
        // Another unit's, another length's or another function's: not ours.
        { "another unit's", { { 8, 3, 4, 0, 1, 0, 2 } }, 300ms, 6 * Timeout },
        { "another length's", { { 7, 3, 6, 0, 1, 0, 2, 0, 3 } }, 300ms, 6 * Timeout },
        { "another function's exception", { { 7, 0x84, 2 } }, 300ms, 6 * Timeout },
        { "a scrap", { { 7 } }, 300ms, 6 * Timeout },
    };
    for (const Case &c : cases) {
        SerialGuard guard(Timeout);
        EXPECT_FALSE(guard.owing(7));
        guard.owe(read, Sent);
        EXPECT_TRUE(guard.owing(7)) << c.what;
        EXPECT_FALSE(guard.owing(8)) << c.what; // another unit's request goes at once
        for (const Frame &frame : c.heard)
            guard.heard(frame);
        EXPECT_EQ(guard.drainEnds(7, Sent + c.lastHeard) - Sent, c.ends) << c.what;
        EXPECT_EQ(guard.drainEnds(8, Sent + c.lastHeard) - Sent, c.lastHeard + Timeout) << c.what;
        guard.drained(7);
        EXPECT_FALSE(guard.owing(7)) << c.what;
    }
}

TEST(SerialGuard, AWriteIsSettledByItsOwnEchoOnly)
{
    SerialGuard guard(Timeout);
    guard.owe(SerialGuard::WriteHead(1, 16, 10, 2), Sent);
    guard.heard(Frame { 1, 16, 0, 11, 0, 2 }); // another address's
    EXPECT_EQ(guard.drainEnds(1, Sent) - Sent, 6 * Timeout);
    guard.heard(Frame { 1, 16, 0, 10, 0, 2 });
    EXPECT_EQ(guard.drainEnds(1, Sent) - Sent, Timeout);
}

TEST(SerialGuard, ReadsAreAskedApartFromRepliesGivenUpOn)
{
    struct Case {
        const char *what;
        RegisterType type;
        std::vector<int> givenUp; // counts of reads never answered, at unit 1
        int address, count, limit;
        SerialGuard::Ask asked;
    };
    const auto H = RegisterType::HoldingRegister, C = RegisterType::Coil;
    const Case cases[] = {
        { "none given up", H, {}, 100, 2, 125, { 100, 2 } },
        { "another length", H, { 3 }, 100, 2, 125, { 100, 2 } },
        { "the same length", H, { 2 }, 100, 2, 125, { 100, 3 } },
        { "two lengths", H, { 2, 3 }, 100, 2, 125, { 100, 4 } },
        { "at the end of the space", H, { 2 }, 65534, 2, 125, { 65533, 3 } },
        { "just within the space", H, { 2 }, 65533, 2, 125, { 65533, 3 } },
        { "at the limit", H, { 125 }, 0, 125, 125, { 0, 125 } },
        { "bits, a byte more", C, { 5 }, 0, 5, 2000, { 0, 9 } },
        { "bits of another byte count", C, { 9 }, 0, 5, 2000, { 0, 5 } },
    };
    for (const Case &c : cases) {
        SerialGuard guard(Timeout);
        for (const int count : c.givenUp) {
            guard.owe(SerialGuard::ReadHead(1, c.type, count), Sent);
            guard.drained(1);
        }
        EXPECT_EQ(guard.ask(1, c.type, c.address, c.count, c.limit), c.asked) << c.what;
        // Another unit's reply could never pass for this one's.
        EXPECT_EQ(guard.ask(2, c.type, c.address, c.count, c.limit),
            (SerialGuard::Ask { c.address, c.count }))
            << c.what;
    }
}

TEST(SerialGuard, AnExceptionIsInDoubtOnlyAfterTheSameFunctionWasGivenUpOn)
{
    SerialGuard guard(Timeout);
    EXPECT_FALSE(guard.exceptionInDoubt(1, 16));
    guard.owe(SerialGuard::WriteHead(1, 16, 10, 2), Sent);
    EXPECT_FALSE(guard.exceptionInDoubt(1, 16)); // owed: drained before anything is sent
    guard.drained(1);
    EXPECT_TRUE(guard.exceptionInDoubt(1, 16));
    EXPECT_FALSE(guard.exceptionInDoubt(1, 6));
    EXPECT_FALSE(guard.exceptionInDoubt(2, 16));
    // A reply heard is no reply given up on.
    SerialGuard heard(Timeout);
    heard.owe(SerialGuard::WriteHead(1, 16, 10, 2), Sent);
    heard.heard(Frame { 1, 0x90, 2 });
    heard.drained(1);
    EXPECT_FALSE(heard.exceptionInDoubt(1, 16));
}

} // namespace
} // namespace modbuscalc::device
