// Register lists of any bytes, fed in blocks of any size: the line reader
// gives back exactly the input's lines (a line over the limit as one
// too-long line), and a list conversion writes exactly one output line for
// each input line, whatever the lines hold (quoted line breaks included).

#include "cli/batch.h"
#include "device/device.h"
#include "maps/line_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace modbuscalc::cli;
using namespace modbuscalc::maps;
using modbuscalc::device::DeviceError;
using modbuscalc::device::ReadResult;

namespace {

struct ExpectedLine {
    std::string_view text;
    bool terminated;
};

// The plain definition: split at every '\n'; a last piece without one is a
// line only when it is not empty.
std::vector<ExpectedLine> splitLines(std::string_view input)
{
    std::vector<ExpectedLine> lines;
    for (std::size_t pos = 0; pos < input.size();) {
        const std::size_t end = input.find('\n', pos);
        if (end == std::string_view::npos) {
            lines.push_back({ input.substr(pos), false });
            break;
        }
        lines.push_back({ input.substr(pos, end - pos), true });
        pos = end + 1;
    }
    return lines;
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Stands in for a device: every register holds its address; every tenth
// read fails.
class FakeDevice final : public modbuscalc::device::Device {
public:
    modbuscalc::device::WriteResult write(
        modbuscalc::RegisterType, int, std::span<const std::uint16_t>, bool) override
    {
        return std::nullopt;
    }

    ReadResult read(modbuscalc::RegisterType, int address, int count) override
    {
        if (++m_reads % 10 == 0)
            return DeviceError { DeviceError::Kind::Timeout, 0, "timeout" };
        std::vector<std::uint16_t> values;
        for (int i = 0; i < count; ++i)
            values.push_back(static_cast<std::uint16_t>(address + i));
        return values;
    }

private:
    int m_reads = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    // Two bytes choose the line limit (small, so that it is often reached)
    // and the size of the blocks the source hands out.
    const std::size_t maxLine = data[0] % 64 + 1;
    const std::size_t block = data[1] % 97 + 1;
    const std::string_view input(reinterpret_cast<const char *>(data + 2), size - 2);

    std::size_t offered = 0;
    const auto source = [&](char *buffer, std::size_t room) {
        const std::size_t count = std::min({ room, block, input.size() - offered });
        std::copy_n(input.data() + offered, count, buffer);
        offered += count;
        return count;
    };

    LineReader reader(source, maxLine);
    const std::vector<ExpectedLine> expected = splitLines(input);
    std::size_t index = 0;
    while (const auto line = reader.next()) {
        check(index < expected.size());
        const ExpectedLine &want = expected[index++];
        check(line->terminated == want.terminated);
        check(line->tooLong == (want.text.size() > maxLine));
        check(line->tooLong ? line->text.empty() : line->text == want.text);
    }
    check(index == expected.size());
    check(!reader.next()); // stays at the end

    // Both verbs, strict and lenient, with and without a header, quotes
    // and all: one output line per input line.
    FakeDevice device;
    for (const Verb &verb : Verbs()) {
        if (verb.holdsMaps())
            continue; // holds the whole map until it is written or served
        Options options;
        options.lenient = (data[0] & 0x80) != 0;
        options.header = (data[1] & 0x80) != 0;
        options.all = (data[0] & 0x40) != 0;
        offered = 0;
        LineReader again(source, maxLine);
        std::size_t reports = 0;
        BatchConverter batch(
            verb, options, [&reports](std::size_t, std::string_view) { ++reports; });
        batch.readFrom(device);
        std::string out;
        check(batch.convertAll(again, ',', out, [](std::string &) {}));
        check(
            static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')) == expected.size());
        // A message about each line at most, and one about the whole input.
        check(reports <= expected.size() + 1);
    }
    return 0;
}
