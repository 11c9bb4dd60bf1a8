// The served controller over TCP as a property: masters of the test's own
// send thousands of random reads and writes, each frame cut into random
// pieces, some pipelined, while saboteurs connect beside them and send
// garbage, half frames that stall, lying lengths, or leave. Every answer
// must come within the masters' timeout and hold exactly what a model of
// the registers says. A failure names its seed.

#include "device/server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace modbuscalc::device {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr auto MasterTimeout = 1s;
constexpr int Span = 1000; // each master's own registers

int connectTo(int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(s);
        return -1;
    }
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

// Reads exactly size bytes, or fewer when the time is up or it closed.
Bytes receive(int s, std::size_t size, std::chrono::steady_clock::time_point until)
{
    Bytes got;
    while (got.size() < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd entry { s, POLLIN, 0 };
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            break;
        std::uint8_t buffer[300];
        const auto n = ::recv(s, buffer, std::min(sizeof buffer, size - got.size()), 0);
        if (n <= 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

void put(Bytes &bytes, int word)
{
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

Bytes tcpFrame(int transaction, const Bytes &pdu)
{
    Bytes frame;
    put(frame, transaction);
    put(frame, 0);
    put(frame, static_cast<int>(pdu.size()) + 1);
    frame.push_back(1);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

// One master: its registers and coils, as they must be.
class Master {
public:
    Master(int index, int port, std::uint32_t seed)
        : m_base(index * Span)
        , m_random(seed)
        , m_socket(connectTo(port))
        , m_registers(Span, 0)
        , m_coils(Span, 0)
    {
    }
    ~Master() { ::close(m_socket); }

    // Runs the requests; empty, or what went wrong first.
    std::string run(int requests)
    {
        if (m_socket < 0)
            return "no connection";
        for (int i = 0; i < requests; ++i) {
            // Now and then two requests at once, answered in turn.
            const int together = pick(0, 9) == 0 ? 2 : 1;
            std::vector<std::pair<Bytes, Bytes>> exchanges; // request, expected answer
            for (int k = 0; k < together; ++k)
                exchanges.push_back(next());
            Bytes sent;
            for (const auto &[request, answer] : exchanges)
                sent.insert(sent.end(), request.begin(), request.end());
            send(sent);
            for (const auto &[request, answer] : exchanges) {
                const Bytes got = receive(
                    m_socket, answer.size(), std::chrono::steady_clock::now() + MasterTimeout);
                if (got != answer)
                    return "request " + std::to_string(i) + " (function "
                        + std::to_string(request[7]) + "): "
                        + (got.size() < answer.size() ? "no whole answer in time"
                                                      : "an answer not the model's");
            }
        }
        return {};
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution(low, high)(m_random); }

    // A random request within the master's own span, and the answer the
    // model expects.
    std::pair<Bytes, Bytes> next()
    {
        const int transaction = ++m_transaction & 0xFFFF;
        Bytes pdu, answer;
        switch (pick(0, 4)) {
        case 0: { // write registers
            const int count = pick(1, 123), at = pick(0, Span - count);
            pdu = { 16 };
            put(pdu, m_base + at);
            put(pdu, count);
            pdu.push_back(static_cast<std::uint8_t>(2 * count));
            for (int k = 0; k < count; ++k) {
                const int value = pick(0, 0xFFFF);
                m_registers[static_cast<std::size_t>(at + k)] = static_cast<std::uint16_t>(value);
                put(pdu, value);
            }
            answer = { 16 };
            put(answer, m_base + at);
            put(answer, count);
            break;
        }
        case 1: { // write one register
            const int at = pick(0, Span - 1), value = pick(0, 0xFFFF);
            m_registers[static_cast<std::size_t>(at)] = static_cast<std::uint16_t>(value);
            pdu = { 6 };
            put(pdu, m_base + at);
            put(pdu, value);
            answer = pdu;
            break;
        }
        case 2: { // write coils
            const int count = pick(1, 100), at = pick(0, Span - count);
            pdu = { 15 };
            put(pdu, m_base + at);
            put(pdu, count);
            pdu.push_back(static_cast<std::uint8_t>((count + 7) / 8));
            Bytes bits(static_cast<std::size_t>((count + 7) / 8), 0);
            for (int k = 0; k < count; ++k) {
                const int on = pick(0, 1);
                m_coils[static_cast<std::size_t>(at + k)] = static_cast<std::uint8_t>(on);
                bits[static_cast<std::size_t>(k / 8)] |= static_cast<std::uint8_t>(on << (k % 8));
            }
            pdu.insert(pdu.end(), bits.begin(), bits.end());
            answer = { 15 };
            put(answer, m_base + at);
            put(answer, count);
            break;
        }
        case 3: { // read coils
            const int count = pick(1, 200), at = pick(0, Span - count);
            pdu = { 1 };
            put(pdu, m_base + at);
            put(pdu, count);
            answer = { 1, static_cast<std::uint8_t>((count + 7) / 8) };
            Bytes bits(static_cast<std::size_t>((count + 7) / 8), 0);
            for (int k = 0; k < count; ++k)
                bits[static_cast<std::size_t>(k / 8)] |= static_cast<std::uint8_t>(
                    m_coils[static_cast<std::size_t>(at + k)] << (k % 8));
            answer.insert(answer.end(), bits.begin(), bits.end());
            break;
        }
        default: { // read registers
            const int count = pick(1, 125), at = pick(0, Span - count);
            pdu = { 3 };
            put(pdu, m_base + at);
            put(pdu, count);
            answer = { 3, static_cast<std::uint8_t>(2 * count) };
            for (int k = 0; k < count; ++k)
                put(answer, m_registers[static_cast<std::size_t>(at + k)]);
            break;
        }
        }
        return { tcpFrame(transaction, pdu), tcpFrame(transaction, answer) };
    }

    // Sends the bytes in one to four pieces, a few milliseconds apart.
    void send(const Bytes &bytes)
    {
        std::size_t at = 0;
        const int pieces = pick(1, 4);
        for (int p = 1; p <= pieces && at < bytes.size(); ++p) {
            const std::size_t end = p == pieces
                ? bytes.size()
                : std::min(bytes.size(), at + static_cast<std::size_t>(pick(1, 12)));
            ::send(m_socket, bytes.data() + at, end - at, MSG_NOSIGNAL);
            at = end;
            if (at < bytes.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 3)));
        }
    }

    int m_base;
    std::mt19937 m_random;
    int m_socket;
    std::vector<std::uint16_t> m_registers;
    std::vector<std::uint8_t> m_coils;
    int m_transaction = 0;
};

// Connects again and again, each time doing one of the things no master
// should, until told to stop.
void sabotage(int port, std::uint32_t seed, const std::atomic<bool> &done)
{
    std::mt19937 random(seed);
    const auto pick
        = [&](int low, int high) { return std::uniform_int_distribution(low, high)(random); };
    const Bytes read = tcpFrame(1, { 3, 0, 0, 0, 10 });
    while (!done) {
        const int s = connectTo(port);
        if (s < 0)
            continue;
        Bytes bytes;
        switch (pick(0, 4)) {
        case 0: // garbage
            for (int k = pick(1, 300); k > 0; --k)
                bytes.push_back(static_cast<std::uint8_t>(pick(0, 255)));
            break;
        case 1: // half a frame, then nothing
            bytes.assign(read.begin(), read.begin() + pick(1, 11));
            break;
        case 2: { // a length that lies
            bytes = read;
            bytes[5] = static_cast<std::uint8_t>(pick(7, 255));
            break;
        }
        case 3: // a request, and gone before the answer
            bytes = read;
            break;
        default: // gone at once
            break;
        }
        ::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (pick(0, 3) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 1500)));
        ::close(s);
    }
}

TEST(ServerProperty, EveryMasterGetsItsOwnTrueAnswerWhateverOthersSend)
{
    int requests = 1000; // each master's
    if (const char *given = std::getenv("PROPERTY_REQUESTS"))
        requests = std::max(1, std::atoi(given) / 6);
    for (const std::uint32_t seed : { 1u, 2u }) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ServeSettings settings;
        settings.link = TcpEndpoint { "127.0.0.1", 0 };
        Server server(std::move(settings), nullptr, nullptr);
        ASSERT_EQ(server.open(), std::nullopt);
        const std::string where = server.where();
        const int port = std::stoi(where.substr(where.rfind(':') + 1));
        Stop stop;
        std::thread serving([&] { server.run(stop); });

        std::atomic<bool> done = false;
        std::vector<std::thread> saboteurs;
        for (std::uint32_t k = 0; k < 4; ++k)
            saboteurs.emplace_back(sabotage, port, seed * 100 + k, std::cref(done));
        std::vector<std::string> failures(6);
        std::vector<std::thread> masters;
        for (int m = 0; m < 6; ++m)
            masters.emplace_back([&, m] {
                Master master(m, port, seed * 10 + static_cast<std::uint32_t>(m));
                failures[static_cast<std::size_t>(m)] = master.run(requests);
            });
        for (std::thread &master : masters)
            master.join();
        done = true;
        for (std::thread &saboteur : saboteurs)
            saboteur.join();
        stop.request();
        serving.join();
        for (std::size_t m = 0; m < failures.size(); ++m)
            EXPECT_EQ(failures[m], "") << "master " << m;
    }
}

} // namespace
} // namespace modbuscalc::device
