#include "maps/line_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace modbuscalc::maps {

namespace {

constexpr std::size_t BlockSize = 64 * 1024;

} // namespace

LineReader::LineReader(Source source, std::size_t maxLineLength)
    : m_source(std::move(source))
    , m_maxLineLength(maxLineLength)
    // Room for a whole line of the longest length, its '\n' and one block.
    , m_buffer(maxLineLength + 1 + BlockSize)
{
}

std::optional<LineReader::Line> LineReader::next()
{
    for (;;) {
        const char *data = m_buffer.data();
        const void *newline
            = m_scanned < m_end ? std::memchr(data + m_scanned, '\n', m_end - m_scanned) : nullptr;
        if (newline) {
            const auto at = static_cast<std::size_t>(static_cast<const char *>(newline) - data);
            const std::string_view text(data + m_begin, at - m_begin);
            m_begin = m_scanned = at + 1;
            if (std::exchange(m_skipping, false) || text.size() > m_maxLineLength)
                return Line { {}, true, true };
            return Line { text, true, false };
        }
        m_scanned = m_end;

        if (m_skipping) {
            m_begin = m_scanned = m_end = 0; // nothing of that line is kept
        } else if (m_end - m_begin > m_maxLineLength) {
            m_skipping = true;
            m_begin = m_scanned = m_end = 0;
        }

        if (m_atEnd || !refill()) {
            m_atEnd = true;
            if (std::exchange(m_skipping, false))
                return Line { {}, false, true };
            if (m_begin == m_end)
                return std::nullopt;
            const std::string_view text(m_buffer.data() + m_begin, m_end - m_begin);
            m_begin = m_scanned = m_end;
            if (text.size() > m_maxLineLength)
                return Line { {}, false, true };
            return Line { text, false, false };
        }
    }
}

bool LineReader::refill()
{
    // Move the unfinished line to the front, so a block always fits after it.
    if (m_begin > 0) {
        std::copy(m_buffer.begin() + static_cast<std::ptrdiff_t>(m_begin),
            m_buffer.begin() + static_cast<std::ptrdiff_t>(m_end), m_buffer.begin());
        m_scanned -= m_begin;
        m_end -= m_begin;
        m_begin = 0;
    }
    const std::size_t room = std::min(BlockSize, m_buffer.size() - m_end);
    const std::size_t got = m_source(m_buffer.data() + m_end, room);
    m_end += got;
    return got > 0;
}

} // namespace modbuscalc::maps
