#include "form/live_value.h"

#include "core/cell_address.h"
#include "core/notation.h"
#include "core/number_text.h"
#include "core/text.h"
#include "form/calculations.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
#include <tuple>

namespace modbuscalc {

namespace {

using Clock = std::chrono::steady_clock;

std::string shortest(double value)
{
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

} // namespace

std::string_view ChoiceName(const std::vector<LiveChoice> &choices, int value)
{
    for (const LiveChoice &choice : choices)
        if (choice.value == value)
            return choice.name;
    return choices.front().name;
}

std::optional<int> ChoiceValue(const std::vector<LiveChoice> &choices, std::string_view name)
{
    for (const LiveChoice &choice : choices)
        if (choice.name == name)
            return choice.value;
    return std::nullopt;
}

const std::vector<LiveChoice> LiveTypes = {
    { "holding", static_cast<int>(RegisterType::HoldingRegister) },
    { "input", static_cast<int>(RegisterType::InputRegister) },
    { "coil", static_cast<int>(RegisterType::Coil) },
    { "discrete", static_cast<int>(RegisterType::DiscreteInput) },
};

const std::vector<LiveChoice> LiveFormats = {
    { "u16", static_cast<int>(ValueFormat::U16) },
    { "s16", static_cast<int>(ValueFormat::S16) },
    { "hex", static_cast<int>(ValueFormat::Hex) },
    { "u32", static_cast<int>(ValueFormat::U32) },
    { "s32", static_cast<int>(ValueFormat::S32) },
    { "f32", static_cast<int>(ValueFormat::F32) },
    { "u64", static_cast<int>(ValueFormat::U64) },
    { "s64", static_cast<int>(ValueFormat::S64) },
    { "f64", static_cast<int>(ValueFormat::F64) },
};

const std::vector<LiveChoice> LiveWordOrders = {
    { "ABCD", static_cast<int>(WordOrder::ABCD) },
    { "CDAB", static_cast<int>(WordOrder::CDAB) },
    { "BADC", static_cast<int>(WordOrder::BADC) },
    { "DCBA", static_cast<int>(WordOrder::DCBA) },
};

const std::vector<LiveChoice> LiveParities = { { "None", 'N' }, { "Even", 'E' }, { "Odd", 'O' } };

const std::vector<int> LiveSpeeds = { 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200 };

std::string TimeOfDay()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::optional<LiveTarget> TargetOf(const FieldSet &fields)
{
    for (const Field field : { Field::Address, Field::Table, Field::Column, Field::Row })
        if (fields.text(field) == ErrorMark)
            return std::nullopt;
    const double offset = ModbusOffset(CurrentAddressingMode(fields));
    const double pdu = LeadingNumber(fields.text(Field::Address)) - offset;
    if (!IsPduAddress(pdu))
        return std::nullopt;
    const std::optional<CellNumbers> cell = CellOfAddress(pdu, AddressingMode::Absolute);
    if (!cell)
        return std::nullopt;
    return LiveTarget { static_cast<int>(pdu),
        // Named as the calculator's fields read, top to bottom.
        "Table " + NumberText(cell->table) + ", Row " + NumberText(cell->row) + ", Column "
            + NumberText(cell->column),
        NumberText(pdu + offset) };
}

std::vector<std::pair<std::string, std::string>> LiveSettings::toPairs() const
{
    return {
        { "link", serial ? "serial" : "tcp" },
        { "host", host },
        { "port", std::to_string(port) },
        { "serialPort", serialPort },
        { "baud", std::to_string(baud) },
        { "parity", std::string(1, parity) },
        { "unit", std::to_string(unit) },
        { "interval", shortest(interval) },
        { "timeout", shortest(timeout) },
        { "type", std::string(ChoiceName(LiveTypes, static_cast<int>(type))) },
        { "format", std::string(ChoiceName(LiveFormats, static_cast<int>(format))) },
        { "wordOrder", std::string(ChoiceName(LiveWordOrders, static_cast<int>(order))) },
    };
}

LiveSettings LiveSettings::FromPairs(
    const std::function<std::optional<std::string>(std::string_view key)> &lookup)
{
    LiveSettings settings;
    const auto text = [&lookup](std::string_view key) { return lookup(key).value_or(""); };
    const auto whole = [&](std::string_view key, int &into, int lowest, int highest) {
        if (const auto value = NumberOf<int>(text(key));
            value && *value >= lowest && *value <= highest)
            into = *value;
    };
    const auto seconds = [&](std::string_view key, double &into, double highest) {
        if (const auto value = NumberOf<double>(text(key));
            value && *value > 0 && *value <= highest)
            into = *value;
    };
    settings.serial = text("link") == "serial";
    if (const auto host = lookup("host"))
        settings.host = *host;
    settings.serialPort = text("serialPort");
    whole("port", settings.port, 1, 65535);
    if (const auto baud = NumberOf<int>(text("baud")); baud
        && std::find(device::SerialSpeeds.begin(), device::SerialSpeeds.end(), *baud)
            != device::SerialSpeeds.end())
        settings.baud = *baud;
    whole("unit", settings.unit, 0, 255);
    if (const std::string parity = text("parity"); parity == "N" || parity == "E" || parity == "O")
        settings.parity = parity[0];
    seconds("interval", settings.interval, 86400);
    if (const auto timeout = NumberOf<double>(text("timeout"));
        timeout && *timeout >= device::ShortestTimeout && *timeout <= device::LongestTimeout)
        settings.timeout = *timeout;
    if (const auto type = ChoiceValue(LiveTypes, text("type")))
        settings.type = static_cast<RegisterType>(*type);
    if (const auto format = ChoiceValue(LiveFormats, text("format")))
        settings.format = static_cast<ValueFormat>(*format);
    if (const auto order = ChoiceValue(LiveWordOrders, text("wordOrder")))
        settings.order = static_cast<WordOrder>(*order);
    return settings;
}

device::Connection LiveSettings::connection() const
{
    device::Connection connection;
    if (serial) {
        connection.link
            = device::SerialLine { serialPort, baud, static_cast<device::Parity>(parity) };
    } else {
        device::TcpEndpoint endpoint { host, port };
        // The host field takes HOST:PORT and [V6]:PORT too; its port wins.
        if (const auto given = device::EndpointOf(host)) {
            const std::size_t colons
                = static_cast<std::size_t>(std::count(host.begin(), host.end(), ':'));
            const bool withPort
                = host.starts_with('[') ? host.find("]:") != std::string::npos : colons == 1;
            endpoint = { given->host, withPort ? given->port : port };
        }
        connection.link = endpoint;
    }
    connection.unit = unit;
    connection.timeout = timeout;
    return connection;
}

std::string LiveSettings::readingState() const
{
    return "reading every " + NumberText(interval) + " s";
}

std::optional<std::string> LiveSettings::problem() const
{
    if (!serial && !host.empty() && !device::EndpointOf(host))
        return "invalid port in '" + host + "'";
    if (std::optional<std::string> problem = device::ConnectionProblem(connection()))
        return problem;
    if (!(interval > 0 && interval <= 86400))
        return "the interval is seconds above 0";
    const bool bits = device::IsBits(type);
    if (bits && RegistersPerValue(format) != 1)
        return "coils and discrete inputs are single bits: no wider format";
    return std::nullopt;
}

LiveReader::LiveReader(Deliver deliver, std::shared_ptr<DeviceLine> line)
    : m_deliver(std::move(deliver))
    , m_line(std::move(line))
    , m_worker([this] { run(); })
{
}

LiveReader::~LiveReader()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_line->interrupt(this); // ends a wait for the device at once
    m_wake.notify_all();
    m_worker.join();
}

bool LiveReader::stopping()
{
    const std::lock_guard lock(m_mutex);
    return m_stopping;
}

std::uint64_t LiveReader::follow(std::optional<LiveTarget> target, const LiveSettings &settings)
{
    const std::lock_guard lock(m_mutex);
    if (target != m_target || !(settings == m_settings)) {
        m_target = std::move(target);
        m_settings = settings;
        ++m_generation;
        m_fresh = true;
        m_wake.notify_all();
    }
    return m_generation;
}

void LiveReader::run()
{
    std::unique_lock lock(m_mutex);
    Clock::time_point next = Clock::now();
    for (;;) {
        const auto due = [&] { return m_stopping || m_fresh; };
        if (m_target)
            m_wake.wait_until(lock, next, due);
        else
            m_wake.wait(lock, due);
        if (m_stopping)
            return;
        if (!m_fresh && Clock::now() < next)
            continue; // woken early, for nothing
        m_fresh = false;
        if (!m_target)
            continue;
        const LiveTarget target = *m_target;
        const LiveSettings settings = m_settings;
        const std::uint64_t generation = m_generation;
        const Clock::time_point started = Clock::now();
        lock.unlock();
        LiveReading reading = read(target, settings);
        reading.generation = generation;
        if (!stopping())
            m_deliver(std::move(reading));
        lock.lock();
        next = started
            + std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(settings.interval));
    }
}

LiveReading LiveReader::read(const LiveTarget &target, const LiveSettings &settings)
{
    if (const std::optional<std::string> problem = settings.problem())
        return { 0, false, std::string(NoValue), *problem, {} };
    const bool bits = device::IsBits(settings.type);
    const int count = bits ? 1 : RegistersPerValue(settings.format);
    if (target.pdu + count - 1 > 65535)
        return { 0, false, std::string(NoValue), "the value runs past the last register", {} };
    device::ReadResult result
        = device::DeviceError { device::DeviceError::Kind::Stopped, 0, "stopped", false };
    m_line->use(
        this, settings.connection(), [this] { return stopping(); },
        [&](device::Session &session) {
            session.reset(); // a device that was given up on is asked afresh
            result = session.read(settings.type, target.pdu, count);
        });
    if (const auto *error = std::get_if<device::DeviceError>(&result))
        return { 0, false, std::string(NoValue), error->text, {} };
    const auto &words = std::get<std::vector<std::uint16_t>>(result);
    return { 0, true,
        bits ? std::to_string(words.front()) : ValueText(settings.format, settings.order, words),
        settings.readingState(), TimeOfDay() };
}

} // namespace modbuscalc
