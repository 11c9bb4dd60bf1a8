#pragma once

// Writing many lines' values in as few requests as the protocol allows:
// contiguous registers in one request of function 16 (coils: 15), of at
// most 123 registers (1,968 coils), in address order, never cutting a
// value, never spanning a register nobody writes. A request refused with
// exception 2 or 3 was not carried out: it is split and its halves sent,
// so that exactly the refused lines fail. Any other failure fails the
// lines of its request, and nothing is sent twice.

#include "device/device.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <variant>
#include <vector>

namespace modbuscalc::device {

// One line's values: registers (or coils as 0 and 1) from a PDU address,
// in values of width registers that travel together.
struct WriteItem {
    RegisterType type;
    int address;
    std::vector<std::uint16_t> values;
    int width = 1;
};

// Which function carries a write: the one that fits (6 or 5 for one
// register or coil, 16 or 15 for more), or the one forced.
enum class WriteFunction { Fitting, Single, Multiple };

struct WriteRequest {
    RegisterType type;
    int address;
    int count;
    bool multiple; // function 16 or 15
    bool operator==(const WriteRequest &) const = default;
};

// The requests that write every item, by type, then address. Pure. The
// items must not overlap.
std::vector<WriteRequest> PlanWrites(std::span<const WriteItem> items, WriteFunction function,
    const std::function<int(RegisterType)> &limit);

// The line was written.
struct Written {
    bool operator==(const Written &) const = default;
};
// Never sent: the work stopped first.
struct NotWritten {
    bool operator==(const NotWritten &) const = default;
};
using ItemResult = std::variant<Written, DeviceError, NotWritten>;

class RegisterWriter {
public:
    RegisterWriter(Device &device, WriteFunction function);
    RegisterWriter(const RegisterWriter &) = delete;
    RegisterWriter &operator=(const RegisterWriter &) = delete;

    // Writes every item. stop is asked before each request; once it says
    // true, the rest stay unsent.
    void writeAll(std::span<const WriteItem> items, const std::function<bool()> &stop = {});

    // What came of an item: written, why not (maybeDone when it may have
    // been), or never sent.
    ItemResult result(const WriteItem &item) const;

private:
    struct Table {
        std::vector<std::uint16_t> values;
        std::vector<std::int32_t> state; // Unsent, Sent, or an index into m_errors
        std::vector<bool> wanted;
        std::vector<bool> insideValue;
    };
    static constexpr std::int32_t Unsent = -2;
    static constexpr std::int32_t Sent = -1;

    void send(WriteRequest request);
    Table &table(RegisterType type);
    int limit(RegisterType type) const;

    Device &m_device;
    WriteFunction m_function;
    std::array<Table, 2> m_tables; // coils, holding registers
    std::array<int, 2> m_limits;
    std::vector<DeviceError> m_errors;
    const std::function<bool()> *m_stop = nullptr;
};

} // namespace modbuscalc::device
