#include "cli/serve.h"

#include "cli/console.h"
#include "cli/printable.h"
#include "cli/watch.h"
#include "cli/write.h"
#include "core/cell_address.h"
#include "core/number_text.h"
#include "maps/csv.h"
#include "maps/records_out.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

namespace modbuscalc::cli {

namespace {

// A line of the log, on standard error as it happens: a C runtime may hold
// a redirected stderr back.
void logLine(const std::string &line)
{
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// "1 1 1": a PDU address's cell.
std::string cellText(int address)
{
    const std::optional<CellNumbers> cell
        = CellOfAddress(static_cast<double>(address), AddressingMode::Absolute);
    return NumberText(cell->table) + ' ' + NumberText(cell->column) + ' ' + NumberText(cell->row);
}

// A line's value as the unit holds it now, in the line's format.
std::string servedValue(
    const Options &options, const PreparedWrite &write, const device::Server &server, int unit)
{
    const device::WriteItem &item = write.item;
    std::vector<std::uint16_t> words;
    for (std::size_t i = 0; i < item.values.size(); ++i)
        words.push_back(server.value(unit, item.type, item.address + static_cast<int>(i)));
    return device::IsBits(item.type) ? std::to_string(words.front())
                                     : ValueText(write.format, options.wordOrder, words);
}

// The maps' lines by the first register each sets: what a write touched,
// in the format of the line that names it.
// unitOf: each line's unit, where the maps give lines units of their own
// (else -1: every unit's).
class LineIndex {
public:
    LineIndex(const std::vector<MapLine> &lines, const std::function<int(const MapLine &)> &unitOf)
    {
        for (const MapLine &line : lines)
            m_lines.try_emplace(
                { unitOf(line), line.write->item.type, line.write->item.address }, &line);
    }

    const MapLine *covering(int unit, RegisterType type, int address) const
    {
        for (const int owner : { unit, -1 }) {
            auto next = m_lines.upper_bound({ owner, type, address });
            if (next == m_lines.begin())
                continue;
            const auto &[key, line] = *std::prev(next);
            const int size = static_cast<int>(line->write->item.values.size());
            if (std::get<0>(key) == owner && std::get<1>(key) == type
                && address < std::get<2>(key) + size)
                return line;
        }
        return nullptr;
    }

private:
    std::map<std::tuple<int, RegisterType, int>, const MapLine *> m_lines;
};

// A value written, as the log tells it.
struct Touched {
    int address;
    std::string value;
};

class RequestLog {
public:
    RequestLog(const Options &options, const LineIndex &index, const device::Server &server)
        : m_options(options)
        , m_index(index)
        , m_server(server)
    {
    }

    void write(const device::ServedEvent &event) const
    {
        if (m_options.quiet)
            return;
        std::vector<Touched> touched;
        const bool answered
            = event.answer.kind == device::Answer::Kind::Reply && event.answer.exception == 0;
        if (answered && event.request && event.request->writes)
            touched = this->touched(event.unit, *event.request);
        const std::string line
            = m_options.output == OutputFormat::Json ? json(event, touched) : text(event, touched);
        logLine(line);
    }

private:
    std::vector<Touched> touched(int unit, const device::ServedRequest &request) const
    {
        std::vector<Touched> touched;
        const int end = request.writeAddress + request.writeCount;
        for (int address = request.writeAddress; address < end;) {
            const MapLine *line = m_index.covering(unit, request.type, address);
            if (!line) {
                touched.push_back(
                    { address, std::to_string(m_server.value(unit, request.type, address)) });
                ++address;
                continue;
            }
            const device::WriteItem &item = line->write->item;
            touched.push_back(
                { item.address, servedValue(m_options, *line->write, m_server, unit) });
            address = item.address + static_cast<int>(item.values.size());
        }
        return touched;
    }

    static std::string text(const device::ServedEvent &event, const std::vector<Touched> &touched)
    {
        std::string line = Rfc3339(event.time) + ' ' + event.peer + " unit "
            + std::to_string(event.unit) + ": function " + std::to_string(event.function);
        if (const auto &r = event.request) {
            line += ", address " + std::to_string(r->address) + ", count "
                + std::to_string(r->count);
            if (r->function == 23)
                line += ", writing " + std::to_string(r->writeAddress) + ", count "
                    + std::to_string(r->writeCount);
        }
        std::string sep = ": ";
        for (const Touched &t : touched) {
            line += sep + "cell " + cellText(t.address) + " = " + t.value;
            sep = ", ";
        }
        if (event.answer.kind == device::Answer::Kind::Silence)
            line += ": no answer";
        else if (event.answer.exception != 0)
            line += ": exception " + std::to_string(event.answer.exception);
        return line + '\n';
    }

    static std::string json(const device::ServedEvent &event, const std::vector<Touched> &touched)
    {
        maps::JsonRecord record;
        record.text("time", Rfc3339(event.time));
        record.text("peer", event.peer);
        record.number("unit", event.unit);
        record.number("function", event.function);
        if (const auto &r = event.request) {
            record.number("address", r->address);
            record.number("count", r->count);
            if (r->function == 23) {
                record.number("write_address", r->writeAddress);
                record.number("write_count", r->writeCount);
            }
        }
        std::vector<maps::JsonRecord> written(touched.size());
        for (std::size_t i = 0; i < touched.size(); ++i) {
            written[i].text("cell", cellText(touched[i].address));
            written[i].number("address", touched[i].address);
            written[i].value("value", touched[i].value);
        }
        if (!touched.empty())
            record.records("written", written);
        if (event.answer.kind == device::Answer::Kind::Silence)
            record.text("answer", "none");
        else if (event.answer.exception != 0) {
            record.text("answer", "exception");
            record.number("exception", event.answer.exception);
        } else
            record.text("answer", "value");
        return record.dump() + '\n';
    }

    const Options &m_options;
    const LineIndex &m_index;
    const device::Server &m_server;
};

// The maps again, each line's value as served now (by its unit): in place
// of its value column, or after the line as read adds it.
std::string savedText(const Options &options, const MapLines &maps, const device::Server &server,
    const std::function<int(const MapLine &)> &unitOf)
{
    std::string out;
    std::size_t next = 0;
    for (std::size_t input = 0; input < maps.held.size(); ++input) {
        const BatchConverter::Held &held = maps.held[input];
        std::size_t done = 0;
        for (; next < maps.lines.size() && maps.lines[next].input == input; ++next) {
            const BatchConverter::Pending &pending = *maps.lines[next].pending;
            const PreparedWrite &write = *maps.lines[next].write;
            const std::string value = servedValue(options, write, server, unitOf(maps.lines[next]));
            out.append(held.text, done, pending.start - done);
            const std::string_view line
                = std::string_view(held.text).substr(pending.start, pending.at - pending.start);
            if (const auto column = pending.valueColumn) {
                out += maps::ReplaceField(line, pending.separator, *column, value);
            } else {
                out += line;
                for (const std::string &address : write.address)
                    out += pending.separator + address;
                out += pending.separator + value;
            }
            done = pending.at;
        }
        out.append(held.text, done);
    }
    return out;
}

// Writes the file whole or not at all: a new file renamed over the old.
bool saveFile(const std::string &path, const std::string &text)
{
    const std::string temporary = path + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            Report("cannot write " + FileName(temporary));
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        Report("cannot write " + FileName(path) + ": " + error.message());
        return false;
    }
    return true;
}

std::string unitsText(const std::vector<int> &units)
{
    std::string text = units.size() == 1 ? "unit " : "units ";
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (i > 0)
            text += ',';
        text += std::to_string(units[i]);
    }
    return text;
}

} // namespace

int RunServe(Job &job, Output &)
{
    const Invocation &invocation = job.invocation;
    const Options &options = invocation.options;
    const Serving &serving = *invocation.serving;
    if (!device::ServingAvailable()) {
        Report("serve is not available in this build");
        return ExitTrouble;
    }

    // Lines may name their units; a line without one is the first unit's.
    std::unique_ptr<device::Fleet> units;
    device::Connection here;
    here.link = serving.link;
    here.unit = serving.rules.units.front();
    if (!options.unitColumn.empty())
        units = std::make_unique<device::Fleet>(here, *job.stop, device::Trace {});

    // Every map checked whole before anything listens.
    MapLines maps;
    if (!HoldMaps(job, maps, units.get(), here))
        return ExitDataProblem;
    std::vector<int> served = serving.rules.units;
    const auto unitOf
        = [&units](const MapLine &line) { return units ? units->unit(line.device()) : -1; };
    for (const MapLine &line : maps.lines)
        if (const int unit = unitOf(line);
            unit >= 0 && std::find(served.begin(), served.end(), unit) == served.end())
            served.push_back(unit);
    if (served.size() > 1 && std::holds_alternative<device::SerialLine>(serving.link)) {
        Report("a serial line is served as one unit: the maps name " + unitsText(served));
        return ExitTrouble;
    }
    const bool once = EachRegisterOnce(options, maps.lines, maps.names, true);
    if (maps.rejected > 0 || maps.status != ExitOk || !once) {
        Report("nothing served");
        return ExitTrouble;
    }

    device::ServeSettings settings;
    settings.link = serving.link;
    settings.rules = serving.rules;
    settings.rules.units = served;
    settings.ramps = serving.ramps;
    for (const MapLine &line : maps.lines) {
        const device::WriteItem &item = line.write->item;
        const int unit = unitOf(line);
        settings.values.push_back({ item.type, item.address, item.values,
            unit >= 0 ? std::optional<int>(unit) : std::nullopt });
        settings.mapped.add(item.type, item.address, static_cast<int>(item.values.size()));
    }

    const LineIndex index(maps.lines, unitOf);
    // A message, in the log's own shape.
    const auto say = [&options](const std::string &text, const std::string &listening) {
        if (options.output != OutputFormat::Json) {
            Report(text);
            return;
        }
        maps::JsonRecord record;
        record.text("time", Rfc3339(std::chrono::system_clock::now()));
        record.text("message", text);
        if (!listening.empty())
            record.text("listening", listening);
        logLine(record.dump() + '\n');
    };
    const RequestLog *log = nullptr;
    device::Server server(
        std::move(settings), [&log](const device::ServedEvent &event) { log->write(event); },
        [&say](const std::string &text) { say(text, ""); });
    const RequestLog requests(options, index, server);
    log = &requests;
    if (const std::optional<std::string> error = server.open()) {
        Report(Printable(*error, std::string::npos));
        return ExitTrouble;
    }
    const std::string mapped = maps.lines.empty() ? std::string("every register 0")
                                                  : std::to_string(maps.lines.size())
            + (maps.lines.size() == 1 ? " line" : " lines") + " of maps";
    say("serving " + unitsText(served) + " on " + server.where() + " (" + mapped + "); Ctrl+C ends",
        server.where());
    const bool lineHeld = server.run(*job.stop);

    if (!serving.save.empty()
        && !saveFile(serving.save, savedText(options, maps, server, [&](const MapLine &line) {
               const int unit = unitOf(line);
               return unit >= 0 ? unit : served.front();
           })))
        return ExitTrouble;
    return lineHeld ? ExitOk : ExitTrouble;
}

} // namespace modbuscalc::cli
