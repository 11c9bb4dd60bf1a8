#include "maps/encoding.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace modbuscalc::maps {

namespace {

constexpr std::size_t BlockSize = 64 * 1024;
constexpr char32_t Replacement = 0xFFFD;

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

TextSource::TextSource(LineReader::Source raw)
    : m_raw(std::move(raw))
{
}

void TextSource::sniff()
{
    char head[2];
    std::size_t got = 0;
    while (got < 2) {
        const std::size_t n = m_raw(head + got, 2 - got);
        if (n == 0) {
            m_rawEnded = true;
            break;
        }
        got += n;
    }
    const auto byte = [&head](std::size_t i) { return static_cast<unsigned char>(head[i]); };
    if (got == 2 && byte(0) == 0xFF && byte(1) == 0xFE)
        m_encoding = Encoding::Utf16LittleEndian;
    else if (got == 2 && byte(0) == 0xFE && byte(1) == 0xFF)
        m_encoding = Encoding::Utf16BigEndian;
    else
        m_encoding = Encoding::Bytes;
    // The mark itself is read as any other character: it becomes UTF-8's.
    m_in.assign(head, got);
}

bool TextSource::decodeMore()
{
    if (!m_rawEnded) {
        const std::size_t had = m_in.size();
        m_in.resize(had + BlockSize);
        const std::size_t n = m_raw(m_in.data() + had, BlockSize);
        m_in.resize(had + n);
        m_rawEnded = n == 0;
    }
    const bool little = m_encoding == Encoding::Utf16LittleEndian;
    const auto unit = [&](std::size_t at) {
        const auto a = static_cast<unsigned char>(m_in[at]);
        const auto b = static_cast<unsigned char>(m_in[at + 1]);
        return static_cast<char16_t>(little ? a | (b << 8) : (a << 8) | b);
    };
    std::size_t at = 0;
    while (at + 2 <= m_in.size()) {
        const char16_t u = unit(at);
        if (u >= 0xD800 && u < 0xDC00) {
            if (at + 4 > m_in.size()) {
                if (!m_rawEnded)
                    break; // its pair comes with the next block
                appendUtf8(m_out, Replacement);
                at += 2;
                continue;
            }
            const char16_t low = unit(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(m_out, 0x10000 + ((char32_t { u } - 0xD800) << 10) + (low - 0xDC00));
                at += 4;
            } else {
                appendUtf8(m_out, Replacement);
                at += 2;
            }
        } else {
            appendUtf8(m_out, u >= 0xDC00 && u < 0xE000 ? Replacement : char32_t { u });
            at += 2;
        }
    }
    m_in.erase(0, at);
    if (m_rawEnded && !m_in.empty()) {
        appendUtf8(m_out, Replacement); // an odd byte at the end
        m_in.clear();
    }
    return !m_out.empty() || !m_rawEnded;
}

std::size_t TextSource::operator()(char *buffer, std::size_t size)
{
    if (m_encoding == Encoding::Unknown)
        sniff();
    if (m_encoding == Encoding::Bytes) {
        if (!m_in.empty()) {
            const std::size_t n = std::min(size, m_in.size());
            std::memcpy(buffer, m_in.data(), n);
            m_in.erase(0, n);
            return n;
        }
        return m_rawEnded ? 0 : m_raw(buffer, size);
    }
    while (m_outAt == m_out.size()) {
        m_out.clear();
        m_outAt = 0;
        if (!decodeMore() && m_out.empty())
            return 0;
    }
    const std::size_t n = std::min(size, m_out.size() - m_outAt);
    std::memcpy(buffer, m_out.data() + m_outAt, n);
    m_outAt += n;
    return n;
}

} // namespace modbuscalc::maps
