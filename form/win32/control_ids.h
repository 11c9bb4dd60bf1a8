#pragma once

// Each control's id in the native window: its row in the layout table plus a
// base, so that a program outside the window (a UI test, an accessibility
// tool) finds a control with GetDlgItem from the table alone.

#include "form/calc_layout.h"

#include <cstddef>
#include <string_view>

namespace modbuscalc::win32 {

inline constexpr int FirstControlId = 100;

constexpr int ControlIdOfRow(std::size_t row)
{
    return FirstControlId + static_cast<int>(row);
}

// The id of the control named in the layout table; -1 for an unknown name.
constexpr int ControlIdOf(std::string_view name)
{
    for (std::size_t row = 0; row < layout::CalcLayout.size(); ++row)
        if (layout::CalcLayout[row].name == name)
            return ControlIdOfRow(row);
    return -1;
}

} // namespace modbuscalc::win32
