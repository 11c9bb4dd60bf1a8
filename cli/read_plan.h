#pragma once

// Reading a whole map in as few requests as the protocol allows: the
// registers the lines want, sorted by type and address, joined into runs
// and cut into requests of at most 125 registers (2,000 bits). A request a
// device refuses is split and its halves asked again, so that in the end
// exactly the registers the device lacks fail; a size the device refused is
// never asked for again.

#include "cli/device.h"
#include "core/notation.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace modbuscalc::cli {

// The most registers (or bits) one request may ask for.
inline constexpr int MaxRegistersPerRead = 125;
inline constexpr int MaxBitsPerRead = 2000;

// The protocol's limit for a register type.
int MaxPerRead(RegisterType type);

// Registers (or bits) one line wants: count of them from a PDU address.
struct Wanted {
    RegisterType type;
    int address;
    int count;
};

struct ReadRequest {
    RegisterType type;
    int address;
    int count;
    bool operator==(const ReadRequest &) const = default;
};

// The requests that read every wanted register: by type, then address;
// neighbours joined, with up to maxGap registers nobody wants between them;
// none longer than limit(type). Pure: no device is asked.
std::vector<ReadRequest> PlanReads(
    std::span<const Wanted> wanted, int maxGap, const std::function<int(RegisterType)> &limit);

// What came of each register of a window of lines: its value, or why it
// could not be read.
class RegisterReader {
public:
    explicit RegisterReader(Device &device, int maxGap = 0);

    // Reads every register the lines want. stop is asked before each
    // request; once it says true, the rest stay unread.
    void readAll(std::span<const Wanted> wanted, const std::function<bool()> &stop = {});

    // The values of a line's registers, or the error of the first that
    // failed; nullopt when one of them has not been read (stopped).
    std::optional<ReadResult> result(const Wanted &wanted) const;

    // Forgets the window's registers, keeping what was learned of the
    // device.
    void clear();

    // The most a request of the type may ask for: the protocol's limit, or
    // less once the device refused a size.
    int limit(RegisterType type) const;

private:
    struct Slot {
        std::uint16_t value = 0;
        std::int32_t state = Unread; // Unread, Read, or an index into m_errors
    };
    static constexpr std::int32_t Unread = -2;
    static constexpr std::int32_t Read = -1;

    // Every register of a type: its slot, and whether a line wants it.
    struct Table {
        std::vector<Slot> slots;
        std::vector<bool> wanted;
    };

    void request(ReadRequest request, const std::function<bool()> &stop);
    Table &table(RegisterType type);
    const Table *find(RegisterType type) const;

    Device &m_device;
    int m_maxGap;
    std::array<Table, 4> m_tables; // by type; sized on first use
    std::vector<DeviceError> m_errors;
    std::array<int, 4> m_limits;
};

} // namespace modbuscalc::cli
