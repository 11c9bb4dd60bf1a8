// A name lookup that a stop cuts short, with a resolver of the test's own
// that takes as long as the test says.

#include "device/lookup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace modbuscalc::device {
namespace {

using namespace std::chrono_literals;

std::atomic<bool> released = false;
std::atomic<bool> finished = false;

// Answers "no such name" once released, as a resolver whose server is slow.
int slowResolver(const char *, const char *, const addrinfo *, addrinfo **list)
{
    while (!released)
        std::this_thread::sleep_for(1ms);
    *list = nullptr;
    finished = true;
    return EAI_NONAME;
}

TEST(LookUp, AStopEndsTheWaitWhileTheResolverStillRuns)
{
    released = false;
    finished = false;
    Stop stop;
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(50ms);
        stop.request();
    });
    const Lookup lookup = LookUp("plc.example", "502", addrinfo {}, stop, slowResolver);
    stopper.join();
    EXPECT_TRUE(lookup.stopped);
    EXPECT_FALSE(finished); // it did not wait for the resolver
    released = true;
    while (!finished)
        std::this_thread::sleep_for(1ms);
}

TEST(LookUp, WithoutAStopItsAnswerComesBack)
{
    released = true;
    finished = false;
    Stop stop;
    const Lookup lookup = LookUp("plc.example", "502", addrinfo {}, stop, slowResolver);
    EXPECT_FALSE(lookup.stopped);
    EXPECT_EQ(lookup.status, EAI_NONAME);
    EXPECT_TRUE(finished);
}

} // namespace
} // namespace modbuscalc::device
