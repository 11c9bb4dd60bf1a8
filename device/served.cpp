#include "device/served.h"

#include "device/device.h"

#include <algorithm>
#include <utility>

namespace modbuscalc::device {

namespace {

int word(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return bytes[at] << 8 | bytes[at + 1];
}

constexpr std::size_t Addresses = 65536;

// The PDU's size as its own fields tell it, from the bytes it has so far;
// nullopt when more of it is needed to tell.
std::optional<std::size_t> pduSize(std::span<const std::uint8_t> pdu)
{
    if (pdu.empty())
        return std::nullopt;
    switch (pdu[0]) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
        return 5;
    case 15:
    case 16:
        if (pdu.size() < 6)
            return std::nullopt;
        return 6 + std::size_t { pdu[5] };
    case 22:
        return 7;
    case 23:
        if (pdu.size() < 10)
            return std::nullopt;
        return 10 + std::size_t { pdu[9] };
    default:
        // libmodbus reads nothing after a function it does not know.
        return 1;
    }
}

} // namespace

std::optional<ServedRequest> ServedRequestOf(std::span<const std::uint8_t> pdu)
{
    const std::optional<std::size_t> size = pduSize(pdu);
    if (!size || pdu.size() < *size)
        return std::nullopt;
    ServedRequest request;
    request.function = pdu[0];
    if (request.function == 17) // report server id: no fields
        return request;
    if (*size < 5) {
        request.known = false;
        return request;
    }
    request.address = word(pdu, 1);
    request.count = word(pdu, 3);
    switch (request.function) {
    case 1:
        request.type = RegisterType::Coil;
        break;
    case 2:
        request.type = RegisterType::DiscreteInput;
        break;
    case 3:
        break;
    case 4:
        request.type = RegisterType::InputRegister;
        break;
    case 5:
    case 6:
        request.type = request.function == 5 ? RegisterType::Coil : RegisterType::HoldingRegister;
        request.value = request.count;
        request.count = 1;
        request.writes = true;
        break;
    case 15:
        request.type = RegisterType::Coil;
        request.writes = true;
        request.byteCount = pdu[5];
        break;
    case 16:
        request.writes = true;
        request.byteCount = pdu[5];
        break;
    case 22:
        request.count = 1;
        request.writes = true;
        break;
    case 23:
        request.writes = true;
        request.writeAddress = word(pdu, 5);
        request.writeCount = word(pdu, 7);
        request.byteCount = pdu[9];
        return request;
    default:
        request = ServedRequest { request.function, false };
        return request;
    }
    request.writeAddress = request.writes ? request.address : 0;
    request.writeCount = request.writes ? request.count : 0;
    return request;
}

namespace {

// What libmodbus would refuse of a request to a whole register space, and
// with which code: 3 for a count or a value out of range, 2 for an address
// past the end; 0 for none.
int libmodbusRefusal(const ServedRequest &r)
{
    const auto outside = [](int count, int most) { return count < 1 || count > most; };
    const auto pastEnd = [](int address, int count) { return address + count > 65536; };
    switch (r.function) {
    case 1:
    case 2:
        return outside(r.count, 2000) ? 3 : pastEnd(r.address, r.count) ? 2 : 0;
    case 3:
    case 4:
        return outside(r.count, 125) ? 3 : pastEnd(r.address, r.count) ? 2 : 0;
    case 5:
        return r.value != 0xFF00 && r.value != 0 ? 3 : 0;
    case 15:
        return outside(r.count, 1968) || r.byteCount * 8 < r.count ? 3
            : pastEnd(r.address, r.count)                          ? 2
                                                                   : 0;
    case 16:
        return outside(r.count, 123) || r.byteCount != r.count * 2 ? 3
            : pastEnd(r.address, r.count)                          ? 2
                                                                   : 0;
    case 23:
        return outside(r.count, 125) || outside(r.writeCount, 121)
                || r.byteCount != r.writeCount * 2
            ? 3
            : pastEnd(r.address, r.count) || pastEnd(r.writeAddress, r.writeCount) ? 2
                                                                                   : 0;
    default:
        return 0;
    }
}

} // namespace

TcpFrame JudgeTcpFrame(std::span<const std::uint8_t> waiting)
{
    constexpr std::size_t Header = 7; // transaction, protocol, length, unit
    if (waiting.size() >= 4 && word(waiting, 2) != 0)
        return { TcpFrame::State::Lie, 0 };
    if (waiting.size() < 6)
        return {};
    const std::size_t length = static_cast<std::size_t>(word(waiting, 4)); // unit and PDU
    if (length < 2 || 6 + length > MaxTcpFrame)
        return { TcpFrame::State::Lie, 0 };
    if (waiting.size() < Header + 1)
        return {};
    const std::span<const std::uint8_t> pdu
        = waiting.subspan(Header, std::min(waiting.size(), 6 + length) - Header);
    const std::optional<std::size_t> size = pduSize(pdu);
    if (!size) // too short yet to tell, or too short for its own fields
        return waiting.size() < 6 + length ? TcpFrame {} : TcpFrame { TcpFrame::State::Lie, 0 };
    if (*size != length - 1)
        return { TcpFrame::State::Lie, 0 };
    if (waiting.size() < 6 + length)
        return {};
    return { TcpFrame::State::Whole, 6 + length };
}

MappedAddresses::MappedAddresses()
    : m_mapped(4)
{
}

void MappedAddresses::add(RegisterType type, int address, int count)
{
    std::vector<bool> &mapped = m_mapped[TypeIndex(type)];
    if (mapped.empty())
        mapped.resize(Addresses);
    for (int a = std::max(address, 0); a < address + count && a < static_cast<int>(Addresses); ++a)
        mapped[static_cast<std::size_t>(a)] = true;
}

bool MappedAddresses::covers(RegisterType type, int address, int count) const
{
    const std::vector<bool> &mapped = m_mapped[TypeIndex(type)];
    if (mapped.empty() || address < 0 || address + count > static_cast<int>(Addresses))
        return false;
    for (int a = address; a < address + count; ++a)
        if (!mapped[static_cast<std::size_t>(a)])
            return false;
    return true;
}

Referee::Referee(ServeRules rules, MappedAddresses mapped)
    : m_rules(std::move(rules))
    , m_mapped(std::move(mapped))
{
}

bool Referee::serves(int unit) const
{
    return std::find(m_rules.units.begin(), m_rules.units.end(), unit) != m_rules.units.end();
}

int Referee::unitFor(int unit, bool tcp) const
{
    if (serves(unit))
        return unit;
    if ((tcp && unit == 255) || (!tcp && unit == 0))
        return m_rules.units.front();
    return -1;
}

Answer Referee::judge(int unit, const std::optional<ServedRequest> &request, bool tcp)
{
    // On a line, unit 0 is every unit at once: a write is done, and nobody
    // answers.
    const bool broadcast = !tcp && unit == 0;
    if (broadcast) {
        if (!request || !request->writes)
            return { Answer::Kind::Silence, 0 };
        Answer done = judge(unitFor(unit, tcp), request, tcp);
        return done.kind == Answer::Kind::Reply ? done : Answer { Answer::Kind::Silence, 0 };
    }
    if (unitFor(unit, tcp) < 0)
        return tcp ? Answer { Answer::Kind::Exception, 11 } : Answer { Answer::Kind::Silence, 0 };
    const std::uint64_t n = ++m_requests;
    if (m_rules.dropEvery > 0 && n % static_cast<std::uint64_t>(m_rules.dropEvery) == 0)
        return { Answer::Kind::Silence, 0 };
    if (m_rules.busyEvery > 0 && n % static_cast<std::uint64_t>(m_rules.busyEvery) == 0)
        return { Answer::Kind::Exception, 6 };
    if (!request || !request->known)
        return { Answer::Kind::Exception, 1 };
    if (request->function == 17)
        return {};
    if (const int refusal = libmodbusRefusal(*request))
        return { Answer::Kind::Exception, refusal };
    const auto touches = [](const ServedRequest &r, RegisterType type, int address) {
        const bool read = r.function != 22 && (!r.writes || r.function == 23);
        const bool inRead = read && address >= r.address && address < r.address + r.count;
        const bool inWrite
            = r.writes && address >= r.writeAddress && address < r.writeAddress + r.writeCount;
        return type == r.type && (inRead || inWrite);
    };
    for (const ServeRules::Forced &forced : m_rules.exceptions)
        if (touches(*request, forced.type.value_or(request->type), forced.address))
            return { Answer::Kind::Exception, forced.code };
    if (m_rules.readOnly && request->writes)
        return { Answer::Kind::Exception, 1 };
    if (m_rules.onlyMapped) {
        const bool readsMapped = request->function == 22
            || (request->writes && request->function != 23)
            || m_mapped.covers(request->type, request->address, request->count);
        const bool writesMapped = !request->writes
            || m_mapped.covers(request->type, request->writeAddress, request->writeCount);
        if (!readsMapped || !writesMapped)
            return { Answer::Kind::Exception, 2 };
    }
    return {};
}

} // namespace modbuscalc::device
