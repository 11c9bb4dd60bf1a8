#include "device/fleet.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace modbuscalc::device {

namespace {

bool sameLink(const Link &a, const Link &b)
{
    if (a.index() != b.index())
        return false;
    if (const auto *tcp = std::get_if<TcpEndpoint>(&a)) {
        const auto &other = std::get<TcpEndpoint>(b);
        return tcp->host == other.host && tcp->port == other.port;
    }
    // One serial device is one line, whatever settings a line gives it.
    return std::get<SerialLine>(a).device == std::get<SerialLine>(b).device;
}

} // namespace

Fleet::Fleet(Connection settings, Stop &stop, Trace trace, std::string givingUp)
    : m_settings(std::move(settings))
    , m_stop(stop)
    , m_trace(std::move(trace))
    , m_givingUp(std::move(givingUp))
{
}

Fleet::~Fleet() = default;

std::size_t Fleet::add(const Link &link, int unit)
{
    std::size_t at = 0;
    while (at < m_links.size() && !sameLink(m_links[at], link))
        ++at;
    if (at == m_links.size()) {
        m_links.push_back(link);
        m_sessions.emplace_back();
    }
    for (std::size_t i = 0; i < m_members.size(); ++i)
        if (m_members[i].link == at && m_members[i].unit == unit)
            return i;
    m_members.push_back({ at, unit });
    return m_members.size() - 1;
}

std::string Fleet::name(std::size_t device) const
{
    const Member &member = m_members[device];
    return Where(m_links[member.link]) + " unit " + std::to_string(member.unit);
}

Session &Fleet::session(std::size_t link)
{
    std::unique_ptr<Session> &session = m_sessions[link];
    if (!session) {
        Connection connection = m_settings;
        connection.link = m_links[link];
        Trace trace;
        if (m_trace)
            trace = [this, where = Where(m_links[link])](
                        std::string_view line) { m_trace(where + ": " + std::string(line)); };
        session = std::make_unique<Session>(
            MakeTransport(connection, m_stop, std::move(trace)), connection.retries, m_stop);
        session->setGivingUpWords(m_givingUp);
    }
    return *session;
}

Device &Fleet::device(std::size_t device)
{
    Session &line = session(m_members[device].link);
    line.setUnit(m_members[device].unit);
    return line;
}

void Fleet::reset()
{
    for (std::size_t link = 0; link < m_links.size(); ++link)
        reset(link);
}

void Fleet::reset(std::size_t link)
{
    if (m_sessions[link])
        m_sessions[link]->reset();
}

std::optional<DeviceError> Fleet::gaveUp(std::size_t device)
{
    const Member &member = m_members[device];
    Session *session = m_sessions[member.link].get();
    if (!session)
        return std::nullopt;
    session->setUnit(member.unit);
    return session->gaveUpError();
}

void Fleet::readAll(std::span<const Wanted> wanted, std::span<const std::size_t> devices,
    int maxGap, const std::function<bool()> &stop,
    const std::function<void(std::size_t, Values)> &done)
{
    // Each device's lines, in the map's order; each link's devices, in the
    // order the map first names them.
    std::vector<std::vector<std::size_t>> linesOf(m_members.size());
    std::vector<std::vector<std::size_t>> devicesOn(m_links.size());
    for (std::size_t line = 0; line < wanted.size(); ++line) {
        std::vector<std::size_t> &lines = linesOf[devices[line]];
        if (lines.empty())
            devicesOn[m_members[devices[line]].link].push_back(devices[line]);
        lines.push_back(line);
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<Values>> results(wanted.size());
    std::size_t running = 0;

    const auto work = [&](std::size_t link) {
        Session &line = session(link);
        for (const std::size_t device : devicesOn[link]) {
            line.setUnit(m_members[device].unit);
            const std::vector<std::size_t> &lines = linesOf[device];
            std::vector<Wanted> own;
            own.reserve(lines.size());
            for (const std::size_t i : lines)
                own.push_back(wanted[i]);
            RegisterReader reader(line, maxGap);
            std::size_t next = 0; // the device's first line not yet handed on
            // Hands on the device's lines that are done, in order; all of
            // them at the end, the unread as such.
            const auto handOn = [&](bool all) {
                std::vector<std::pair<std::size_t, Values>> ready;
                for (; next < lines.size(); ++next) {
                    Values values = reader.eachValue(own[next]);
                    const bool unread = std::any_of(values.begin(), values.end(),
                        [](const LineResult &v) { return std::holds_alternative<NotRead>(v); });
                    if (unread && !all)
                        break;
                    ready.emplace_back(lines[next], std::move(values));
                }
                if (ready.empty())
                    return;
                const std::lock_guard lock(mutex);
                for (auto &[i, values] : ready)
                    results[i] = std::move(values);
                changed.notify_one();
            };
            reader.readAll(own, stop, [&] { handOn(false); });
            handOn(true);
        }
        const std::lock_guard lock(mutex);
        --running;
        changed.notify_one();
    };

    std::vector<std::thread> threads;
    for (std::size_t link = 0; link < m_links.size(); ++link) {
        if (devicesOn[link].empty())
            continue;
        session(link); // made here, not on two threads at once
        ++running;
    }
    for (std::size_t link = 0; link < m_links.size(); ++link)
        if (!devicesOn[link].empty())
            threads.emplace_back(work, link);

    for (std::size_t next = 0; next < wanted.size(); ++next) {
        Values values;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return results[next].has_value() || running == 0; });
            if (!results[next])
                break; // never reached: cannot be, every line is handed on
            values = std::move(*results[next]);
        }
        done(next, std::move(values));
    }
    for (std::thread &thread : threads)
        thread.join();
}

} // namespace modbuscalc::device
