#pragma once

// modbuscalc's exit statuses.

namespace modbuscalc::cli {

inline constexpr int ExitOk = 0;
inline constexpr int ExitDataProblem = 1;
inline constexpr int ExitTrouble = 2; // usage, reading or writing, a device out of reach

} // namespace modbuscalc::cli
