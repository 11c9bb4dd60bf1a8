// Masters for a Modbus TCP server under load, through libmodbus's client:
//
//   serve_load rate PORT MASTERS SECONDS
//       each master reads 125 holding registers again and again; prints
//       "REQUESTS_PER_SECOND MEDIAN_US P99_US FAILED"
//   serve_load soak PORT MASTERS SECONDS WRITES_FILE
//       each master reads and writes its own 2,000 registers at random and
//       checks every read against what it wrote, while one more connection
//       after another sends garbage; each write goes to WRITES_FILE as
//       "PORT ADDRESS COUNT" (the master's own port); prints
//       "REQUESTS WRONG FAILED WRITES"
//
// Everything on 127.0.0.1.

#include <modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Master {
    modbus_t *context = nullptr;
    int port = 0; // its own end's

    explicit Master(int serverPort)
    {
        context = modbus_new_tcp("127.0.0.1", serverPort);
        modbus_set_slave(context, 1);
        modbus_set_response_timeout(context, 2, 0);
        if (modbus_connect(context) != 0) {
            std::fprintf(stderr, "cannot connect: %s\n", modbus_strerror(errno));
            std::exit(2);
        }
        sockaddr_in own {};
        socklen_t size = sizeof own;
        ::getsockname(modbus_get_socket(context), reinterpret_cast<sockaddr *>(&own), &size);
        port = ntohs(own.sin_port);
    }
    ~Master()
    {
        modbus_close(context);
        modbus_free(context);
    }
    Master(const Master &) = delete;
    Master &operator=(const Master &) = delete;
};

int rate(int port, int masters, double seconds)
{
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(masters));
    std::atomic<long> failed = 0;
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int m = 0; m < masters; ++m)
        threads.emplace_back([&, m] {
            Master master(port);
            std::uint16_t words[125];
            auto &mine = latencies[static_cast<std::size_t>(m)];
            while (Clock::now() < until) {
                const auto start = Clock::now();
                if (modbus_read_registers(master.context, 0, 125, words) != 125)
                    ++failed;
                mine.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    std::vector<double> all;
    for (const auto &mine : latencies)
        all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end());
    if (all.empty())
        return 1;
    std::printf("%.0f %.0f %.0f %ld\n", static_cast<double>(all.size()) / seconds,
        all[all.size() / 2], all[all.size() * 99 / 100], failed.load());
    return 0;
}

int soak(int port, int masters, double seconds, const char *writesFile)
{
    constexpr int Span = 2000;
    std::atomic<long> requests = 0, wrong = 0, failed = 0, writes = 0;
    std::atomic<bool> done = false;
    std::mutex lock;
    std::ofstream log(writesFile);
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int m = 0; m < masters; ++m)
        threads.emplace_back([&, m] {
            Master master(port);
            std::mt19937 random(static_cast<std::uint32_t>(m + 1));
            std::vector<std::uint16_t> model(Span, 0);
            const int base = m * Span;
            // What the server held before: whatever an earlier run left.
            for (int at = 0; at < Span; at += 125)
                modbus_read_registers(
                    master.context, base + at, std::min(125, Span - at), model.data() + at);
            std::uint16_t words[125];
            while (Clock::now() < until) {
                const int count = std::uniform_int_distribution(1, 123)(random);
                const int at = std::uniform_int_distribution(0, Span - count)(random);
                ++requests;
                if (random() % 2 == 0) {
                    for (int k = 0; k < count; ++k)
                        words[k] = static_cast<std::uint16_t>(random());
                    if (modbus_write_registers(master.context, base + at, count, words) != count) {
                        ++failed;
                        continue;
                    }
                    std::copy(words, words + count, model.begin() + at);
                    ++writes;
                    const std::lock_guard<std::mutex> guard(lock);
                    log << master.port << ' ' << base + at << ' ' << count << '\n';
                } else if (modbus_read_registers(master.context, base + at, count, words)
                    != count) {
                    ++failed;
                } else if (!std::equal(words, words + count, model.begin() + at)) {
                    ++wrong;
                }
            }
        });
    // One connection after another sending garbage.
    std::thread garbage([&] {
        std::mt19937 random(99);
        while (!done) {
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            if (::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
                std::uint8_t bytes[300];
                const std::size_t size = 1 + random() % sizeof bytes;
                for (std::size_t i = 0; i < size; ++i)
                    bytes[i] = static_cast<std::uint8_t>(random());
                ::send(s, bytes, size, MSG_NOSIGNAL);
            }
            ::close(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    for (std::thread &thread : threads)
        thread.join();
    done = true;
    garbage.join();
    std::printf("%ld %ld %ld %ld\n", requests.load(), wrong.load(), failed.load(), writes.load());
    return wrong == 0 && failed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "rate" && argc == 5)
        return rate(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]));
    if (mode == "soak" && argc == 6)
        return soak(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]), argv[5]);
    std::fprintf(stderr,
        "usage: serve_load rate PORT MASTERS SECONDS | soak PORT MASTERS SECONDS WRITES_FILE\n");
    return 2;
}
