#pragma once

// Where requests may be cut, for the read and write planners alike: the
// registers some line names, and those inside a value, before which no
// request may begin (so that a value's words always travel together).

#include <cstddef>
#include <vector>

namespace modbuscalc::device::cuts {

// Addresses 0 to 65535 of a type.
inline constexpr std::size_t Registers = 65536;

inline std::size_t at(int address)
{
    return static_cast<std::size_t>(address);
}

// Marks count registers from address, in values of width registers.
inline void mark(
    int address, int count, int width, std::vector<bool> &wanted, std::vector<bool> &insideValue)
{
    width = width < 1 ? 1 : width;
    for (int a = address; a < address + count; ++a) {
        wanted[at(a)] = true;
        if ((a - address) % width != 0)
            insideValue[at(a)] = true;
    }
}

// Cuts the registers [from, end) into pieces of at most `most`, each from
// the first register wanted to the last, never beginning inside a value
// unless a value alone is longer than a piece; emit(address, count) each.
template <typename Emit>
void cutRun(int from, int end, int most, const std::vector<bool> &wanted,
    const std::vector<bool> &insideValue, const Emit &emit)
{
    int pos = from;
    while (pos < end) {
        while (pos < end && !wanted[at(pos)])
            ++pos;
        if (pos >= end)
            return;
        int stop = end;
        if (stop - pos > most) {
            stop = pos + most;
            int cut = stop;
            while (cut > pos && insideValue[at(cut)])
                --cut;
            if (cut > pos)
                stop = cut;
        }
        int last = stop;
        while (last > pos && !wanted[at(last - 1)])
            --last;
        emit(pos, last - pos);
        pos = stop;
    }
}

// Where [address, address + count) may be cut in two nearest its middle,
// between two values; 0 if nowhere.
inline int middleCut(int address, int count, const std::vector<bool> &insideValue)
{
    const int end = address + count;
    const int middle = address + count / 2;
    for (int offset = 0; offset < count; ++offset) {
        for (const int cut : { middle - offset, middle + offset + 1 }) {
            if (cut > address && cut < end && !insideValue[at(cut)])
                return cut;
        }
    }
    return 0;
}

} // namespace modbuscalc::device::cuts
