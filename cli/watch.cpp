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

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
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

namespace {

// The maps of a watch, read once and whole: every poll reads the same lines.
struct Map {
    std::string name, path, text;
    std::unique_ptr<BatchConverter> converter;
};

// What a schedule of polls came to.
struct Tally {
    std::size_t polls = 0, overruns = 0;
};

// Polls on a fixed schedule: poll k at start + k x interval, an overrun
// followed at once and then on the grid; once without an interval. poll
// does one, at the time given, and says whether to go on.
Tally schedule(const Options &options, const device::Stop &stop,
    const std::function<bool(const std::string &time)> &poll)
{
    const bool watching = options.interval > 0;
    const Steady::time_point start = Steady::now();
    const auto interval = std::chrono::duration<double>(options.interval);
    Tally tally;
    long long slot = 0;
    while (options.polls == 0 || tally.polls < static_cast<std::size_t>(options.polls)) {
        if (watching) {
            const auto due = start + std::chrono::duration_cast<Steady::duration>(slot * interval);
            const double wait = std::chrono::duration<double>(due - Steady::now()).count();
            if (wait > 0 && !stop.sleep(wait))
                break;
        }
        if (stop.requested())
            break;
        if (!poll(Rfc3339(std::chrono::system_clock::now())))
            break;
        ++tally.polls;
        if (!watching || stop.requested())
            break;
        // The next slot; after an overrun, at once, and then on the grid.
        const double elapsed = std::chrono::duration<double>(Steady::now() - start).count();
        ++slot;
        if (elapsed > static_cast<double>(slot) * options.interval) {
            ++tally.overruns;
            slot = static_cast<long long>(std::floor(elapsed / options.interval));
        }
    }
    return tally;
}

// A watch of maps whose lines name their devices: each host or serial line
// polled on a schedule and a thread of its own, so that a dead device's
// waits never make the others late. Each link's lines of a poll go out
// together, in the map's order; the lines without a device with the first
// link's. The summary counts the most polls a link made.
Tally watchFleet(Job &job, Output &output, std::vector<Map> &maps, RecordWriter &writer,
    bool &anyFailed, int &status)
{
    const Invocation &invocation = job.invocation;
    const Options &options = invocation.options;
    device::Fleet &fleet = *job.fleet;
    const auto stopped = [&job] { return job.stop->requested(); };
    // Every device the maps name, before any thread reads the fleet.
    for (Map &map : maps) {
        BatchConverter probe(*invocation.verb, options, [](std::size_t, std::string_view) {});
        probe.nameDevicesIn(fleet, invocation.connection, false, nullptr);
        probe.sendLinesTo([](const BatchConverter::DoneLine &) {},
            [](const std::vector<std::string> &, std::string_view, char) {});
        convertText(probe, options, map.text, map.path);
    }
    std::mutex mutex; // the writer, the output, the status
    Tally total;
    const auto watchLink = [&](std::size_t link) {
        std::vector<std::unique_ptr<BatchConverter>> converters;
        for (const Map &map : maps) {
            converters.push_back(std::make_unique<BatchConverter>(*invocation.verb, options,
                [name = map.name](std::size_t line, std::string_view message) {
                    ReportAt(name, line, message);
                }));
            converters.back()->stopWhen(stopped);
            converters.back()->nameDevicesIn(fleet, invocation.connection, true, job.stop);
            converters.back()->onlyLink(link, link == 0);
            converters.back()->quietGivingUp();
        }
        std::vector<std::size_t> devices;
        for (std::size_t d = 0; d < fleet.size(); ++d)
            if (fleet.linkOf(d) == link)
                devices.push_back(d);
        std::vector<bool> out(fleet.size()), answered(fleet.size());
        const Tally tally = schedule(options, *job.stop, [&](const std::string &time) {
            if (link < fleet.links())
                fleet.reset(link); // a device given up on is asked afresh
            std::fill(answered.begin(), answered.end(), false);
            for (std::size_t i = 0; i < maps.size() && !stopped(); ++i) {
                converters[i]->sendLinesTo(
                    [&, i](const BatchConverter::DoneLine &line) {
                        if (line.read && !line.conversion.problem)
                            answered[line.device] = true;
                        const std::lock_guard lock(mutex);
                        anyFailed = anyFailed || line.conversion.problem.has_value();
                        writer.line(time, i, maps[i].name, line);
                    },
                    [&](const std::vector<std::string> &names, std::string_view text,
                        char separator) {
                        const std::lock_guard lock(mutex);
                        writer.header(names, text, separator);
                    });
                const bool read = convertText(*converters[i], options, maps[i].text, maps[i].path);
                const std::lock_guard lock(mutex);
                if (!read)
                    status = ExitTrouble;
                writer.polled(i);
            }
            // An outage is told where it starts and where it ends, once each.
            for (const std::size_t d : devices) {
                const std::optional<device::DeviceError> gaveUp = fleet.gaveUp(d);
                if (gaveUp && !out[d])
                    Report(Printable(fleet.name(d) + ": " + gaveUp->text, std::string::npos));
                else if (!gaveUp && out[d] && answered[d])
                    Report(fleet.name(d) + ": answering again");
                else
                    continue;
                out[d] = !out[d];
            }
            const std::lock_guard lock(mutex);
            output.write(writer.out(), true);
            if (output.failed()) {
                job.stop->request(); // nobody reads what any link's next poll would write
                return false;
            }
            return true;
        });
        const std::lock_guard lock(mutex);
        total.polls = std::max(total.polls, tally.polls);
        total.overruns += tally.overruns;
    };
    std::vector<std::thread> threads;
    for (std::size_t link = 1; link < fleet.links(); ++link)
        threads.emplace_back(watchLink, link);
    watchLink(0);
    for (std::thread &thread : threads)
        thread.join();
    return total;
}

} // namespace

int RunWatch(Job &job, Output &output)
{
    const Invocation &invocation = job.invocation;
    const Options &options = invocation.options;
    const bool watching = options.interval > 0;
    const auto stopped = [&job] { return job.stop && job.stop->requested(); };
    int status = ExitOk;

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

    // A header that lacks a column asked for would fail every poll: told
    // once, before the first.
    if (options.header)
        for (const Map &map : maps)
            if (!headerHasColumns(*invocation.verb, options, map.name, map.text, map.path))
                return ExitTrouble;
    RecordWriter writer(options, *invocation.verb, watching);
    bool anyFailed = false;
    Tally tally;
    if (job.fleet) {
        tally = watchFleet(job, output, maps, writer, anyFailed, status);
    } else {
        for (Map &map : maps) {
            map.converter = std::make_unique<BatchConverter>(*invocation.verb, options,
                [name = map.name](
                    std::size_t line, std::string_view message) { ReportAt(name, line, message); });
            map.converter->stopWhen(stopped);
            map.converter->readFrom(*job.device);
        }
        device::RegisterReader reader(*job.device, options.maxGap);
        const std::string where
            = invocation.connection ? device::Where(invocation.connection->link) : std::string();
        bool outage = job.outageAtStart;
        tally = schedule(options, *job.stop, [&](const std::string &time) {
            job.device->reset(); // a device given up on is asked afresh
            const std::size_t failedBefore = writer.failed(), valuesBefore = writer.values();
            if (single) {
                reader.clear();
                reader.readAll({ &single->wanted, 1 }, stopped);
                const std::optional<Conversion> conversion = FinishRead(options, *single, reader);
                if (!conversion)
                    return false;
                writer.line(time, 0, "modbuscalc", { 0, {}, ' ', operands, &*single, *conversion });
                writer.polled(0);
            }
            for (std::size_t i = 0; i < maps.size() && !stopped(); ++i) {
                Map &map = maps[i];
                map.converter->sendLinesTo(
                    [&](const BatchConverter::DoneLine &line) {
                        writer.line(time, i, map.name, line);
                    },
                    [&](const std::vector<std::string> &names, std::string_view text,
                        char separator) { writer.header(names, text, separator); });
                if (!convertText(*map.converter, options, map.text, map.path))
                    status = ExitTrouble;
                writer.polled(i);
            }
            anyFailed = anyFailed || writer.failed() > failedBefore;
            // An outage is told where it starts and where it ends, once each.
            if (const auto &gaveUp = job.device->gaveUpError(); gaveUp && !outage) {
                Report(Printable(where + ": " + gaveUp->text, std::string::npos));
                outage = true;
            } else if (!gaveUp && outage
                && writer.values() - valuesBefore > writer.failed() - failedBefore) {
                Report(where + ": answering again");
                outage = false;
            }
            output.write(writer.out(), true);
            return !output.failed(); // nobody reads what the next poll would write
        });
    }
    if (watching)
        Report(std::to_string(tally.polls) + (tally.polls == 1 ? " poll, " : " polls, ")
            + std::to_string(writer.values()) + " values, " + std::to_string(writer.failed())
            + " failed, " + std::to_string(tally.overruns)
            + (tally.overruns == 1 ? " overrun" : " overruns"));
    if (job.fleet) {
        std::vector<std::string> givenUp;
        for (std::size_t d = 0; d < job.fleet->size(); ++d)
            if (job.fleet->gaveUp(d))
                givenUp.push_back(job.fleet->name(d));
        if (const auto summary = GivenUpSummary(givenUp, job.fleet->size()))
            Report(*summary);
    }
    if (anyFailed)
        status = std::max(status, ExitDataProblem);
    return status;
}

} // namespace modbuscalc::cli
