#include "cli/printable.h"

#include "core/text.h"

namespace modbuscalc::cli {

std::string Printable(std::string_view text, std::size_t longest)
{
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < longest; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += UpperHexDigits[byte >> 4];
            out += UpperHexDigits[byte & 0xF];
        } else {
            out += static_cast<char>(byte);
        }
    }
    if (text.size() > longest)
        out += "...";
    return out;
}

} // namespace modbuscalc::cli
