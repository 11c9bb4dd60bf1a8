#pragma once

// Reading many lines' registers in as few requests as the protocol allows:
// the registers the lines want, sorted by type and address, joined into
// runs and cut into requests of at most 125 registers (2,000 bits), never
// inside a value: the registers of one value always come from one request.
// A request the device refuses is split and its halves asked again, so
// that in the end exactly the registers the device lacks fail; a size the
// device refused is never asked for again; a range it lacks whole is read
// a value at a time rather than halved down.

#include "device/device.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <variant>
#include <vector>

namespace modbuscalc::device {

// Registers (or bits) one line wants: count of them from a PDU address, in
// values of width registers each (2 for a 32-bit value), which are read
// whole or not at all.
struct Wanted {
    RegisterType type;
    int address;
    int count;
    int width = 1;
};

struct ReadRequest {
    RegisterType type;
    int address;
    int count;
    bool operator==(const ReadRequest &) const = default;
};

// The requests that read every wanted register: by type, then address;
// neighbours joined, with up to maxGap registers nobody wants between them;
// none longer than limit(type), and none cut inside a value unless a value
// alone is longer than that. Pure: no device is asked.
std::vector<ReadRequest> PlanReads(
    std::span<const Wanted> wanted, int maxGap, const std::function<int(RegisterType)> &limit);

// A line's registers were not asked for: the work stopped first.
struct NotRead {
    bool operator==(const NotRead &) const = default;
};

// What came of a line: its registers, why they could not be read, or that
// they were never asked for.
using LineResult = std::variant<std::vector<std::uint16_t>, DeviceError, NotRead>;

// What came of each register of a window of lines.
class RegisterReader {
public:
    explicit RegisterReader(Device &device, int maxGap = 0);
    RegisterReader(const RegisterReader &) = delete;
    RegisterReader &operator=(const RegisterReader &) = delete;

    // Reads every register the lines want. stop is asked before each
    // request: once it says true, the rest stay unread. answered is called
    // after each request, so that lines can be written as they are done.
    void readAll(std::span<const Wanted> wanted, const std::function<bool()> &stop = {},
        const std::function<void()> &answered = {});

    // A line's values, or the error of its first register that failed, or
    // NotRead.
    LineResult result(const Wanted &wanted) const;
    // The same for each value of the line on its own (width registers
    // each): what the device gave is kept where a neighbour failed.
    std::vector<LineResult> eachValue(const Wanted &wanted) const;

    // Forgets the window's registers, keeping what was learned of the device.
    void clear();

    // The most a request of the type may ask for: the device's limit, or
    // less once it refused a size.
    int limit(RegisterType type) const;

private:
    struct Slot {
        std::uint16_t value = 0;
        std::int32_t state = Unread; // Unread, Read, or an index into m_errors
        std::uint32_t request = 0; // which request read it
    };
    static constexpr std::int32_t Unread = -2;
    static constexpr std::int32_t Read = -1;

    // Every register of a type: its slot; whether a line wants it; whether
    // it continues a value begun at the register before it.
    struct Table {
        std::vector<Slot> slots;
        std::vector<bool> wanted;
        std::vector<bool> insideValue;
    };

    void request(ReadRequest request);
    void consider(ReadRequest request, ReadResult result);
    ReadResult ask(const ReadRequest &request);
    void fail(const ReadRequest &request, DeviceError error);
    // Where a request may be cut in two nearest its middle; 0 if nowhere.
    int middleCut(const ReadRequest &request) const;
    Table &table(RegisterType type);
    const Table *find(RegisterType type) const;

    Device &m_device;
    int m_maxGap;
    std::array<Table, 4> m_tables; // by type; sized on first use
    std::vector<DeviceError> m_errors;
    std::array<int, 4> m_limits;
    std::uint32_t m_requests = 0;
    const std::function<bool()> *m_stop = nullptr;
    const std::function<void()> *m_answered = nullptr;
};

} // namespace modbuscalc::device
