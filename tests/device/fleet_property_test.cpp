// Several devices read at once as a property: thousands of random lines
// spread over served controllers with two units each, one dropping
// requests, one slow and refusing some addresses, and a host that accepts
// and never answers. Every value must be its own register's, from its own
// unit, or an error: never another's; lines come back in order, each once.
// A failure names its seed.

#include "../services.h"
#include "device/fleet.h"
#include "device/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace modbuscalc::device {
namespace {

constexpr int Span = 8192; // the registers the lines name, of each unit
constexpr int Units[] = { 1, 2 };

// A served controller on a free port, running until the test ends.
struct Served {
    explicit Served(ServeRules rules, std::atomic<int> &requests)
        : server(
            [&] {
                ServeSettings settings;
                settings.link = TcpEndpoint { "127.0.0.1", 0 };
                settings.rules = std::move(rules);
                return settings;
            }(),
            [&requests](const ServedEvent &) { ++requests; }, nullptr)
    {
        EXPECT_EQ(server.open(), std::nullopt);
        const std::string where = server.where();
        endpoint = { "127.0.0.1", std::stoi(where.substr(where.rfind(':') + 1)) };
        serving = std::thread([this] { server.run(stop); });
    }
    ~Served()
    {
        stop.request();
        serving.join();
    }
    Server server;
    TcpEndpoint endpoint;
    Stop stop;
    std::thread serving;
};

TEST(FleetProperty, EveryValueIsItsOwnRegistersWhateverTheOthersDo)
{
    int lines = 3000;
    if (const char *given = std::getenv("PROPERTY_REQUESTS"))
        lines = std::max(10, std::atoi(given));
    for (const std::uint32_t seed : { 1u, 2u }) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const auto pick = [&random](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(random);
        };
        std::atomic<int> requests = 0;
        ServeRules plain, dropping, slow;
        plain.units = dropping.units = slow.units = { 1, 2 };
        dropping.dropEvery = 37;
        slow.delay = std::chrono::milliseconds(1);
        for (int i = 0; i < 20; ++i)
            slow.exceptions.push_back(
                { RegisterType::HoldingRegister, pick(0, Span - 1), pick(2, 4) });
        std::vector<std::unique_ptr<Served>> served;
        for (ServeRules *rules : { &plain, &dropping, &slow })
            served.push_back(std::make_unique<Served>(*rules, requests));
        const modbuscalc_test::LocalPort silent(true); // takes connections, never answers

        // Each unit's own registers, written through a session of its own.
        std::map<std::pair<std::size_t, int>, std::vector<std::uint16_t>> truth;
        for (std::size_t s = 0; s < served.size(); ++s) {
            Stop stop;
            Connection connection { served[s]->endpoint, 1, 1, 3 };
            Session session(MakeTransport(connection, stop, {}), 3, stop);
            for (const int unit : Units) {
                session.setUnit(unit);
                std::vector<std::uint16_t> &words = truth[{ s, unit }];
                for (int i = 0; i < Span; ++i)
                    words.push_back(static_cast<std::uint16_t>(random()));
                for (int at = 0; at < Span; at += MaxRegistersPerWrite) {
                    const auto span = std::span(words).subspan(static_cast<std::size_t>(at),
                        static_cast<std::size_t>(std::min(MaxRegistersPerWrite, Span - at)));
                    if (!session.write(RegisterType::HoldingRegister, at, span, true))
                        continue;
                    // An address that refuses: the rest one by one; it stays 0.
                    for (std::size_t i = 0; i < span.size(); ++i)
                        if (session.write(RegisterType::HoldingRegister, at + static_cast<int>(i),
                                span.subspan(i, 1), false))
                            span[i] = 0;
                }
            }
        }
        const int before = requests.load();

        Stop stop;
        Fleet fleet(Connection { TcpEndpoint {}, 1, 0.05, 1 }, stop, {});
        struct Target {
            std::size_t served; // served.size(): the silent host
            int unit;
        };
        std::vector<Target> targets;
        std::vector<std::size_t> deviceOf; // by target
        for (std::size_t s = 0; s <= served.size(); ++s)
            for (const int unit : Units) {
                const TcpEndpoint endpoint = s < served.size()
                    ? served[s]->endpoint
                    : TcpEndpoint { "127.0.0.1", silent.port() };
                deviceOf.push_back(fleet.add(endpoint, unit));
                targets.push_back({ s, unit });
            }
        std::vector<Wanted> wanted;
        std::vector<std::size_t> devices, targetOf;
        for (int i = 0; i < lines; ++i) {
            const int width = std::vector { 1, 2, 4 }[static_cast<std::size_t>(pick(0, 2))];
            const int values = pick(1, 3);
            const auto target = static_cast<std::size_t>(pick(0, int(targets.size()) - 1));
            wanted.push_back({ RegisterType::HoldingRegister, pick(0, Span - width * values),
                width * values, width });
            devices.push_back(deviceOf[target]);
            targetOf.push_back(target);
        }

        std::size_t next = 0, good = 0, liveLines = 0;
        std::string failure;
        fleet.readAll(wanted, devices, pick(0, 4), {}, [&](std::size_t line, Fleet::Values got) {
            if (line != next++ && failure.empty())
                failure = "line " + std::to_string(line) + " came out of order";
            const Target &target = targets[targetOf[line]];
            const Wanted &w = wanted[line];
            if (got.size() != static_cast<std::size_t>(w.count / w.width) && failure.empty())
                failure = "line " + std::to_string(line) + ": values missing";
            const bool live = target.served < served.size();
            liveLines += live;
            bool allGood = true;
            for (std::size_t v = 0; v < got.size(); ++v) {
                const auto *words = std::get_if<std::vector<std::uint16_t>>(&got[v]);
                if (!words) {
                    allGood = false;
                    continue;
                }
                const auto &own = truth[{ target.served, target.unit }];
                const auto from = own.begin() + w.address + static_cast<int>(v) * w.width;
                if ((!live || !std::equal(words->begin(), words->end(), from, from + w.width))
                    && failure.empty())
                    failure = "line " + std::to_string(line) + " value " + std::to_string(v)
                        + ": another register's value";
            }
            good += live && allGood;
        });
        EXPECT_EQ(failure, "");
        EXPECT_EQ(next, wanted.size()) << "lines never handed on";
        // Not vacuous: most live lines read, and thousands of requests asked.
        EXPECT_GT(good * 10, liveLines * 8);
        EXPECT_GT(requests.load() - before, 1000);
    }
}

} // namespace
} // namespace modbuscalc::device
