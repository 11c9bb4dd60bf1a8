// The CSV reader on any bytes: fields the fuzzer chooses, written as a
// spreadsheet writes them (every field quoted, quotes doubled, separators
// and line breaks left inside), read back to exactly those fields; and any
// bytes at all read as records without a crash, each record's lines counted
// once.

#include "maps/csv.h"
#include "maps/line_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace modbuscalc::maps;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

LineReader readerOf(std::string_view text, std::size_t &offered)
{
    offered = 0;
    return LineReader([text, &offered](char *buffer, std::size_t room) {
        const std::size_t count = std::min({ room, std::size_t { 7 }, text.size() - offered });
        std::copy_n(text.data() + offered, count, buffer);
        offered += count;
        return count;
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    constexpr char Separators[] = { ',', ';', '\t' };
    const char separator = Separators[data[0] % 3];
    const std::string_view bytes(reinterpret_cast<const char *>(data + 1), size - 1);

    // Fields split at 0xFF bytes, written quoted and read back.
    std::vector<std::string> fields(1);
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) == 0xFF)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    std::string record;
    for (const std::string &field : fields) {
        record += record.empty() ? "\"" : std::string(1, separator) + '"';
        for (char c : field)
            record += c == '"' ? std::string("\"\"") : std::string(1, c);
        record += '"';
    }
    record += '\n';
    std::size_t offered = 0;
    LineReader lines = readerOf(record, offered);
    CsvReader reader(lines, (data[0] & 0x80) ? std::optional<char>(separator) : std::nullopt);
    const auto read = reader.next();
    check(read && !read->unterminated && !read->tooLong && read->lineNumber == 1);
    if (reader.separator() == separator) { // detection may pick another: all is quoted
        const std::vector<std::string_view> &back = reader.split(read->text);
        check(back.size() == fields.size());
        for (std::size_t i = 0; i < fields.size(); ++i)
            check(back[i] == fields[i]);
    }
    check(!reader.next());

    // The bytes themselves as an input: every line in exactly one record.
    LineReader raw = readerOf(bytes, offered);
    CsvReader any(raw, std::nullopt);
    std::size_t nextLine = 1;
    while (const auto r = any.next()) {
        check(r->lineNumber == nextLine && r->lines >= 1);
        nextLine += r->lines;
        if (!r->tooLong)
            check(any.split(r->text).size() <= r->text.size() + 1);
    }
    const auto newlines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    const bool unterminatedLast = !bytes.empty() && bytes.back() != '\n';
    check(nextLine - 1 == newlines + (unterminatedLast ? 1 : 0));
    return 0;
}
