#include "cli/write.h"

#include "cli/batch.h"
#include "cli/console.h"
#include "cli/inputs.h"
#include "cli/printable.h"
#include "core/notation.h"
#include "core/number_text.h"
#include "core/text.h"
#include "device/read_plan.h"
#include "device/write_plan.h"

#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace modbuscalc::cli {

namespace {

// The lines shown before asking.
constexpr std::size_t Shown = 5;

// What came of a line, with the problem to tell.
struct Outcome {
    bool reached = true; // false: never sent (stopped)
    bool failed = false;
    std::optional<Problem> problem;
};

// --dry-run: each request as it would go out.
std::string requestsText(std::span<const device::WriteItem> items, device::WriteFunction function)
{
    std::map<std::pair<RegisterType, int>, std::uint16_t> words;
    for (const device::WriteItem &item : items)
        for (std::size_t i = 0; i < item.values.size(); ++i)
            words[{ item.type, item.address + static_cast<int>(i) }] = item.values[i];
    std::string text;
    for (const device::WriteRequest &r : device::PlanWrites(items, function, device::MaxPerWrite)) {
        const bool coils = r.type == RegisterType::Coil;
        text += "function " + std::to_string(coils ? (r.multiple ? 15 : 5) : (r.multiple ? 16 : 6))
            + ", address " + std::to_string(r.address) + ", count " + std::to_string(r.count) + ':';
        for (int a = r.address; a < r.address + r.count; ++a) {
            const std::uint16_t word = words[{ r.type, a }];
            text += ' ' + (coils ? std::to_string(word) : HexText(word)); // a coil is a bit
        }
        text += '\n';
    }
    return text;
}

// Asks on the terminal whether to go ahead, after saying what will be done.
bool confirmed(const Job &job, const std::vector<MapLine> &lines,
    const std::vector<std::string> &names, const device::Fleet *fleet)
{
    // "3 holding registers and 1 coil": of one device, or of them all.
    const auto counted = [&lines](std::optional<std::size_t> device) {
        std::size_t registers = 0, coils = 0;
        for (const MapLine &line : lines)
            if (!device || line.device() == *device)
                (line.write->item.type == RegisterType::Coil ? coils : registers)
                    += line.write->item.values.size();
        return std::to_string(registers) + " holding register" + (registers == 1 ? "" : "s")
            + " and " + std::to_string(coils) + " coil" + (coils == 1 ? "" : "s");
    };
    if (fleet) {
        std::vector<std::size_t> devices;
        for (const MapLine &line : lines)
            if (std::find(devices.begin(), devices.end(), line.device()) == devices.end())
                devices.push_back(line.device());
        Report("about to write " + counted(std::nullopt) + " on " + std::to_string(devices.size())
            + (devices.size() == 1 ? " device:" : " devices:"));
        for (const std::size_t device : devices)
            std::cerr << "  " << Printable(fleet->name(device), 200) << ": " << counted(device)
                      << '\n';
        std::cerr << "The lines:\n";
    } else {
        const device::Connection &connection = *job.invocation.connection;
        Report("about to write " + counted(std::nullopt) + " on " + device::Where(connection.link)
            + ", unit " + std::to_string(connection.unit) + ':');
    }
    for (std::size_t i = 0; i < lines.size() && i < Shown; ++i) {
        const MapLine &line = lines[i];
        std::string values;
        for (const std::string &value : line.write->values)
            values += ' ' + value;
        const std::string where = fleet ? " on " + Printable(fleet->name(line.device()), 200) : "";
        std::cerr << "  " << names[line.input] << ':' << line.lineNumber() << ": "
                  << line.write->subject << " (" << line.write->item.address << ")" << where << " ="
                  << Printable(values, 200) << '\n';
    }
    if (lines.size() > Shown)
        std::cerr << "  and " << lines.size() - Shown << " more line"
                  << (lines.size() - Shown == 1 ? "" : "s") << '\n';
    std::cerr << "Write them? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    const std::string_view given = TrimBlanks(answer);
    return EqualsIgnoringCase(given, "y") || EqualsIgnoringCase(given, "yes");
}

} // namespace

bool EachRegisterOnce(const Options &options, const std::vector<MapLine> &lines,
    const std::vector<std::string> &names, bool sameValueTwice)
{
    std::map<std::tuple<std::size_t, RegisterType, int>, std::size_t> writer;
    bool once = true;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const device::WriteItem &item = lines[i].write->item;
        for (std::size_t k = 0; k < item.values.size(); ++k) {
            const auto [at, fresh] = writer.try_emplace(
                { lines[i].device(), item.type, item.address + static_cast<int>(k) }, i);
            if (fresh)
                continue;
            const device::WriteItem &first = lines[at->second].write->item;
            if (sameValueTwice && first.type == item.type
                && first.values[static_cast<std::size_t>(
                       item.address + static_cast<int>(k) - first.address)]
                    == item.values[k])
                continue;
            Problem problem = SubjectProblem(Problem::Kind::WrittenTwice, lines[i].write->subject);
            problem.found = lines[at->second].lineNumber();
            // The register as the map counts them: its notation and addressing.
            problem.text = AddressText(options, item.address + static_cast<double>(k), item.type);
            ReportAt(names[lines[i].input], lines[i].lineNumber(), Describe(problem));
            once = false;
            break;
        }
    }
    return once;
}

bool HoldMaps(
    Job &job, MapLines &maps, device::Fleet *fleet, std::optional<device::Connection> defaults)
{
    const Options &options = job.invocation.options;
    const auto stopped = [&job] { return job.stop && job.stop->requested(); };
    std::string name;
    BatchConverter batch(*job.invocation.verb, options,
        [&name](std::size_t line, std::string_view message) { ReportAt(name, line, message); });
    batch.stopWhen(stopped);
    if (fleet)
        batch.nameDevicesIn(*fleet, std::move(defaults), false, nullptr);
    std::string none;
    const auto discard = [](std::string &text) { text.clear(); };
    for (const std::string &file : job.inputs) {
        if (stopped())
            return false;
        name = FileName(file);
        maps.status
            = std::max(maps.status, ConvertInput(batch, file, options, none, discard, stopped));
        maps.names.push_back(name);
        maps.held.push_back(batch.takeHeld());
    }
    maps.rejected = batch.failed();
    if (const std::optional<std::string> note = batch.skippedNote())
        Report(*note);
    for (std::size_t i = 0; i < maps.held.size(); ++i)
        for (const BatchConverter::Pending &pending : maps.held[i].lines)
            maps.lines.push_back({ i, &pending, &pending.write });
    return !stopped();
}

namespace {

// The message for a write that failed.
Problem writeProblem(const PreparedWrite &write, const device::DeviceError &error, bool multiple)
{
    Problem problem = SubjectProblem(Problem::Kind::WriteFailed, write.subject);
    problem.device = error;
    if (error.kind == device::DeviceError::Kind::Exception && error.exception == 1 && multiple) {
        const bool coils = write.item.type == RegisterType::Coil;
        problem.device.text += coils ? " to function 15; --function 5 writes a coil at a time"
                                     : " to function 16; --function 6 writes a register at a time";
    }
    return problem;
}

// Whether write may go ahead without asking: a single cell, a dry run,
// --yes, or a terminal to ask on. Told when not.
bool WriteMayRun(const Job &job)
{
    const Options &options = job.invocation.options;
    if (job.invocation.write || options.yes || options.dryRun)
        return true;
    const bool mapOnStandardInput
        = std::find(job.inputs.begin(), job.inputs.end(), "-") != job.inputs.end();
    if (isatty(0) && !mapOnStandardInput)
        return true;
    Report("a map is written only when asked on a terminal, or with --yes");
    return false;
}

} // namespace

int RunWrite(Job &job, Output &output)
{
    // Whether to go ahead without asking is told before the map is read.
    if (!WriteMayRun(job))
        return ExitTrouble;
    const Invocation &invocation = job.invocation;
    const Options &options = invocation.options;
    const auto stopped = [&job] { return job.stop && job.stop->requested(); };
    int status = ExitOk;

    // A map whose lines name their devices writes each in turn, each
    // opened when its turn comes: one out of reach costs its own lines.
    std::unique_ptr<device::Fleet> fleet;
    if (options.severalDevices() && !invocation.write)
        fleet = NewFleet(invocation, *job.stop);

    // Everything checked, before anything is sent.
    MapLines maps;
    if (invocation.write) {
        maps.names.emplace_back("modbuscalc");
        maps.lines.push_back({ 0, nullptr, &*invocation.write });
    } else if (!HoldMaps(job, maps, fleet.get(), invocation.connection)) {
        return ExitDataProblem;
    }
    status = maps.status;
    const std::vector<std::string> &names = maps.names;
    const std::vector<BatchConverter::Held> &held = maps.held;
    const std::vector<MapLine> &lines = maps.lines;
    const std::size_t rejected = maps.rejected;
    if (stopped())
        return ExitDataProblem;
    const bool once
        = EachRegisterOnce(options, lines, names, false); // told even beside other bad lines
    if (rejected > 0 || status != ExitOk || !once) {
        Report("nothing written");
        return ExitTrouble;
    }
    std::vector<device::WriteItem> items;
    items.reserve(lines.size());
    for (const MapLine &line : lines)
        items.push_back(line.write->item);
    // Each device's own items, in the map's order.
    const std::size_t devices = fleet ? fleet->size() : 1;
    std::vector<std::vector<device::WriteItem>> itemsOf(devices);
    for (std::size_t i = 0; i < lines.size(); ++i)
        itemsOf[lines[i].device()].push_back(items[i]);
    if (options.dryRun) {
        std::string text;
        for (std::size_t d = 0; d < devices; ++d) {
            if (fleet && !itemsOf[d].empty())
                text += fleet->name(d) + ":\n";
            text += requestsText(itemsOf[d], options.function);
        }
        output.write(text);
        return ExitOk;
    }
    if (!invocation.write && !options.yes && !confirmed(job, lines, names, fleet.get())) {
        Report("nothing written");
        return ExitDataProblem;
    }
    if (fleet && !device::DeviceAccessAvailable()) {
        Report("write is not available in this build");
        return ExitTrouble;
    }
    if (!fleet)
        if (const std::optional<int> refused = Connect(job))
            return *refused;

    std::vector<std::unique_ptr<device::RegisterWriter>> writers(devices);
    std::vector<std::unique_ptr<device::RegisterReader>> readers(devices);
    for (std::size_t d = 0; d < devices && !stopped(); ++d) {
        if (itemsOf[d].empty())
            continue;
        device::Device &target = fleet ? fleet->device(d) : *job.device;
        writers[d] = std::make_unique<device::RegisterWriter>(target, options.function);
        writers[d]->writeAll(itemsOf[d], stopped);
        // Read back what was written, coalesced as reads are, word for word.
        std::vector<device::Wanted> wanted;
        if (options.verify)
            for (const device::WriteItem &item : itemsOf[d])
                if (std::holds_alternative<device::Written>(writers[d]->result(item)))
                    wanted.push_back({ item.type, item.address,
                        static_cast<int>(item.values.size()), item.width });
        readers[d] = std::make_unique<device::RegisterReader>(target);
        if (!wanted.empty())
            readers[d]->readAll(wanted, stopped);
    }

    bool gaveUp = false;
    std::vector<bool> toldGivenUp(devices);
    std::vector<std::string> givenUp;
    std::vector<Outcome> outcomes(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const PreparedWrite &write = *lines[i].write;
        Outcome &outcome = outcomes[i];
        const std::size_t d = lines[i].device();
        if (!writers[d]) { // stopped before its device's turn
            outcome.reached = false;
            continue;
        }
        const device::RegisterWriter &writer = *writers[d];
        const device::RegisterReader &reader = *readers[d];
        const device::ItemResult result = writer.result(items[i]);
        if (std::holds_alternative<device::NotWritten>(result)) {
            outcome.reached = false;
            continue;
        }
        if (const auto *error = std::get_if<device::DeviceError>(&result)) {
            outcome.failed = true;
            if (error->kind == device::DeviceError::Kind::GaveUp) {
                if (!toldGivenUp[d]) {
                    Report(fleet ? fleet->name(d) + ": " + error->text : error->text);
                    if (fleet)
                        givenUp.push_back(fleet->name(d));
                }
                toldGivenUp[d] = true;
                gaveUp = true;
                // The request it was given up on went out; those after it
                // did not.
                outcome.problem = error->maybeDone
                    ? writeProblem(write, *error, true)
                    : SubjectProblem(Problem::Kind::NotSent, write.subject);
                continue;
            }
            outcome.problem = writeProblem(write, *error, true);
            if (fleet) // which device failed
                outcome.problem->device.text = fleet->name(d) + ": " + outcome.problem->device.text;
            continue;
        }
        if (!options.verify)
            continue;
        const device::Wanted back { write.item.type, write.item.address,
            static_cast<int>(write.item.values.size()), write.item.width };
        const device::LineResult read = reader.result(back);
        if (const auto *error = std::get_if<device::DeviceError>(&read)) {
            outcome.problem = SubjectProblem(Problem::Kind::NotReadBack, write.subject);
            outcome.problem->device = *error;
        } else if (const auto *words = std::get_if<std::vector<std::uint16_t>>(&read);
                   words && *words != write.item.values) {
            outcome.failed = true;
            outcome.problem = SubjectProblem(Problem::Kind::ReadBackDiffers, write.subject);
            const int width = write.item.width;
            for (std::size_t k = 0; k < words->size(); k += static_cast<std::size_t>(width)) {
                const auto value = [&](const std::vector<std::uint16_t> &from) {
                    const std::span<const std::uint16_t> part(
                        from.data() + k, static_cast<std::size_t>(width));
                    return write.item.type == RegisterType::Coil
                        ? std::to_string(part[0])
                        : ValueText(write.format, options.wordOrder, part);
                };
                if (value(*words) == value(write.item.values))
                    continue;
                outcome.problem->text = value(write.item.values);
                outcome.problem->other = value(*words);
                break;
            }
        } else if (std::holds_alternative<device::NotRead>(read)) {
            outcome.problem = SubjectProblem(Problem::Kind::NotReadBack, write.subject);
            outcome.problem->device.text = "stopped";
        }
    }

    // Messages first, in the order of the lines; then the results, after
    // each line as read adds them: its address and the values written, or
    // Error.
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Outcome &outcome = outcomes[i];
        if (outcome.failed || outcome.problem)
            status = std::max(status, ExitDataProblem);
        if (!outcome.problem || options.quiet)
            continue;
        if (lines[i].pending)
            ReportAt(names[lines[i].input], lines[i].lineNumber(), Describe(*outcome.problem));
        else
            Report(Describe(*outcome.problem));
    }
    const auto results = [&](std::size_t i) {
        std::vector<std::string> texts = lines[i].write->address;
        for (const std::string &value : lines[i].write->values)
            texts.push_back(outcomes[i].failed ? std::string(ErrorMark) : value);
        return texts;
    };
    std::string out;
    if (invocation.write) {
        if (outcomes[0].reached) {
            for (const std::string &text : results(0))
                out += (out.empty() ? "" : " ") + text;
            out += '\n';
        }
    } else {
        std::size_t i = 0;
        bool cut = false;
        for (std::size_t input = 0; input < held.size() && !cut; ++input) {
            const std::string &text = held[input].text;
            std::size_t done = 0;
            for (; i < lines.size() && lines[i].input == input; ++i) {
                const BatchConverter::Pending &pending = *lines[i].pending;
                if (!outcomes[i].reached) {
                    // Stopped: the lines not reached are left out whole.
                    out.append(text, done, pending.start - done);
                    cut = true;
                    break;
                }
                out.append(text, done, pending.at - done);
                done = pending.at;
                for (const std::string &result : results(i)) {
                    out += pending.separator;
                    out += result;
                }
            }
            if (!cut)
                out.append(text, done);
        }
    }
    output.write(out, true);
    if (fleet)
        if (const auto summary = GivenUpSummary(givenUp, fleet->size()))
            Report(*summary);
    if (gaveUp)
        return ExitTrouble;
    if (stopped())
        return std::max(status, ExitDataProblem);
    return status;
}

} // namespace modbuscalc::cli
