#pragma once

// Input as it comes, or, where it begins with a UTF-16 byte-order mark (as
// Excel's "Unicode text" does), as UTF-16 turned into UTF-8: the mark too,
// which becomes UTF-8's own. Everything else is read as its bytes.

#include "maps/line_reader.h"

#include <cstddef>
#include <string>

namespace modbuscalc::maps {

class TextSource {
public:
    explicit TextSource(LineReader::Source raw);

    // As a LineReader::Source: up to size bytes of UTF-8, 0 at the end.
    std::size_t operator()(char *buffer, std::size_t size);

private:
    enum class Encoding { Unknown, Bytes, Utf16LittleEndian, Utf16BigEndian };

    void sniff();
    // Converts what raw reads into m_out; false at the end of the input.
    bool decodeMore();

    LineReader::Source m_raw;
    Encoding m_encoding = Encoding::Unknown;
    std::string m_in; // raw bytes not yet converted: an odd byte, half a pair
    std::string m_out; // converted bytes not yet handed out
    std::size_t m_outAt = 0;
    bool m_rawEnded = false;
};

} // namespace modbuscalc::maps
