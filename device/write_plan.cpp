#include "device/write_plan.h"

#include "device/cuts.h"

#include <algorithm>
#include <utility>

namespace modbuscalc::device {

namespace {

using cuts::at;
using cuts::Registers;

constexpr std::array<RegisterType, 2> Types = { RegisterType::Coil, RegisterType::HoldingRegister };

std::size_t indexOf(RegisterType type)
{
    return type == RegisterType::Coil ? 0 : 1;
}

bool multipleFor(WriteFunction function, int count)
{
    return function == WriteFunction::Multiple || (function == WriteFunction::Fitting && count > 1);
}

// Cuts the items' registers of one type into requests.
void planType(RegisterType type, std::span<const WriteItem> items, WriteFunction function, int most,
    const std::vector<bool> &wanted, const std::vector<bool> &insideValue,
    std::vector<WriteRequest> &requests)
{
    std::vector<std::pair<int, int>> spans;
    for (const WriteItem &item : items)
        if (item.type == type && !item.values.empty())
            spans.emplace_back(item.address, item.address + static_cast<int>(item.values.size()));
    if (spans.empty())
        return;
    std::sort(spans.begin(), spans.end());
    if (function == WriteFunction::Single)
        most = 1;
    const auto emit = [&](int address, int count) {
        requests.push_back({ type, address, count, multipleFor(function, count) });
    };
    int first = spans.front().first, end = spans.front().second;
    for (const auto &[from, to] : spans) {
        if (from > end) { // only what is written: never a register between
            cuts::cutRun(first, end, most, wanted, insideValue, emit);
            first = from;
        }
        end = std::max(end, to);
    }
    cuts::cutRun(first, end, most, wanted, insideValue, emit);
}

} // namespace

std::vector<WriteRequest> PlanWrites(std::span<const WriteItem> items, WriteFunction function,
    const std::function<int(RegisterType)> &limit)
{
    std::vector<WriteRequest> requests;
    for (const RegisterType type : Types) {
        std::vector<bool> wanted(Registers + 1), insideValue(Registers + 1);
        for (const WriteItem &item : items)
            if (item.type == type)
                cuts::mark(item.address, static_cast<int>(item.values.size()), item.width, wanted,
                    insideValue);
        planType(type, items, function, std::max(1, limit(type)), wanted, insideValue, requests);
    }
    return requests;
}

RegisterWriter::RegisterWriter(Device &device, WriteFunction function)
    : m_device(device)
    , m_function(function)
    , m_limits { MaxCoilsPerWrite, MaxRegistersPerWrite }
{
}

int RegisterWriter::limit(RegisterType type) const
{
    return m_limits[indexOf(type)];
}

RegisterWriter::Table &RegisterWriter::table(RegisterType type)
{
    Table &table = m_tables[indexOf(type)];
    if (table.values.empty()) {
        table.values.resize(Registers);
        table.state.assign(Registers, Unsent);
        table.wanted.resize(Registers + 1);
        table.insideValue.resize(Registers + 1);
    }
    return table;
}

void RegisterWriter::writeAll(std::span<const WriteItem> items, const std::function<bool()> &stop)
{
    for (const WriteItem &item : items) {
        Table &t = table(item.type);
        cuts::mark(item.address, static_cast<int>(item.values.size()), item.width, t.wanted,
            t.insideValue);
        std::copy(item.values.begin(), item.values.end(), t.values.begin() + item.address);
    }
    m_stop = &stop;
    std::vector<WriteRequest> requests;
    for (const RegisterType type : Types) {
        const Table &t = table(type);
        planType(type, items, m_function, limit(type), t.wanted, t.insideValue, requests);
    }
    for (const WriteRequest &r : requests)
        send(r);
    m_stop = nullptr;
}

void RegisterWriter::send(WriteRequest r)
{
    Table &t = table(r.type);
    if (m_function != WriteFunction::Single && r.count > limit(r.type)) {
        // The device refused a size since the plan was made.
        cuts::cutRun(r.address, r.address + r.count, limit(r.type), t.wanted, t.insideValue,
            [&](int address, int count) {
                send({ r.type, address, count, multipleFor(m_function, count) });
            });
        return;
    }
    if (*m_stop && (*m_stop)())
        return;
    const std::span<const std::uint16_t> values(
        t.values.data() + r.address, static_cast<std::size_t>(r.count));
    WriteResult result = m_device.write(r.type, r.address, values, r.multiple);
    if (!result) {
        std::fill_n(t.state.begin() + r.address, r.count, Sent);
        return;
    }
    DeviceError error = std::move(*result);
    if (error.kind == DeviceError::Kind::Stopped && !error.maybeDone)
        return; // never sent
    // Exception 2 or 3: not carried out, and maybe only for part of it.
    // Never split one that may have been carried out: its halves would
    // write twice.
    const bool refused = error.kind == DeviceError::Kind::Exception && !error.maybeDone
        && (error.exception == 2 || error.exception == 3);
    const int cut = refused ? cuts::middleCut(r.address, r.count, t.insideValue) : 0;
    if (cut == 0) {
        m_errors.push_back(std::move(error));
        std::fill_n(
            t.state.begin() + r.address, r.count, static_cast<std::int32_t>(m_errors.size() - 1));
        return;
    }
    if (error.exception == 3)
        m_limits[indexOf(r.type)] = std::min(limit(r.type), (r.count + 1) / 2);
    const int first = cut - r.address;
    send({ r.type, r.address, first, multipleFor(m_function, first) });
    send({ r.type, cut, r.count - first, multipleFor(m_function, r.count - first) });
}

ItemResult RegisterWriter::result(const WriteItem &item) const
{
    const Table &t = m_tables[indexOf(item.type)];
    if (t.state.empty())
        return NotWritten {};
    for (std::size_t i = 0; i < item.values.size(); ++i) {
        const std::int32_t state = t.state[at(item.address) + i];
        if (state >= 0)
            return m_errors[static_cast<std::size_t>(state)];
        if (state == Unsent)
            return NotWritten {};
    }
    return Written {};
}

} // namespace modbuscalc::device
