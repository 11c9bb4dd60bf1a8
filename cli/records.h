#pragma once

// read's results as lines for people and for programs: the map's own text
// with the results after each line, JSON Lines (through nlohmann's
// library, in maps/records_out.h) or RFC 4180 CSV; each with the time its
// poll started when watching, and with --changes only what changed.

#include "cli/batch.h"
#include "cli/output.h"
#include "core/cell_address.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace modbuscalc::cli {

// What each poll writes, as the output format says; with --changes, only
// what differs from the poll before.
class RecordWriter {
public:
    RecordWriter(const Options &options, const Verb &verb, bool watching);

    void header(const std::vector<std::string> &names, std::string_view text, char separator);

    // One line of a poll of input (its name for messages) that started at time.
    void line(const std::string &time, std::size_t input, const std::string &name,
        const BatchConverter::DoneLine &line);

    // A poll of the input is over.
    void polled(std::size_t input) { m_polled[input] = true; }

    std::string &out() { return m_out; }
    std::size_t values() const { return m_values; }
    std::size_t failed() const { return m_failed; }

private:
    void text(const std::string &time, const BatchConverter::DoneLine &line);

    // The PDU address of value i of the line, and its cell.
    struct Where {
        double pdu;
        RegisterType type;
        std::optional<CellNumbers> cell;
    };
    std::optional<Where> where(const BatchConverter::DoneLine &line, std::size_t i) const;

    void json(const std::string &time, const BatchConverter::DoneLine &line, std::size_t i,
        std::size_t addresses);

    void csv(const std::string &time, const BatchConverter::DoneLine &line, std::size_t i,
        std::size_t addresses);

    const Options &m_options;
    std::vector<std::string_view> m_resultNames;
    bool m_watching;
    std::string m_out;
    std::optional<std::vector<std::string>> m_headerNames;
    bool m_csvHeader = Output::ContinuesAFile(); // an appended log has its header
    std::map<std::tuple<std::size_t, std::size_t, std::size_t>, std::string> m_last;
    std::map<std::size_t, bool> m_polled;
    std::size_t m_values = 0;
    std::size_t m_failed = 0;
};

} // namespace modbuscalc::cli
