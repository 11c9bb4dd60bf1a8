#include "device/session.h"

#include <string>
#include <utility>

namespace modbuscalc::device {

Session::Session(std::unique_ptr<Transport> transport, int retries, Stop &stop)
    : m_transport(std::move(transport))
    , m_retries(retries)
    , m_stop(stop)
{
}

std::optional<DeviceError> Session::open()
{
    m_answeredHere = 0;
    return m_transport->open();
}

int Session::maxPerRead(RegisterType type) const
{
    return m_transport->maxPerRead(type);
}

void Session::pauseWhileBusy()
{
    m_unanswered = 0;
    ++m_answeredHere;
    m_stop.sleep(BusyPause);
}

void Session::reset()
{
    m_gaveUp.reset();
    m_unanswered = 0;
    m_units.clear();
    m_linkGaveUp.reset();
}

void Session::setUnit(int unit)
{
    if (unit == m_unit)
        return;
    m_units[m_unit] = { m_unanswered, std::move(m_gaveUp) };
    Standing next = std::move(m_units[unit]);
    m_unanswered = next.unanswered;
    m_gaveUp = std::move(next.gaveUp);
    m_unit = unit;
    m_transport->setUnit(unit);
}

bool Session::unanswered(const DeviceError &error)
{
    if (++m_unanswered < GiveUpAfter)
        return false;
    const std::string times = std::to_string(GiveUpAfter) + " requests in a row";
    std::string text;
    if (error.kind == DeviceError::Kind::Exception)
        text = error.text + " to " + times; // the gateway's own words
    else if (error.kind == DeviceError::Kind::Timeout)
        text = "no answer to " + times;
    else
        text = "no answer to " + times + " (" + error.text + ')';
    m_gaveUp = DeviceError { DeviceError::Kind::GaveUp, error.exception, text + "; " + m_givingUp };
    return true;
}

std::optional<DeviceError> Session::ensureOpen(bool &final)
{
    final = false;
    if (m_transport->isOpen())
        return std::nullopt;
    m_answeredHere = 0;
    std::optional<DeviceError> failed = m_transport->open();
    if (!failed)
        return std::nullopt;
    if (failed->kind == DeviceError::Kind::Stopped) {
        final = true;
        return failed;
    }
    final = unanswered(*failed);
    if (final)
        m_linkGaveUp = m_gaveUp;
    return final ? m_gaveUp : failed;
}

ReadResult Session::read(RegisterType type, int address, int count)
{
    if (m_linkGaveUp && !m_gaveUp)
        m_gaveUp = m_linkGaveUp;
    if (m_gaveUp)
        return *m_gaveUp;
    DeviceError error;
    bool renewed = false;
    for (int attempt = 0; attempt <= m_retries; ++attempt) {
        if (m_stop.requested())
            return DeviceError { DeviceError::Kind::Stopped, 0, "stopped" };
        bool final = false;
        if (std::optional<DeviceError> failed = ensureOpen(final)) {
            if (final)
                return *failed;
            error = std::move(*failed);
            continue;
        }
        ReadResult result = m_transport->read(type, address, count);
        if (std::holds_alternative<std::vector<std::uint16_t>>(result)) {
            m_unanswered = 0;
            ++m_answeredHere;
            return result;
        }
        error = std::get<DeviceError>(std::move(result));
        switch (error.kind) {
        case DeviceError::Kind::Stopped:
            return error;
        case DeviceError::Kind::Exception:
            if (error.exception == BusyException && attempt < m_retries) {
                pauseWhileBusy();
                continue;
            }
            if (!IsGatewayException(error.exception)) {
                m_unanswered = 0; // it answered, only not with values
                ++m_answeredHere;
                return error;
            }
            // A gateway with nothing behind it: as good as no answer, on a
            // connection that stays good.
            if (unanswered(error))
                return *m_gaveUp;
            continue;
        case DeviceError::Kind::Broken:
            if (m_answeredHere > 0 && !renewed && !m_transport->serial()) {
                // A connection that served before was closed meanwhile, as
                // gateways do when idle: the request never got there. Once
                // more on a fresh one, whatever --retries says.
                renewed = true;
                m_transport->close();
                --attempt;
                continue;
            }
            break;
        default:
            break;
        }
        // No answer, or one that is not for this request: whatever is still
        // on its way must not reach the next request. A connection is
        // renewed; a serial line keeps its own guard, and is opened again
        // only when it failed.
        if (!m_transport->serial() || error.kind == DeviceError::Kind::Broken)
            m_transport->close();
        if (unanswered(error))
            return *m_gaveUp;
    }
    return error;
}

WriteResult Session::write(
    RegisterType type, int address, std::span<const std::uint16_t> values, bool multiple)
{
    if (m_linkGaveUp && !m_gaveUp)
        m_gaveUp = m_linkGaveUp;
    if (m_gaveUp)
        return m_gaveUp;
    DeviceError error;
    bool renewed = false;
    for (int attempt = 0; attempt <= m_retries; ++attempt) {
        if (m_stop.requested())
            return DeviceError { DeviceError::Kind::Stopped, 0, "stopped" };
        bool final = false;
        if (std::optional<DeviceError> failed = ensureOpen(final)) {
            if (final)
                return failed;
            error = std::move(*failed);
            continue;
        }
        WriteResult result = m_transport->write(type, address, values, multiple);
        if (!result) {
            m_unanswered = 0;
            ++m_answeredHere;
            return std::nullopt;
        }
        error = std::move(*result);
        if (error.kind == DeviceError::Kind::Stopped)
            return error;
        if (error.kind == DeviceError::Kind::Broken && !error.maybeDone && !renewed) {
            // The connection was gone before anything was sent: once more
            // on a fresh one. This is no second write.
            renewed = true;
            m_transport->close();
            --attempt;
            continue;
        }
        if (error.kind == DeviceError::Kind::Exception && error.exception == BusyException
            && attempt < m_retries) {
            // Busy: refused, not carried out; asked again only as allowed.
            pauseWhileBusy();
            continue;
        }
        if (error.kind == DeviceError::Kind::Exception && !IsGatewayException(error.exception)) {
            m_unanswered = 0;
            ++m_answeredHere;
            return error;
        }
        if (!m_transport->serial() || error.kind == DeviceError::Kind::Broken)
            m_transport->close();
        if (unanswered(error)) {
            m_gaveUp->maybeDone = error.maybeDone;
            DeviceError last = *m_gaveUp;
            m_gaveUp->maybeDone = false; // what comes after is never sent
            return last;
        }
    }
    return error;
}

} // namespace modbuscalc::device
