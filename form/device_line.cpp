#include "form/device_line.h"

#include <tuple>
#include <utility>

namespace modbuscalc {

namespace {

bool sameConnection(const device::Connection &a, const device::Connection &b)
{
    const auto fields = [](const device::Connection &c) {
        return std::tuple(device::Where(c.link), c.unit, c.timeout, c.retries,
            std::holds_alternative<device::SerialLine>(c.link)
                ? std::tuple(std::get<device::SerialLine>(c.link).baud,
                    std::get<device::SerialLine>(c.link).parity)
                : std::tuple(0, device::Parity::None));
    };
    return a.link.index() == b.link.index() && fields(a) == fields(b);
}

device::DeviceError stopped()
{
    return { device::DeviceError::Kind::Stopped, 0, "stopped", false };
}

} // namespace

DeviceLine::DeviceLine(MakeTransport make)
    : m_make(make ? std::move(make) : [](const device::Connection &connection, device::Stop &stop) {
        return device::MakeTransport(connection, stop);
    })
{
}

void DeviceLine::passOn()
{
    ++m_serving;
    while (m_abandoned.erase(m_serving) > 0)
        ++m_serving;
    m_turn.notify_all();
}

bool DeviceLine::use(const void *user, const device::Connection &connection,
    const std::function<bool()> &leaving, const std::function<void(device::Session &)> &work)
{
    std::unique_lock lock(m_mutex);
    const std::uint64_t ticket = m_nextTicket++;
    m_turn.wait(lock, [&] { return m_serving == ticket || leaving(); });
    if (leaving()) {
        if (m_serving == ticket)
            passOn();
        else
            m_abandoned.insert(ticket);
        return false;
    }
    m_holder = user;
    m_stop.clear(); // an interrupted turn's request ended with that turn
    if (!m_session || !sameConnection(connection, m_sessionConnection)) {
        m_session = std::make_unique<device::Session>(
            m_make(connection, m_stop), connection.retries, m_stop);
        m_sessionConnection = connection;
    }
    lock.unlock();
    // The session is the holder's alone until the turn is passed on.
    struct PassOn {
        DeviceLine &line;
        ~PassOn()
        {
            const std::lock_guard guard(line.m_mutex);
            line.m_holder = nullptr;
            line.passOn();
        }
    } passOn { *this };
    work(*m_session);
    return true;
}

void DeviceLine::interrupt(const void *user)
{
    const std::lock_guard lock(m_mutex);
    if (m_holder == user)
        m_stop.request();
    m_turn.notify_all();
}

LineDevice::LineDevice(DeviceLine &line, const void *user, device::Connection connection,
    std::function<bool()> leaving)
    : m_line(line)
    , m_user(user)
    , m_connection(std::move(connection))
    , m_leaving(std::move(leaving))
{
}

device::ReadResult LineDevice::read(RegisterType type, int address, int count)
{
    device::ReadResult result = stopped();
    m_line.use(m_user, m_connection, m_leaving,
        [&](device::Session &session) { result = session.read(type, address, count); });
    return result;
}

device::WriteResult LineDevice::write(
    RegisterType type, int address, std::span<const std::uint16_t> values, bool multiple)
{
    device::WriteResult result = stopped();
    m_line.use(m_user, m_connection, m_leaving,
        [&](device::Session &session) { result = session.write(type, address, values, multiple); });
    return result;
}

} // namespace modbuscalc
