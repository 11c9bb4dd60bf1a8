#include "cli/printable.h"

namespace modbuscalc::cli {

std::string Printable(std::string_view text, std::size_t longest)
{
    constexpr std::string_view Hex = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < longest; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 0xF];
        } else {
            out += static_cast<char>(byte);
        }
    }
    if (text.size() > longest)
        out += "...";
    return out;
}

} // namespace modbuscalc::cli
