#include "cli/export.h"

#include "cli/batch.h"
#include "cli/console.h"
#include "cli/inputs.h"
#include "cli/printable.h"
#include "core/number_text.h"
#include "core/text.h"
#include "device/fleet.h"
#include "device/read_plan.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace modbuscalc::cli {

namespace {

using Json = nlohmann::ordered_json;

// A line of a map, as the engine will poll it.
struct Point {
    std::string input; // the map, as messages name it
    std::size_t line;
    std::string name; // safe for the engine
    std::string given; // as the map gives it, or made from its address
    device::Wanted wanted;
    ValueFormat format;
    std::size_t device;
};

// A string as JSON writes it, which TOML and YAML read alike: every
// control character escaped, bytes that are no UTF-8 replaced.
std::string quote(std::string_view text)
{
    return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string typeName(RegisterType type)
{
    return std::string(NameOf(RegisterTypeNames, type));
}

// "1s", "250ms", "1500us": a Go duration, as telegraf reads one.
std::string duration(double seconds)
{
    const auto micros = static_cast<long long>(std::llround(seconds * 1e6));
    if (micros % 1000000 == 0)
        return std::to_string(micros / 1000000) + "s";
    if (micros % 1000 == 0)
        return std::to_string(micros / 1000) + "ms";
    return std::to_string(micros) + "us";
}

// telegraf's name of a format, upper case; Home Assistant's is the same in
// lower case. A hex value is the same 16-bit number, shown otherwise.
std::string typeOf(ValueFormat format)
{
    switch (format) {
    case ValueFormat::U16:
    case ValueFormat::Hex:
        return "UINT16";
    case ValueFormat::S16:
        return "INT16";
    case ValueFormat::U32:
        return "UINT32";
    case ValueFormat::S32:
        return "INT32";
    case ValueFormat::F32:
        return "FLOAT32";
    case ValueFormat::U64:
        return "UINT64";
    case ValueFormat::S64:
        return "INT64";
    case ValueFormat::F64:
        return "FLOAT64";
    case ValueFormat::Bit:
        break;
    }
    return {};
}

bool IsAsciiAlphanumeric(char c)
{
    return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The characters kept, each run of the others between them one _.
template <typename Keep> std::string joinedRuns(std::string_view text, Keep keep)
{
    std::string joined;
    bool gap = false;
    for (const char c : text) {
        if (!keep(c)) {
            gap = true;
            continue;
        }
        if (std::exchange(gap, false) && !joined.empty())
            joined += '_';
        joined += c;
    }
    return joined;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), AsciiLower);
    return text;
}

// Home Assistant's swap for a value of the format in the word order; none
// where nothing moves. A single register has no words to swap.
std::optional<std::string> swapOf(ValueFormat format, WordOrder order)
{
    const bool wide = RegistersPerValue(format) > 1;
    switch (order) {
    case WordOrder::ABCD:
        return std::nullopt;
    case WordOrder::BADC:
        return "byte";
    case WordOrder::CDAB:
        return wide ? std::optional<std::string>("word") : std::nullopt;
    case WordOrder::DCBA:
        return wide ? "word_byte" : "byte";
    }
    return std::nullopt;
}

// The order's letters, ABCD to DCBA, as both engines and our own names
// write them.
std::string orderName(WordOrder order)
{
    for (const Name<WordOrder> &name : WordOrderNames)
        if (name.value == order && name.name.size() == 4)
            return std::string(name.name);
    return {};
}

// The points on each link (a host, a serial line), in the order the maps
// name them: one connection each, as the engines allow a host or a port
// once.
std::vector<std::vector<const Point *>> byLink(
    const std::vector<Point> &points, const device::Fleet &fleet)
{
    std::vector<std::vector<const Point *>> grouped(fleet.links());
    for (const Point &point : points)
        grouped[fleet.linkOf(point.device)].push_back(&point);
    return grouped;
}

// The groups of a link's points that one request of the engine's may
// read: one unit's of one register type, in the order they first come.
std::vector<std::pair<std::size_t, RegisterType>> groupsOf(const std::vector<const Point *> &points)
{
    std::vector<std::pair<std::size_t, RegisterType>> groups;
    for (const Point *point : points) {
        const std::pair group { point->device, point->wanted.type };
        if (std::find(groups.begin(), groups.end(), group) == groups.end())
            groups.push_back(group);
    }
    return groups;
}

std::string telegraf(const std::vector<Point> &points, const device::Fleet &fleet,
    const Options &options, const device::Connection &settings, const std::string &from)
{
    std::string out = "# telegraf's Modbus input, written by modbuscalc export from " + from
        + ".\n# Addresses are 0-based, as telegraf counts them.\n";
    for (const std::vector<const Point *> &onLink : byLink(points, fleet)) {
        if (onLink.empty())
            continue;
        const device::Link &link = fleet.link(onLink.front()->device);
        out += "\n[[inputs.modbus]]\n";
        out += "  name = " + quote(device::Where(link)) + "\n";
        if (const auto *line = std::get_if<device::SerialLine>(&link)) {
            // A Windows port goes by its name; elsewhere a device's path.
            const std::string controller
                = line->device.starts_with('/') ? "file://" + line->device : line->device;
            out += "  controller = " + quote(controller) + "\n";
            out += "  baud_rate = " + std::to_string(line->baud) + "\n";
            out += "  data_bits = " + std::to_string(line->dataBits) + "\n";
            out += "  parity = \"" + std::string(1, static_cast<char>(line->parity)) + "\"\n";
            out += "  stop_bits = " + std::to_string(line->stopBits) + "\n";
            out += "  transmission_mode = \"RTU\"\n";
        } else {
            out += "  controller = " + quote("tcp://" + device::Where(link)) + "\n";
        }
        out += "  timeout = \"" + duration(settings.timeout) + "\"\n";
        if (options.interval > 0)
            out += "  interval = \"" + duration(options.interval) + "\"\n";
        out += "  configuration_type = \"request\"\n";
        for (const auto &[device, type] : groupsOf(onLink)) {
            out += "\n  [[inputs.modbus.request]]\n";
            out += "    slave_id = " + std::to_string(fleet.unit(device)) + "\n";
            out += "    byte_order = \"" + orderName(options.wordOrder) + "\"\n";
            out += "    register = \"" + typeName(type) + "\"\n";
            if (options.maxGap > 0) {
                out += "    optimization = \"max_insert\"\n";
                out += "    optimization_max_register_fill = " + std::to_string(options.maxGap)
                    + "\n";
            }
            out += "    fields = [\n";
            for (const Point *point : onLink) {
                if (point->device != device || point->wanted.type != type)
                    continue;
                out += "      { address = " + std::to_string(point->wanted.address)
                    + ", name = " + quote(point->name);
                if (!device::IsBits(type))
                    out += ", type = \"" + typeOf(point->format) + "\"";
                out += " },\n";
            }
            out += "    ]\n";
        }
    }
    return out;
}

std::string homeAssistant(const std::vector<Point> &points, const device::Fleet &fleet,
    const Options &options, const device::Connection &settings, const std::string &from)
{
    std::string out = "# Home Assistant's Modbus integration, written by modbuscalc export from "
        + from + ".\n# Addresses are 0-based, as Home Assistant counts them.\nmodbus:\n";
    const std::string timeout
        = std::to_string(std::max(1, static_cast<int>(std::ceil(settings.timeout - 1e-9))));
    for (const std::vector<const Point *> &onLink : byLink(points, fleet)) {
        if (onLink.empty())
            continue;
        const device::Link &link = fleet.link(onLink.front()->device);
        out += "  - name: " + quote(device::Where(link)) + "\n";
        if (const auto *line = std::get_if<device::SerialLine>(&link)) {
            out += "    type: serial\n    method: rtu\n";
            out += "    port: " + quote(line->device) + "\n";
            out += "    baudrate: " + std::to_string(line->baud) + "\n";
            out += "    bytesize: " + std::to_string(line->dataBits) + "\n";
            out += "    parity: \"" + std::string(1, static_cast<char>(line->parity)) + "\"\n";
            out += "    stopbits: " + std::to_string(line->stopBits) + "\n";
        } else {
            const auto &tcp = std::get<device::TcpEndpoint>(link);
            out += "    type: tcp\n";
            out += "    host: " + quote(tcp.host) + "\n";
            out += "    port: " + std::to_string(tcp.port) + "\n";
        }
        out += "    timeout: " + timeout + "\n";
        for (const bool bits : { false, true }) {
            bool first = true;
            for (const Point *point : onLink) {
                if (device::IsBits(point->wanted.type) != bits)
                    continue;
                if (std::exchange(first, false))
                    out += bits ? "    binary_sensors:\n" : "    sensors:\n";
                const RegisterType type = point->wanted.type;
                out += "      - name: " + quote(point->name) + "\n";
                out += "        slave: " + std::to_string(fleet.unit(point->device)) + "\n";
                out += "        address: " + std::to_string(point->wanted.address) + "\n";
                out += "        input_type: "
                    + std::string(
                        type == RegisterType::DiscreteInput ? "discrete_input" : typeName(type))
                    + "\n";
                if (!bits) {
                    out += "        data_type: " + lower(typeOf(point->format)) + "\n";
                    if (const auto swap = swapOf(point->format, options.wordOrder))
                        out += "        swap: " + *swap + "\n";
                }
                if (options.interval > 0)
                    out += "        scan_interval: "
                        + std::to_string(static_cast<long long>(options.interval)) + "\n";
            }
        }
    }
    return out;
}

// The decoder each function node runs: the words of one request into the
// values of its lines, as read shows them (an integer beyond 2^53 as
// text, as JSON cannot hold it).
constexpr const char *Decoder = R"(const words = msg.payload.map(Number);
function bits(at, n, order) {
    let v = 0n;
    for (let i = 0; i < n; ++i) {
        let w = words[at + (order === "CDAB" || order === "DCBA" ? n - 1 - i : i)] & 0xffff;
        if (order === "BADC" || order === "DCBA")
            w = ((w & 0xff) << 8) | (w >> 8);
        v = (v << 16n) | BigInt(w);
    }
    return v;
}
function whole(v) {
    return v <= 9007199254740991n && v >= -9007199254740991n ? Number(v) : v.toString();
}
function value(at, format, order) {
    const view = new DataView(new ArrayBuffer(8));
    switch (format) {
    case "BOOL": return words[at] ? 1 : 0;
    case "u16": return Number(bits(at, 1, order));
    case "s16": return Number(BigInt.asIntN(16, bits(at, 1, order)));
    case "hex": return "0x" + bits(at, 1, order).toString(16).toUpperCase().padStart(4, "0");
    case "u32": return Number(bits(at, 2, order));
    case "s32": return Number(BigInt.asIntN(32, bits(at, 2, order)));
    case "f32": view.setUint32(0, Number(bits(at, 2, order))); return view.getFloat32(0);
    case "u64": return whole(bits(at, 4, order));
    case "s64": return whole(BigInt.asIntN(64, bits(at, 4, order)));
    case "f64": view.setBigUint64(0, bits(at, 4, order)); return view.getFloat64(0);
    }
    return null;
}
)";

std::string nodeRed(const std::vector<Point> &points, const device::Fleet &fleet,
    const Options &options, const device::Connection &settings, const std::string &from)
{
    // Node-RED's ids are 16 hex digits; the same map gets the same ones.
    std::size_t next = 0;
    const auto newId = [&next] {
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, ++next, 16).ptr;
        const std::string number(digits, end);
        return "6d6263" + std::string(10 - number.size(), '0') + number;
    };
    Json flow = Json::array();
    const std::string tab = newId();
    flow.push_back({ { "id", tab }, { "type", "tab" }, { "label", "modbuscalc" },
        { "info", "Written by modbuscalc export from " + from + "." } });
    // The poll: whole milliseconds at least, as node-red-contrib-modbus counts.
    const double seconds = options.interval > 0 ? options.interval : 10;
    const bool whole = seconds == std::floor(seconds);
    const std::string rate = whole ? std::to_string(static_cast<long long>(seconds))
                                   : std::to_string(std::llround(seconds * 1000));
    int y = 40;
    for (const std::vector<const Point *> &onLink : byLink(points, fleet)) {
        if (onLink.empty())
            continue;
        const device::Link &link = fleet.link(onLink.front()->device);
        const std::string client = newId();
        // Each read names its unit; the client's is the first one's.
        Json node
            = { { "id", client }, { "type", "modbus-client" }, { "name", device::Where(link) },
                  { "unit_id", std::to_string(fleet.unit(onLink.front()->device)) },
                  { "clientTimeout", std::to_string(std::llround(settings.timeout * 1000)) },
                  { "commandDelay", "1" }, { "reconnectOnTimeout", true },
                  { "reconnectTimeout", "2000" }, { "parallelUnitIdsAllowed", true } };
        if (const auto *line = std::get_if<device::SerialLine>(&link)) {
            static constexpr const char *Parities[] = { "none", "even", "odd" };
            const int parity = line->parity == device::Parity::Even ? 1
                : line->parity == device::Parity::Odd               ? 2
                                                                    : 0;
            node["clienttype"] = "simpleser";
            node["serialPort"] = line->device;
            node["serialType"] = "RTU-BUFFERD";
            node["serialBaudrate"] = std::to_string(line->baud);
            node["serialDatabits"] = std::to_string(line->dataBits);
            node["serialStopbits"] = std::to_string(line->stopBits);
            node["serialParity"] = Parities[parity];
            node["serialConnectionDelay"] = "100";
        } else {
            const auto &tcp = std::get<device::TcpEndpoint>(link);
            node["clienttype"] = "tcp";
            node["tcpHost"] = tcp.host;
            node["tcpPort"] = std::to_string(tcp.port);
            node["tcpType"] = "DEFAULT";
        }
        flow.push_back(std::move(node));

        // The fewest requests read would make of each unit's lines.
        static constexpr const char *DataTypes[]
            = { "Coil", "Input", "InputRegister", "HoldingRegister" };
        std::vector<std::size_t> devices;
        for (const Point *point : onLink)
            if (std::find(devices.begin(), devices.end(), point->device) == devices.end())
                devices.push_back(point->device);
        for (const std::size_t d : devices) {
            std::vector<device::Wanted> wanted;
            for (const Point *point : onLink)
                if (point->device == d)
                    wanted.push_back(point->wanted);
            const auto requests = device::PlanReads(wanted, options.maxGap, device::MaxPerRead);
            for (const device::ReadRequest &request : requests) {
                const std::string read = newId(), decode = newId();
                const std::string what = fleet.name(d) + " " + typeName(request.type) + " "
                    + std::to_string(request.address) + "+" + std::to_string(request.count);
                std::string code
                    = "// The values of " + what + ".\n" + Decoder + "msg.payload = {\n";
                for (const Point *point : onLink) {
                    const device::Wanted &w = point->wanted;
                    if (point->device != d || w.type != request.type || w.address < request.address
                        || w.address + w.count > request.address + request.count)
                        continue;
                    code += "    " + quote(point->name) + ": value("
                        + std::to_string(w.address - request.address) + ", \""
                        + std::string(NameOf(ValueFormatNames, point->format)) + "\", \""
                        + orderName(options.wordOrder) + "\"),\n";
                }
                code += "};\nreturn msg;\n";
                flow.push_back({ { "id", read }, { "type", "modbus-read" }, { "z", tab },
                    { "name", what }, { "topic", "" }, { "showStatusActivities", false },
                    { "logIOActivities", false }, { "showErrors", true },
                    { "unitid", std::to_string(fleet.unit(d)) },
                    { "dataType", DataTypes[device::TypeIndex(request.type)] },
                    { "adr", std::to_string(request.address) },
                    { "quantity", std::to_string(request.count) }, { "rate", rate },
                    { "rateUnit", whole ? "s" : "ms" }, { "delayOnStart", false },
                    { "startDelayTime", "" }, { "server", client }, { "useIOFile", false },
                    { "ioFile", "" }, { "useIOForPayload", false }, { "emptyMsgOnFail", false },
                    { "x", 160 }, { "y", y },
                    { "wires", Json::array({ { decode }, Json::array() }) } });
                flow.push_back({ { "id", decode }, { "type", "function" }, { "z", tab },
                    { "name", "values of " + what }, { "func", code }, { "outputs", 1 },
                    { "noerr", 0 }, { "initialize", "" }, { "finalize", "" },
                    { "libs", Json::array() }, { "x", 480 }, { "y", y },
                    { "wires", Json::array({ Json::array() }) } });
                y += 60;
            }
        }
    }
    return flow.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

// Whether the target can take the settings; told when not.
bool settingsFit(const Options &options)
{
    const double interval = options.interval;
    std::string engine;
    if (options.target == ExportTarget::HomeAssistant && interval != std::floor(interval))
        engine = "Home Assistant polls in whole seconds";
    else if (options.target == ExportTarget::NodeRed && interval > 0
        && std::llround(interval * 1000) < 1)
        engine = "node-red-contrib-modbus polls in whole milliseconds";
    if (engine.empty())
        return true;
    Report(engine + ": --interval " + NumberText(interval) + " cannot be written for it");
    return false;
}

} // namespace

std::string SafeName(ExportTarget target, std::string_view name)
{
    if (target == ExportTarget::Telegraf) {
        // InfluxDB takes any field name, but queries and dashboards take
        // these without quoting.
        return joinedRuns(name, [](char c) { return IsAsciiAlphanumeric(c) || c == '_'; });
    }
    std::string safe;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        safe += byte < 0x20 || byte == 0x7F ? ' ' : c;
    }
    return std::string(TrimBlanks(safe));
}

std::string NameKey(ExportTarget target, std::string_view safeName)
{
    if (target != ExportTarget::HomeAssistant)
        return std::string(safeName);
    // As Home Assistant slugifies a name into an entity's id; a letter
    // beyond ASCII is kept as it stands, so that "Ventil Ä" and "Ventil Ö"
    // stay two, as its transliteration keeps them.
    std::string key = joinedRuns(safeName,
        [](char c) { return IsAsciiAlphanumeric(c) || static_cast<unsigned char>(c) >= 0x80; });
    std::transform(key.begin(), key.end(), key.begin(), AsciiLower);
    return key;
}

int RunExport(Job &job, Output &output)
{
    const Invocation &invocation = job.invocation;
    const Options &options = invocation.options;
    if (!settingsFit(options))
        return ExitTrouble;
    const device::Connection settings = invocation.connection.value_or(device::Connection {});
    device::Fleet fleet(settings, *job.stop, {});
    const auto stopped = [&job] { return job.stop && job.stop->requested(); };

    std::vector<Point> points;
    std::size_t problems = 0;
    std::string name;
    BatchConverter batch(*invocation.verb, options,
        [&name](std::size_t line, std::string_view message) { ReportAt(name, line, message); });
    batch.nameDevicesIn(fleet, invocation.connection, false, nullptr);
    batch.sendLinesTo(
        [&](const BatchConverter::DoneLine &line) {
            if (!line.read) {
                ++problems;
                ReportAt(name, line.lineNumber, Describe(*line.conversion.problem));
                return;
            }
            std::string given(line.name);
            if (SafeName(options.target, given).empty())
                given = typeName(line.read->wanted.type) + "_"
                    + AddressText(options, line.read->wanted.address, line.read->wanted.type);
            points.push_back({ name, line.lineNumber, SafeName(options.target, given), given,
                line.read->wanted, line.read->format, line.device });
        },
        [](const std::vector<std::string> &, std::string_view, char) {});
    int status = ExitOk;
    std::string none;
    std::string from;
    for (const std::string &file : job.inputs) {
        name = FileName(file);
        from += (from.empty() ? "" : ", ") + name;
        status = std::max(status,
            ConvertInput(
                batch, file, options, none, [](std::string &) {}, stopped));
    }
    if (stopped())
        return ExitTrouble;

    // No two lines get one name: which would the engine keep?
    std::map<std::string, const Point *> taken;
    for (const Point &point : points) {
        std::string key = NameKey(options.target, point.name);
        if (options.target == ExportTarget::HomeAssistant) // its id: sensor.key, binary_sensor.key
            key = (device::IsBits(point.wanted.type) ? "binary_sensor." : "sensor.") + key;
        if (options.target == ExportTarget::Telegraf) // one metric for each device and type
            key = std::to_string(point.device) + ' '
                + std::to_string(device::TypeIndex(point.wanted.type)) + ' ' + key;
        const auto [at, fresh] = taken.emplace(key, &point);
        if (fresh)
            continue;
        ++problems;
        const Point &first = *at->second;
        const std::string other = (first.input == point.input ? "" : first.input + ":") + "line "
            + std::to_string(first.line);
        ReportAt(point.input, point.line,
            "the name '" + Printable(point.given) + "' is " + other + "'s"
                + (first.given == point.given ? std::string(" too")
                                              : " '" + Printable(first.given) + "' for "
                            + std::string(NameOf(ExportTargetNames, options.target)) + " (both "
                            + NameKey(options.target, point.name) + ")")
                + ": give each line a name of its own");
    }
    if (problems > 0 || status != ExitOk) {
        Report(problems == 0 ? std::string("nothing written")
                             : "nothing written: " + std::to_string(problems)
                    + (problems == 1 ? " line" : " lines") + " cannot be exported as they stand");
        return ExitTrouble;
    }
    if (points.empty()) {
        Report("nothing written: the maps have no lines to export");
        return ExitTrouble;
    }
    std::string text;
    switch (options.target) {
    case ExportTarget::Telegraf:
        text = telegraf(points, fleet, options, settings, from);
        break;
    case ExportTarget::HomeAssistant:
        text = homeAssistant(points, fleet, options, settings, from);
        break;
    case ExportTarget::NodeRed:
        text = nodeRed(points, fleet, options, settings, from);
        break;
    }
    output.write(text);
    return ExitOk;
}

} // namespace modbuscalc::cli
