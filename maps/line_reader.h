#pragma once

// Splits a stream of bytes into lines, reading it in large blocks. Memory
// stays bounded by the longest line allowed, whatever the input holds.

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace modbuscalc::maps {

class LineReader {
public:
    // Fills buffer with up to size bytes; returns how many, 0 at the end of
    // the input (or on a read error, which the caller tracks itself).
    using Source = std::function<std::size_t(char *buffer, std::size_t size)>;

    static constexpr std::size_t DefaultMaxLineLength = std::size_t { 1 } << 20;

    struct Line {
        std::string_view text; // without its '\n'; a '\r' before it stays
        bool terminated; // false for a last line that has no '\n'
        bool tooLong; // longer than the limit: text is empty, the rest skipped
    };

    explicit LineReader(Source source, std::size_t maxLineLength = DefaultMaxLineLength);

    // The next line, or nullopt once the input is exhausted. The text stays
    // valid until the next call. Any byte, NUL included, is line content.
    std::optional<Line> next();

private:
    bool refill();

    Source m_source;
    std::size_t m_maxLineLength;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0; // start of the current line
    std::size_t m_scanned = 0; // where the search for '\n' goes on
    std::size_t m_end = 0; // end of the bytes read so far
    bool m_skipping = false; // inside a line over the limit
    bool m_atEnd = false;
};

} // namespace modbuscalc::maps
