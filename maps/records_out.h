#pragma once

// Records written for other programs: RFC 4180 CSV fields, and JSON
// objects through nlohmann's library. Both take any bytes a map holds.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace modbuscalc::maps {

// An RFC 4180 field: quoted where it holds a comma, a quote or a line end.
std::string CsvField(std::string_view text);

// Column names as keys: a name that an earlier column already has gets its
// 1-based column number after it ("Tag", "Tag_3"), so that no key repeats
// and none is lost; an empty name is "field" and its number.
std::vector<std::string> UniqueNames(std::span<const std::string> names);

// One JSON object, its keys in the order they were added. Text that is not
// valid UTF-8 gets U+FFFD where it breaks.
class JsonRecord {
public:
    JsonRecord();
    ~JsonRecord();
    JsonRecord(const JsonRecord &) = delete;
    JsonRecord &operator=(const JsonRecord &) = delete;

    void text(std::string_view key, std::string_view value);
    void number(std::string_view key, double value);
    void null(std::string_view key);
    // A value as read shows it: a number where JSON holds it exactly; an
    // integer beyond ±2^53, which JavaScript would round, as a string (as
    // protobuf's JSON mapping writes 64-bit integers); null for a float
    // that is not finite. Whether it was a number or a string.
    bool value(std::string_view key, std::string_view shown);
    // Fields in order, under names (an object) or as an array where names
    // are fewer than the fields.
    void fields(std::string_view key, std::span<const std::string> values,
        std::span<const std::string> names);

    // Objects in order, as an array.
    void records(std::string_view key, std::span<const JsonRecord> items);

    // The object on one line, without a line end.
    std::string dump() const;

private:
    struct Object;
    std::unique_ptr<Object> m_object;
};

} // namespace modbuscalc::maps
