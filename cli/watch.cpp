#include "cli/watch.h"

#include "cli/batch.h"
#include "cli/console.h"
#include "cli/inputs.h"
#include "cli/printable.h"
#include "cli/records.h"
#include "core/cell_address.h"
#include "core/number_text.h"
#include "core/text.h"
#include "device/read_plan.h"
#include "maps/encoding.h"
#include "maps/records_out.h"

#include <cmath>
#include <ctime>
#include <map>
#include <memory>
#include <tuple>

namespace modbuscalc::cli {

namespace {

using Steady = std::chrono::steady_clock;

// A map held whole through the converter, whose sink takes its lines;
// false when it cannot be read as asked (told).
bool convertText(BatchConverter &converter, const Options &options, const std::string &text,
    const std::string &path)
{
    std::size_t at = 0;
    maps::LineReader lines { [&text, &at](char *buffer, std::size_t size) {
        const std::size_t n = std::min(size, text.size() - at);
        std::copy_n(text.data() + at, n, buffer);
        at += n;
        return n;
    } };
    std::string none;
    return converter.convertAll(
        lines, OneColumnSeparator(options, path), none, [](std::string &) {});
}

// Whether a map's header has every column the options name; told when not.
bool headerHasColumns(const Verb &verb, const Options &options, const std::string &name,
    const std::string &text, const std::string &path)
{
    BatchConverter probe(verb, options,
        [&name](std::size_t line, std::string_view message) { ReportAt(name, line, message); });
    probe.stopWhen([] { return true; }); // the header alone
    probe.sendLinesTo([](const BatchConverter::DoneLine &) {},
        [](const std::vector<std::string> &, std::string_view, char) {});
    return convertText(probe, options, text, path);
}

} // namespace

std::string Rfc3339(std::chrono::system_clock::time_point time)
{
    const auto since = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    const auto millis
        = std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds).count();
    const std::time_t whole = seconds.count();
    std::tm utc {};
#ifdef _WIN32
    gmtime_s(&utc, &whole);
#else
    gmtime_r(&whole, &utc);
#endif
    char text[96]; // room for any int, though a year has four digits
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
        utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

bool Watching(const Invocation &invocation)
{
    return invocation.verb->readsDevice
        && (invocation.options.interval > 0 || invocation.options.output != OutputFormat::Text);
}

int RunWatch(Job &job, Output &output)
{
    const Invocation &invocation = job.invocation;
    const Options &options = invocation.options;
    const bool watching = options.interval > 0;
    const auto stopped = [&job] { return job.stop && job.stop->requested(); };
    int status = ExitOk;

    // The maps, read once and whole: every poll reads the same lines.
    struct Map {
        std::string name, path, text;
        std::unique_ptr<BatchConverter> converter;
    };
    std::vector<Map> maps;
    for (const std::string &file : job.inputs) {
        Map map { FileName(file), file, {}, nullptr };
        if (ReadWhole(file, map.text, stopped) != ExitOk) {
            // A watch would poll the rest for ever without it: it stops
            // before its first poll.
            if (watching)
                return ExitTrouble;
            status = ExitTrouble;
            continue;
        }
        maps.push_back(std::move(map));
    }
    std::optional<PreparedRead> single;
    std::vector<std::string> operands = invocation.operands;
    if (job.oneConversion) {
        const std::vector<std::string_view> inputs(operands.begin(), operands.end());
        auto prepared = PrepareRead(options, inputs, std::nullopt);
        if (auto *rejected = std::get_if<Conversion>(&prepared)) {
            Report(Describe(*rejected->problem));
            return ExitDataProblem;
        }
        single = std::get<PreparedRead>(std::move(prepared));
    }

    RecordWriter writer(options, *invocation.verb, watching);
    for (std::size_t i = 0; i < maps.size(); ++i) {
        Map &map = maps[i];
        map.converter = std::make_unique<BatchConverter>(*invocation.verb, options,
            [name = map.name](
                std::size_t line, std::string_view message) { ReportAt(name, line, message); });
        map.converter->stopWhen(stopped);
        if (job.fleet)
            map.converter->nameDevicesIn(*job.fleet, invocation.connection, true, job.stop);
        else
            map.converter->readFrom(*job.device);
    }
    // A header that lacks a column asked for would fail every poll: told
    // once, before the first.
    if (options.header)
        for (const Map &map : maps)
            if (!headerHasColumns(*invocation.verb, options, map.name, map.text, map.path))
                return ExitTrouble;
    std::optional<device::RegisterReader> reader;
    if (job.device)
        reader.emplace(*job.device, options.maxGap);
    const std::string where
        = invocation.connection ? device::Where(invocation.connection->link) : std::string();
    bool outage = job.outageAtStart;

    const Steady::time_point start = Steady::now();
    const auto interval = std::chrono::duration<double>(options.interval);
    std::size_t polls = 0, overruns = 0;
    long long slot = 0;
    bool anyFailed = false;
    while (options.polls == 0 || polls < static_cast<std::size_t>(options.polls)) {
        if (watching) {
            const auto due = start + std::chrono::duration_cast<Steady::duration>(slot * interval);
            const double wait = std::chrono::duration<double>(due - Steady::now()).count();
            if (wait > 0 && !job.stop->sleep(wait))
                break;
        }
        if (stopped())
            break;
        const std::string time = Rfc3339(std::chrono::system_clock::now());
        // A device given up on is asked afresh.
        if (job.fleet)
            job.fleet->reset();
        else
            job.device->reset();
        const std::size_t failedBefore = writer.failed(), valuesBefore = writer.values();
        if (single) {
            reader->clear();
            reader->readAll({ &single->wanted, 1 }, stopped);
            const std::optional<Conversion> conversion = FinishRead(options, *single, *reader);
            if (!conversion)
                break;
            writer.line(time, 0, "modbuscalc", { 0, {}, ' ', operands, &*single, *conversion });
            writer.polled(0);
        }
        for (std::size_t i = 0; i < maps.size() && !stopped(); ++i) {
            Map &map = maps[i];
            map.converter->sendLinesTo(
                [&](const BatchConverter::DoneLine &line) { writer.line(time, i, map.name, line); },
                [&](const std::vector<std::string> &names, std::string_view text, char separator) {
                    writer.header(names, text, separator);
                });
            if (!convertText(*map.converter, options, map.text, map.path))
                status = ExitTrouble;
            writer.polled(i);
        }
        anyFailed = anyFailed || writer.failed() > failedBefore;
        // An outage is told where it starts and where it ends, once each.
        // A fleet's devices are told by the maps' lines, each once.
        const std::optional<device::DeviceError> gaveUp
            = job.device ? job.device->gaveUpError() : std::nullopt;
        if (gaveUp && !outage) {
            Report(Printable(where + ": " + gaveUp->text, std::string::npos));
            outage = true;
        } else if (job.device && !gaveUp && outage
            && writer.values() - valuesBefore > writer.failed() - failedBefore) {
            Report(where + ": answering again");
            outage = false;
        }
        output.write(writer.out(), true);
        if (output.failed())
            break; // nobody reads what the next poll would write
        ++polls;
        if (!watching || stopped())
            break;
        // The next slot; after an overrun, at once, and then on the grid.
        const double elapsed = std::chrono::duration<double>(Steady::now() - start).count();
        ++slot;
        if (elapsed > static_cast<double>(slot) * options.interval) {
            ++overruns;
            slot = static_cast<long long>(std::floor(elapsed / options.interval));
        }
    }
    if (watching)
        Report(std::to_string(polls) + (polls == 1 ? " poll, " : " polls, ")
            + std::to_string(writer.values()) + " values, " + std::to_string(writer.failed())
            + " failed, " + std::to_string(overruns) + (overruns == 1 ? " overrun" : " overruns"));
    if (job.fleet) {
        std::vector<std::string> givenUp;
        for (const Map &map : maps)
            for (const std::string &name : map.converter->devicesGivenUp())
                if (std::find(givenUp.begin(), givenUp.end(), name) == givenUp.end())
                    givenUp.push_back(name);
        if (const auto summary = GivenUpSummary(givenUp, job.fleet->size()))
            Report(*summary);
    }
    if (anyFailed)
        status = std::max(status, ExitDataProblem);
    return status;
}

} // namespace modbuscalc::cli
