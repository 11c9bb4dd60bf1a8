#include "device/read_plan.h"

#include "device/cuts.h"

#include <algorithm>
#include <string>
#include <utility>

namespace modbuscalc::device {

namespace {

constexpr std::array<RegisterType, 4> Types = { RegisterType::Coil, RegisterType::DiscreteInput,
    RegisterType::InputRegister, RegisterType::HoldingRegister };

using cuts::at;
using cuts::Registers;

// The requests of a run, appended.
void cutRun(RegisterType type, int from, int end, int most, const std::vector<bool> &wanted,
    const std::vector<bool> &insideValue, std::vector<ReadRequest> &requests)
{
    cuts::cutRun(from, end, most, wanted, insideValue, [&](int address, int count) {
        requests.push_back({ type, address, count });
    });
}

void mark(const Wanted &w, std::vector<bool> &wanted, std::vector<bool> &insideValue)
{
    cuts::mark(w.address, w.count, w.width, wanted, insideValue);
}

bool refusedWith(const ReadResult &result, int exception)
{
    const auto *error = std::get_if<DeviceError>(&result);
    return error && error->kind == DeviceError::Kind::Exception && error->exception == exception;
}

} // namespace

std::vector<ReadRequest> PlanReads(
    std::span<const Wanted> wanted, int maxGap, const std::function<int(RegisterType)> &limit)
{
    std::vector<ReadRequest> requests;
    for (const RegisterType type : Types) {
        // [first, end) of each line's registers, in address order.
        std::vector<std::pair<int, int>> spans;
        std::vector<bool> wants, insideValue;
        for (const Wanted &w : wanted) {
            if (w.type != type || w.count <= 0)
                continue;
            if (spans.empty()) {
                wants.resize(Registers + 1);
                insideValue.resize(Registers + 1);
            }
            spans.emplace_back(w.address, w.address + w.count);
            mark(w, wants, insideValue);
        }
        if (spans.empty())
            continue;
        std::sort(spans.begin(), spans.end());
        const int most = std::max(1, limit(type));
        int first = spans.front().first;
        int end = spans.front().second;
        for (const auto &[from, to] : spans) {
            if (from > end + maxGap) {
                cutRun(type, first, end, most, wants, insideValue, requests);
                first = from;
            }
            end = std::max(end, to);
        }
        cutRun(type, first, end, most, wants, insideValue, requests);
    }
    return requests;
}

RegisterReader::RegisterReader(Device &device, int maxGap)
    : m_device(device)
    , m_maxGap(maxGap)
{
    for (const RegisterType type : Types)
        m_limits[TypeIndex(type)] = m_device.maxPerRead(type);
}

int RegisterReader::limit(RegisterType type) const
{
    return m_limits[TypeIndex(type)];
}

RegisterReader::Table &RegisterReader::table(RegisterType type)
{
    Table &table = m_tables[TypeIndex(type)];
    if (table.slots.empty()) {
        table.slots.resize(Registers);
        table.wanted.resize(Registers + 1);
        table.insideValue.resize(Registers + 1);
    }
    return table;
}

const RegisterReader::Table *RegisterReader::find(RegisterType type) const
{
    const Table &table = m_tables[TypeIndex(type)];
    return table.slots.empty() ? nullptr : &table;
}

void RegisterReader::clear()
{
    for (Table &table : m_tables) {
        std::fill(table.slots.begin(), table.slots.end(), Slot {});
        std::fill(table.wanted.begin(), table.wanted.end(), false);
        std::fill(table.insideValue.begin(), table.insideValue.end(), false);
    }
    m_errors.clear();
}

void RegisterReader::readAll(std::span<const Wanted> wanted, const std::function<bool()> &stop,
    const std::function<void()> &answered)
{
    for (const Wanted &w : wanted) {
        Table &t = table(w.type);
        mark(w, t.wanted, t.insideValue);
    }
    m_stop = &stop;
    m_answered = &answered;
    const auto requests
        = PlanReads(wanted, m_maxGap, [this](RegisterType type) { return limit(type); });
    for (const ReadRequest &r : requests)
        request(r);
    m_stop = nullptr;
    m_answered = nullptr;
}

ReadResult RegisterReader::ask(const ReadRequest &r)
{
    if (*m_stop && (*m_stop)())
        return DeviceError { DeviceError::Kind::Stopped, 0, "stopped" };
    ++m_requests;
    return m_device.read(r.type, r.address, r.count);
}

void RegisterReader::request(ReadRequest r)
{
    const Table &t = table(r.type);
    // The device may have refused a size since the plan was made.
    if (r.count > limit(r.type)) {
        std::vector<ReadRequest> parts;
        cutRun(
            r.type, r.address, r.address + r.count, limit(r.type), t.wanted, t.insideValue, parts);
        for (const ReadRequest &part : parts)
            consider(part, ask(part));
        return;
    }
    consider(r, ask(r));
}

int RegisterReader::middleCut(const ReadRequest &r) const
{
    return cuts::middleCut(r.address, r.count, find(r.type)->insideValue);
}

void RegisterReader::consider(ReadRequest r, ReadResult result)
{
    Table &t = table(r.type);
    if (const auto *values = std::get_if<std::vector<std::uint16_t>>(&result)) {
        for (int i = 0; i < r.count; ++i)
            t.slots[at(r.address + i)] = { (*values)[at(i)], Read, m_requests };
        if (*m_answered)
            (*m_answered)();
        return;
    }
    DeviceError error = std::get<DeviceError>(std::move(result));
    if (error.kind == DeviceError::Kind::Stopped)
        return; // its registers stay unread
    // Exception 2: a hole somewhere in the block; 3: more than the device
    // takes at once. Either way the halves may go through.
    const bool refused = error.kind == DeviceError::Kind::Exception
        && (error.exception == 2 || error.exception == 3);
    const int cut = refused ? middleCut(r) : 0;
    if (cut == 0) {
        if (refused && error.exception == 3 && r.count > 1)
            error.text += ": the device will not give the " + std::to_string(r.count)
                + " registers of one value in one request";
        fail(r, std::move(error));
        return;
    }
    const auto trimmed = [&t](ReadRequest part) {
        while (part.count > 0 && !t.wanted[at(part.address)]) {
            ++part.address;
            --part.count;
        }
        while (part.count > 0 && !t.wanted[at(part.address + part.count - 1)])
            --part.count;
        return part;
    };
    const ReadRequest halves[2] = { trimmed({ r.type, r.address, cut - r.address }),
        trimmed({ r.type, cut, r.address + r.count - cut }) };
    if (error.exception == 3) {
        // Too many at once: never that many again, and each half cut anew
        // to what the device takes.
        m_limits[TypeIndex(r.type)] = std::min(limit(r.type), (r.count + 1) / 2);
        for (const ReadRequest &half : halves)
            request(half);
        return;
    }
    ReadResult results[2] = { ask(halves[0]), ask(halves[1]) };
    if (refusedWith(results[0], 2) && refusedWith(results[1], 2)) {
        // The whole request and both halves lack something: most likely the
        // device lacks the whole range. A value at a time, no more halving.
        for (int h = 0; h < 2; ++h) {
            const ReadRequest &half = halves[h];
            const int end = half.address + half.count;
            for (int from = half.address; from < end;) {
                int to = from + 1;
                while (to < end && t.insideValue[at(to)])
                    ++to;
                const ReadRequest value { r.type, from, to - from };
                if (value == half)
                    fail(value, std::get<DeviceError>(results[h]));
                else if (t.wanted[at(from)])
                    consider(value, ask(value));
                from = to;
            }
        }
        return;
    }
    for (int h = 0; h < 2; ++h)
        consider(halves[h], std::move(results[h]));
}

void RegisterReader::fail(const ReadRequest &r, DeviceError error)
{
    Table &t = table(r.type);
    m_errors.push_back(std::move(error));
    const auto index = static_cast<std::int32_t>(m_errors.size() - 1);
    for (int i = 0; i < r.count; ++i)
        t.slots[at(r.address + i)] = { 0, index, m_requests };
    if (*m_answered)
        (*m_answered)();
}

LineResult RegisterReader::result(const Wanted &wanted) const
{
    const Table *t = find(wanted.type);
    if (!t)
        return NotRead {};
    std::vector<std::uint16_t> values;
    values.reserve(at(wanted.count));
    for (int a = wanted.address; a < wanted.address + wanted.count; ++a) {
        const Slot &slot = t->slots[at(a)];
        if (slot.state == Unread)
            return NotRead {};
        if (slot.state >= 0)
            return m_errors[at(slot.state)];
        values.push_back(slot.value);
    }
    // Never a value of two requests: its words would be of two moments.
    const int width = std::max(1, wanted.width);
    for (int a = wanted.address; a < wanted.address + wanted.count; a += width) {
        for (int i = 1; i < width && a + i < wanted.address + wanted.count; ++i) {
            if (t->slots[at(a + i)].request != t->slots[at(a)].request)
                return DeviceError { DeviceError::Kind::Other, 0,
                    "the device gives at most " + std::to_string(limit(wanted.type))
                        + " registers a request, and a value needs " + std::to_string(width)
                        + ": not read, to keep its words together" };
        }
    }
    return values;
}

std::vector<LineResult> RegisterReader::eachValue(const Wanted &wanted) const
{
    const int width = std::max(1, wanted.width);
    std::vector<LineResult> values;
    for (int a = wanted.address; a < wanted.address + wanted.count; a += width)
        values.push_back(
            result({ wanted.type, a, std::min(width, wanted.address + wanted.count - a), width }));
    return values;
}

} // namespace modbuscalc::device
