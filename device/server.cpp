#include "device/server.h"

#include "device/modbus_link.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace modbuscalc::device {

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using PollEntry = WSAPOLLFD;
int pollSockets(PollEntry *entries, std::size_t count, int milliseconds)
{
    return ::WSAPoll(entries, static_cast<ULONG>(count), milliseconds);
}
void closeSocket(int s)
{
    ::closesocket(static_cast<SOCKET>(s));
}
int socketError()
{
    return ::WSAGetLastError();
}
constexpr int NoAccess = WSAEACCES, InUse = WSAEADDRINUSE, NotHere = WSAEADDRNOTAVAIL;
// libmodbus holds a socket as an int, Winsock as a SOCKET.
SOCKET native(int s)
{
    return static_cast<SOCKET>(s);
}
bool accepted(SOCKET s)
{
    return s != INVALID_SOCKET;
}
#else
using PollEntry = pollfd;
int pollSockets(PollEntry *entries, std::size_t count, int milliseconds)
{
    return ::poll(entries, static_cast<nfds_t>(count), milliseconds);
}
void closeSocket(int s)
{
    ::close(s);
}
int socketError()
{
    return errno;
}
constexpr int NoAccess = EACCES, InUse = EADDRINUSE, NotHere = EADDRNOTAVAIL;
int native(int s)
{
    return s;
}
bool accepted(int s)
{
    return s >= 0;
}
#endif

// "127.0.0.1:50312", "[::1]:50312".
std::string addressText(const sockaddr_storage &address)
{
    char host[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (address.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        port = ntohs(v6.sin6_port);
        return '[' + std::string(host) + "]:" + std::to_string(port);
    }
    const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
    port = ntohs(v4.sin_port);
    return std::string(host) + ':' + std::to_string(port);
}

// A connection of a master.
struct Peer {
    int socket;
    std::string name;
    std::optional<Clock::time_point> partialSince; // a frame begun, not yet whole
    // An answer held back by --delay: the request, and when it is due.
    std::vector<std::uint8_t> held;
    Clock::time_point due;
};

using Mapping = std::unique_ptr<modbus_mapping_t, void (*)(modbus_mapping_t *)>;

} // namespace

struct Server::State {
    ServeSettings settings;
    Referee referee;
    Log log;
    Notice notice;
    std::unique_ptr<modbus_t, void (*)(modbus_t *)> context { nullptr, modbus_free };
    std::map<int, Mapping> spaces;
    int listening = -1;
    std::string where;
    std::vector<Peer> peers;
    Clock::time_point nextRamp;
    const Stop *stopping = nullptr; // while it serves
    bool tcp() const { return std::holds_alternative<TcpEndpoint>(settings.link); }

    State(ServeSettings s, Log l, Notice n)
        : settings(std::move(s))
        , referee(settings.rules, std::move(settings.mapped))
        , log(std::move(l))
        , notice(std::move(n))
    {
    }

    std::optional<std::string> openTcp();
    std::optional<std::string> openRtu();
    bool serveTcp(const Stop &stop);
    bool serveRtu(const Stop &stop);
    void ramp(Clock::time_point now);
    // Judges a whole request and answers it now, or holds it for --delay.
    // false when the link failed.
    bool take(std::span<const std::uint8_t> request, const std::string &peer, Peer *held);
    bool answer(std::span<const std::uint8_t> request, const std::string &peer);
    void drop(std::size_t index, const std::string &why);
};

std::optional<std::string> Server::State::openTcp()
{
    const auto &endpoint = std::get<TcpEndpoint>(settings.link);
    const std::string port = std::to_string(endpoint.port);
    context.reset(modbus_new_tcp_pi(endpoint.host.c_str(), port.c_str()));
    if (!context)
        return "cannot listen on " + Where(settings.link) + ": "
            + LowerFirst(modbus_strerror(errno));
    errno = 0;
    listening = modbus_tcp_pi_listen(context.get(), MaxConnections);
    if (listening < 0) {
        const int error = errno == 0 ? socketError() : errno;
        std::string text = "cannot listen on " + Where(settings.link) + ": ";
        if (error == NoAccess && endpoint.port < 1024)
            return text + "port " + port
                + " needs administrator rights (root, or CAP_NET_BIND_SERVICE); a port above "
                  "1023 does not: --listen "
                + (endpoint.host.find(':') != std::string::npos ? '[' + endpoint.host + ']'
                                                                : endpoint.host)
                + ":5020";
        if (error == InUse)
            return text + "port " + port + " is in use by another program";
        if (error == NotHere)
            return text + "no interface of this machine has that address";
        if (error == ECONNREFUSED) // libmodbus's word for a name it could not look up
            return text + "no such host or address";
        return text + LowerFirst(std::strerror(error));
    }
    sockaddr_storage bound {};
    socklen_t size = sizeof bound;
    if (::getsockname(native(listening), reinterpret_cast<sockaddr *>(&bound), &size) == 0)
        where = addressText(bound);
    else
        where = Where(settings.link);
    return std::nullopt;
}

std::optional<std::string> Server::State::openRtu()
{
    const auto &line = std::get<SerialLine>(settings.link);
    context.reset(modbus_new_rtu(line.device.c_str(), line.baud, static_cast<char>(line.parity),
        line.dataBits, line.stopBits));
    if (!context)
        return "cannot open " + line.device + ": " + LowerFirst(modbus_strerror(errno));
    modbus_set_slave(context.get(), settings.rules.units.front());
    if (modbus_connect(context.get()) != 0)
        return "cannot open " + line.device + ": " + LowerFirst(modbus_strerror(errno));
    // A wait for a request ends every slice, to look at a stop and the ramps.
    modbus_set_indication_timeout(context.get(), 0, static_cast<std::uint32_t>(Stop::Slice * 1e6));
    where = line.device;
    return std::nullopt;
}

void Server::State::ramp(Clock::time_point now)
{
    if (settings.ramps.empty() || now < nextRamp)
        return;
    nextRamp = now + std::chrono::seconds(1);
    for (auto &[unit, space] : spaces) {
        for (const Ramp &r : settings.ramps) {
            const auto at = static_cast<std::size_t>(r.address);
            switch (r.type) {
            case RegisterType::Coil:
                space->tab_bits[at] = space->tab_bits[at] ? 0 : 1;
                break;
            case RegisterType::DiscreteInput:
                space->tab_input_bits[at] = space->tab_input_bits[at] ? 0 : 1;
                break;
            case RegisterType::InputRegister:
                ++space->tab_input_registers[at];
                break;
            case RegisterType::HoldingRegister:
                ++space->tab_registers[at];
                break;
            }
        }
    }
}

bool Server::State::answer(std::span<const std::uint8_t> request, const std::string &peer)
{
    modbus_t *ctx = context.get();
    const auto header = static_cast<std::size_t>(modbus_get_header_length(ctx));
    const std::size_t trailer = tcp() ? 0 : 2; // RTU's CRC
    ServedEvent event;
    event.peer = peer;
    event.unit = request[header - 1];
    event.function = request[header];
    event.request = ServedRequestOf(request.subspan(header, request.size() - header - trailer));
    event.answer = referee.judge(event.unit, event.request, tcp());
    const int length = static_cast<int>(request.size());
    int sent = 0;
    switch (event.answer.kind) {
    case Answer::Kind::Reply:
        // A broadcast on a line is unanswered by libmodbus itself.
        sent = modbus_reply(
            ctx, request.data(), length, spaces.at(referee.unitFor(event.unit, tcp())).get());
        break;
    case Answer::Kind::Exception:
        sent = modbus_reply_exception(
            ctx, request.data(), static_cast<unsigned int>(event.answer.exception));
        break;
    case Answer::Kind::Silence:
        break;
    }
    event.time = std::chrono::system_clock::now();
    if (log)
        log(event);
    return sent >= 0;
}

bool Server::State::take(std::span<const std::uint8_t> request, const std::string &peer, Peer *held)
{
    if (settings.rules.delay.count() <= 0)
        return answer(request, peer);
    if (held) {
        // Answered later; the connection is not read meanwhile, as a master
        // waits for its answer.
        held->held.assign(request.begin(), request.end());
        held->due = Clock::now() + settings.rules.delay;
        return true;
    }
    // A serial line answers in turn; a stop ends the wait.
    if (!stopping->sleep(std::chrono::duration<double>(settings.rules.delay).count()))
        return true;
    return answer(request, peer);
}

void Server::State::drop(std::size_t index, const std::string &why)
{
    if (notice && !why.empty())
        notice(peers[index].name + ": " + why);
    closeSocket(peers[index].socket);
    peers.erase(peers.begin() + static_cast<std::ptrdiff_t>(index));
}

bool Server::State::serveTcp(const Stop &stop)
{
    modbus_t *ctx = context.get();
    std::array<std::uint8_t, MODBUS_TCP_MAX_ADU_LENGTH> request {};
    std::vector<PollEntry> entries;
    while (!stop.requested() && (listening >= 0 || !peers.empty())) {
        Clock::time_point now = Clock::now();
        ramp(now);
        // Answers held back that are due.
        for (std::size_t i = 0; i < peers.size();) {
            Peer &peer = peers[i];
            if (!peer.held.empty() && peer.due <= now) {
                modbus_set_socket(ctx, peer.socket);
                const std::vector<std::uint8_t> held = std::exchange(peer.held, {});
                if (!answer(held, peer.name)) {
                    drop(i, "closed: " + LowerFirst(std::strerror(errno)));
                    continue;
                }
            }
            ++i;
        }
        // How long to wait: a slice at most; less for an answer due, the
        // next ramp, or a frame begun (looked at again every 2 ms, as its
        // bytes stay waiting).
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::duration<double>(Stop::Slice));
        bool partial = false;
        for (const Peer &peer : peers) {
            if (!peer.held.empty())
                wait = std::min(
                    wait, std::chrono::duration_cast<std::chrono::milliseconds>(peer.due - now));
            partial = partial || peer.partialSince;
        }
        if (partial)
            wait = std::min(wait, std::chrono::milliseconds(2));
        if (!settings.ramps.empty())
            wait = std::min(
                wait, std::chrono::duration_cast<std::chrono::milliseconds>(nextRamp - now));
        entries.clear();
        entries.push_back({});
        entries.back().fd = static_cast<decltype(entries.back().fd)>(listening);
        entries.back().events = POLLIN;
        for (const Peer &peer : peers) {
            entries.push_back({});
            entries.back().fd = static_cast<decltype(entries.back().fd)>(peer.socket);
            // A connection waiting for its answer, or with a frame begun, is
            // not polled for bytes, which stay there until they are taken;
            // one with a frame begun is polled for its master's leaving.
            entries.back().events = peer.held.empty() && !peer.partialSince ? POLLIN : 0;
#ifdef POLLRDHUP
            if (peer.partialSince)
                entries.back().events = POLLRDHUP;
#endif
        }
        const int ready = pollSockets(
            entries.data(), entries.size(), static_cast<int>(std::max<long long>(wait.count(), 0)));
        if (ready < 0 && socketError() != EINTR) {
            if (notice)
                notice(where + ": " + LowerFirst(std::strerror(socketError())));
            return false;
        }
        now = Clock::now();
        const std::size_t polled = peers.size();
        for (std::size_t i = polled; i-- > 0;) {
            Peer &peer = peers[i];
            const short got = ready > 0 ? entries[i + 1].revents : short { 0 };
            if (!peer.held.empty() || (!peer.partialSince && got == 0))
                continue;
            std::array<std::uint8_t, MaxTcpFrame> waiting {};
            const auto peeked
                = ::recv(native(peer.socket), reinterpret_cast<char *>(waiting.data()),
                    static_cast<int>(waiting.size()), MSG_PEEK);
            if (peeked == 0) {
                drop(i, "");
                continue;
            }
            if (peeked < 0) {
                drop(i, "closed: " + LowerFirst(std::strerror(socketError())));
                continue;
            }
            const TcpFrame frame
                = JudgeTcpFrame(std::span(waiting.data(), static_cast<std::size_t>(peeked)));
            if (frame.state == TcpFrame::State::Lie) {
                drop(i, "closed: it sent a frame no Modbus master sends");
                continue;
            }
            if (frame.state == TcpFrame::State::Partial) {
#ifdef POLLRDHUP
                if ((got & POLLRDHUP) != 0) {
                    drop(i, "closed: it left half-way through a frame");
                    continue;
                }
#endif
                if (!peer.partialSince)
                    peer.partialSince = now;
                else if (now - *peer.partialSince > FrameLimit)
                    drop(i, "closed: half a frame, and nothing more for a second");
                continue;
            }
            peer.partialSince.reset();
            modbus_set_socket(ctx, peer.socket);
            // The whole frame is waiting: libmodbus reads exactly it.
            const int got_ = modbus_receive(ctx, request.data());
            if (got_ <= 0 || static_cast<std::size_t>(got_) != frame.size) {
                drop(i, "closed: its frame did not read");
                continue;
            }
            if (!take(std::span(request.data(), frame.size), peer.name, &peer))
                drop(i, "closed: " + LowerFirst(std::strerror(errno)));
        }
        if (listening >= 0 && ready > 0 && (entries[0].revents & POLLIN) != 0) {
            sockaddr_storage address {};
            socklen_t size = sizeof address;
            const auto incoming
                = ::accept(native(listening), reinterpret_cast<sockaddr *>(&address), &size);
            if (!accepted(incoming))
                continue;
            const int socket = static_cast<int>(incoming);
            const std::string name = addressText(address);
            if (peers.size() >= static_cast<std::size_t>(MaxConnections)) {
                if (notice)
                    notice(name + ": refused: " + std::to_string(MaxConnections)
                        + " connections are open");
                closeSocket(socket);
                continue;
            }
            const int one = 1;
            ::setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY,
                reinterpret_cast<const char *>(&one), sizeof one);
            peers.push_back({ socket, name, std::nullopt, {}, {} });
        }
    }
    return true;
}

bool Server::State::serveRtu(const Stop &stop)
{
    modbus_t *ctx = context.get();
    std::array<std::uint8_t, MODBUS_RTU_MAX_ADU_LENGTH> request {};
    while (!stop.requested()) {
        ramp(Clock::now());
        const int got = modbus_receive(ctx, request.data());
        if (got > 0) {
            take(std::span(request.data(), static_cast<std::size_t>(got)), where, nullptr);
            continue;
        }
        // 0: another unit's request, which gets silence; a timeout: nothing
        // came this slice; a bad CRC or a garbled frame: libmodbus has
        // dropped it, and a master asks again.
        if (got < 0 && (errno == EIO || errno == EBADF || errno == ENXIO)) {
            if (notice)
                notice(where + ": the line failed: " + LowerFirst(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

Server::Server(ServeSettings settings, Log log, Notice notice)
    : m_state(std::make_unique<State>(std::move(settings), std::move(log), std::move(notice)))
{
    State &s = *m_state;
    for (const int unit : s.settings.rules.units) {
        Mapping space(modbus_mapping_new_start_address(0, 65536, 0, 65536, 0, 65536, 0, 65536),
            modbus_mapping_free);
        if (!space)
            throw std::bad_alloc();
        for (const ServedValue &value : s.settings.values) {
            if (value.unit && *value.unit != unit)
                continue;
            for (std::size_t i = 0; i < value.words.size(); ++i) {
                const std::size_t at = static_cast<std::size_t>(value.address) + i;
                const std::uint16_t word = value.words[i];
                switch (value.type) {
                case RegisterType::Coil:
                    space->tab_bits[at] = word != 0 ? 1 : 0;
                    break;
                case RegisterType::DiscreteInput:
                    space->tab_input_bits[at] = word != 0 ? 1 : 0;
                    break;
                case RegisterType::InputRegister:
                    space->tab_input_registers[at] = word;
                    break;
                case RegisterType::HoldingRegister:
                    space->tab_registers[at] = word;
                    break;
                }
            }
        }
        s.spaces.emplace(unit, std::move(space));
    }
}

Server::~Server()
{
    for (const Peer &peer : m_state->peers)
        closeSocket(peer.socket);
    if (m_state->listening >= 0)
        closeSocket(m_state->listening);
    if (m_state->context && !m_state->tcp())
        modbus_close(m_state->context.get());
}

std::optional<std::string> Server::open()
{
    return m_state->tcp() ? m_state->openTcp() : m_state->openRtu();
}

std::string Server::where() const
{
    return m_state->where;
}

void Server::serveConnection(int socket, const Stop &stop)
{
    if (!m_state->context)
        m_state->context.reset(modbus_new_tcp_pi("127.0.0.1", "0"));
    m_state->stopping = &stop;
    m_state->peers.push_back({ socket, "connection", std::nullopt, {}, {} });
    m_state->serveTcp(stop);
}

bool Server::run(const Stop &stop)
{
    m_state->stopping = &stop;
    m_state->nextRamp = Clock::now() + std::chrono::seconds(1);
    return m_state->tcp() ? m_state->serveTcp(stop) : m_state->serveRtu(stop);
}

std::uint16_t Server::value(int unit, RegisterType type, int address) const
{
    // A request's unit: 255 over TCP, 0 on a line, stand for the first.
    const modbus_mapping_t &space
        = *m_state->spaces.at(m_state->referee.unitFor(unit, m_state->tcp()));
    const auto at = static_cast<std::size_t>(address);
    switch (type) {
    case RegisterType::Coil:
        return space.tab_bits[at];
    case RegisterType::DiscreteInput:
        return space.tab_input_bits[at];
    case RegisterType::InputRegister:
        return space.tab_input_registers[at];
    case RegisterType::HoldingRegister:
        break;
    }
    return space.tab_registers[at];
}

bool ServingAvailable()
{
    return true;
}

} // namespace modbuscalc::device
