#include "cli/read_plan.h"

#include <algorithm>
#include <utility>

namespace modbuscalc::cli {

namespace {

constexpr std::size_t Registers = 65536;

std::size_t indexOf(RegisterType type)
{
    switch (type) {
    case RegisterType::Coil:
        return 0;
    case RegisterType::DiscreteInput:
        return 1;
    case RegisterType::InputRegister:
        return 2;
    case RegisterType::HoldingRegister:
        break;
    }
    return 3;
}

constexpr std::array<RegisterType, 4> Types = { RegisterType::Coil, RegisterType::DiscreteInput,
    RegisterType::InputRegister, RegisterType::HoldingRegister };

} // namespace

int MaxPerRead(RegisterType type)
{
    return type == RegisterType::Coil || type == RegisterType::DiscreteInput ? MaxBitsPerRead
                                                                             : MaxRegistersPerRead;
}

std::vector<ReadRequest> PlanReads(
    std::span<const Wanted> wanted, int maxGap, const std::function<int(RegisterType)> &limit)
{
    std::vector<ReadRequest> requests;
    for (const RegisterType type : Types) {
        // [first, end) of each line's registers, in address order.
        std::vector<std::pair<int, int>> spans;
        for (const Wanted &w : wanted)
            if (w.type == type && w.count > 0)
                spans.emplace_back(w.address, w.address + w.count);
        if (spans.empty())
            continue;
        std::sort(spans.begin(), spans.end());
        const int most = std::max(1, limit(type));
        int first = spans.front().first;
        int end = first;
        const auto emit = [&] {
            if (end > first)
                requests.push_back({ type, first, end - first });
        };
        for (const auto &[from, to] : spans) {
            if (from > end + maxGap || to - first > most) {
                // Overlapping but too long together, only what is new starts
                // the next request.
                emit();
                first = std::max(from, end);
                end = first;
            }
            end = std::max(end, to);
            // A span longer than a request can carry goes in whole requests.
            while (end - first > most) {
                requests.push_back({ type, first, most });
                first += most;
            }
        }
        emit();
    }
    return requests;
}

RegisterReader::RegisterReader(Device &device, int maxGap)
    : m_device(device)
    , m_maxGap(maxGap)
{
    for (const RegisterType type : Types)
        m_limits[indexOf(type)] = MaxPerRead(type);
}

int RegisterReader::limit(RegisterType type) const
{
    return m_limits[indexOf(type)];
}

RegisterReader::Table &RegisterReader::table(RegisterType type)
{
    Table &table = m_tables[indexOf(type)];
    if (table.slots.empty()) {
        table.slots.resize(Registers);
        table.wanted.resize(Registers);
    }
    return table;
}

const RegisterReader::Table *RegisterReader::find(RegisterType type) const
{
    const Table &table = m_tables[indexOf(type)];
    return table.slots.empty() ? nullptr : &table;
}

void RegisterReader::clear()
{
    for (Table &table : m_tables) {
        std::fill(table.slots.begin(), table.slots.end(), Slot {});
        std::fill(table.wanted.begin(), table.wanted.end(), false);
    }
    m_errors.clear();
}

void RegisterReader::readAll(std::span<const Wanted> wanted, const std::function<bool()> &stop)
{
    for (const Wanted &w : wanted) {
        Table &t = table(w.type);
        for (int a = w.address; a < w.address + w.count; ++a)
            t.wanted[static_cast<std::size_t>(a)] = true;
    }
    const auto requests
        = PlanReads(wanted, m_maxGap, [this](RegisterType type) { return limit(type); });
    for (const ReadRequest &r : requests)
        request(r, stop);
}

void RegisterReader::request(ReadRequest r, const std::function<bool()> &stop)
{
    Table &t = table(r.type);
    const auto wantedAt = [&t](int a) { return t.wanted[static_cast<std::size_t>(a)]; };
    // Only what some line wants, from its first register to its last.
    while (r.count > 0 && !wantedAt(r.address)) {
        ++r.address;
        --r.count;
    }
    while (r.count > 0 && !wantedAt(r.address + r.count - 1))
        --r.count;
    if (r.count == 0 || (stop && stop()))
        return;
    // The device may have refused a size since the plan was made.
    const int most = limit(r.type);
    if (r.count > most) {
        for (int from = r.address; from < r.address + r.count; from += most)
            request({ r.type, from, std::min(most, r.address + r.count - from) }, stop);
        return;
    }

    ReadResult result = m_device.read(r.type, r.address, r.count);
    if (const auto *values = std::get_if<std::vector<std::uint16_t>>(&result)) {
        for (int i = 0; i < r.count; ++i)
            t.slots[static_cast<std::size_t>(r.address + i)]
                = { (*values)[static_cast<std::size_t>(i)], Read };
        return;
    }
    const DeviceError &error = std::get<DeviceError>(result);
    // Exception 2: a hole somewhere in the block; 3: more than the device
    // takes at once. Either way the halves may go through.
    const bool refused = error.kind == DeviceError::Kind::Exception
        && (error.exception == 2 || error.exception == 3);
    if (refused && r.count > 1) {
        if (error.exception == 3)
            m_limits[indexOf(r.type)] = std::min(most, (r.count + 1) / 2);
        const int half = r.count / 2;
        request({ r.type, r.address, half }, stop);
        request({ r.type, r.address + half, r.count - half }, stop);
        return;
    }
    m_errors.push_back(error);
    const auto index = static_cast<std::int32_t>(m_errors.size() - 1);
    for (int i = 0; i < r.count; ++i)
        t.slots[static_cast<std::size_t>(r.address + i)].state = index;
}

std::optional<ReadResult> RegisterReader::result(const Wanted &wanted) const
{
    const Table *t = find(wanted.type);
    if (!t)
        return std::nullopt;
    std::vector<std::uint16_t> values;
    values.reserve(static_cast<std::size_t>(wanted.count));
    for (int a = wanted.address; a < wanted.address + wanted.count; ++a) {
        const Slot &slot = t->slots[static_cast<std::size_t>(a)];
        if (slot.state == Unread)
            return std::nullopt;
        if (slot.state >= 0)
            return m_errors[static_cast<std::size_t>(slot.state)];
        values.push_back(slot.value);
    }
    return values;
}

} // namespace modbuscalc::cli
