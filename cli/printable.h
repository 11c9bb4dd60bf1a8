#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace modbuscalc::cli {

// Writes a text into a message so that control bytes (DEL too), bytes beyond
// ASCII and very long texts cannot garble the terminal: "\x00", "..." after
// the first longest bytes.
std::string Printable(std::string_view text, std::size_t longest = 40);

} // namespace modbuscalc::cli
