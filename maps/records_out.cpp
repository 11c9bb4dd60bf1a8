#include "maps/records_out.h"

#include "core/notation.h"
#include "core/text.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <set>

namespace modbuscalc::maps {

namespace {

using Json = nlohmann::ordered_json;

// The most an integer may be for a double, and so JavaScript, to hold it.
constexpr double ExactIntegers = 9007199254740992.0; // 2^53

} // namespace

std::string CsvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(text);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

std::vector<std::string> UniqueNames(std::span<const std::string> names)
{
    std::vector<std::string> unique;
    std::set<std::string> taken;
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string name = names[i].empty() ? "field" + std::to_string(i + 1) : names[i];
        if (taken.count(name))
            name += '_' + std::to_string(i + 1);
        taken.insert(name);
        unique.push_back(std::move(name));
    }
    return unique;
}

struct JsonRecord::Object {
    Json json = Json::object();
};

JsonRecord::JsonRecord()
    : m_object(std::make_unique<Object>())
{
}

JsonRecord::~JsonRecord() = default;

void JsonRecord::text(std::string_view key, std::string_view value)
{
    m_object->json[std::string(key)] = std::string(value);
}

void JsonRecord::number(std::string_view key, double value)
{
    if (value == std::floor(value) && std::fabs(value) < ExactIntegers)
        m_object->json[std::string(key)] = static_cast<std::int64_t>(value);
    else
        m_object->json[std::string(key)] = value;
}

void JsonRecord::null(std::string_view key)
{
    m_object->json[std::string(key)] = nullptr;
}

bool JsonRecord::value(std::string_view key, std::string_view shown)
{
    Json &slot = m_object->json[std::string(key)];
    if (HasHexPrefix(shown))
        if (const auto word = NumberOf<std::uint64_t>(shown.substr(2), 16)) {
            slot = *word;
            return true;
        }
    if (const auto whole = NumberOf<std::int64_t>(shown)) {
        if (std::fabs(static_cast<double>(*whole)) < ExactIntegers)
            slot = *whole;
        else
            slot = std::string(shown);
        return true;
    }
    if (NumberOf<std::uint64_t>(shown)) {
        slot = std::string(shown);
        return true;
    }
    if (const auto real = NumberOf<double>(shown); real && std::isfinite(*real)) {
        slot = *real;
        return true;
    }
    slot = nullptr;
    return false;
}

void JsonRecord::fields(
    std::string_view key, std::span<const std::string> values, std::span<const std::string> names)
{
    Json &slot = m_object->json[std::string(key)];
    if (names.size() < values.size()) {
        slot = Json::array();
        for (const std::string &value : values)
            slot.push_back(value);
        return;
    }
    slot = Json::object();
    const std::vector<std::string> keys = UniqueNames(names);
    for (std::size_t i = 0; i < values.size(); ++i)
        slot[keys[i]] = values[i];
}

void JsonRecord::records(std::string_view key, std::span<const JsonRecord> items)
{
    Json &slot = m_object->json[std::string(key)];
    slot = Json::array();
    for (const JsonRecord &item : items)
        slot.push_back(item.m_object->json);
}

std::string JsonRecord::dump() const
{
    return m_object->json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace modbuscalc::maps
