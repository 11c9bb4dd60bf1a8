#pragma once

// Converts a register map: for each record of the input exactly one output
// record, the record as it stood with the results appended after its own
// separator. Blank lines are copied; a rejected line gets "Error" results
// and a message.

#include "cli/verbs.h"
#include "device/fleet.h"
#include "device/read_plan.h"
#include "maps/csv.h"
#include "maps/line_reader.h"

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace modbuscalc::cli {

// write's results for a line left alone.
inline constexpr std::string_view SkippedMark = "skipped";

// What a one-column input's results go after: -d's separator, else the one
// its file name's extension implies (.csv, .tsv, in any case), else a blank.
char OneColumnSeparator(const Options &options, std::string_view fileName);

// After a map of several devices: "2 of 8 devices given up on: NAME, NAME";
// nullopt when none was.
std::optional<std::string> GivenUpSummary(
    const std::vector<std::string> &givenUp, std::size_t devices);

class BatchConverter {
public:
    // Receives "what is wrong" about a line (line number from 1), or about
    // the whole input (line number 0).
    using Report = std::function<void(std::size_t lineNumber, std::string_view message)>;

    BatchConverter(const Verb &verb, const Options &options, Report report);

    // Converts one whole input (a file or standard input), appending every
    // output record to out; flush is called whenever out has grown large,
    // and, reading a device, whenever lines are done, so that each line is
    // handed on as soon as it and every line before it are done.
    // oneColumnSeparator is what a record of one field gets its results
    // after, where the input has no separator of its own. Returns false when
    // the input cannot be read as asked (a column named that its header
    // lacks); that has been reported and the rest of it skipped.
    bool convertAll(maps::LineReader &reader, char oneColumnSeparator, std::string &out,
        const std::function<void(std::string &)> &flush);

    // Lines that were rejected or out of range, over every input so far.
    std::size_t failed() const { return m_failed; }

    // write: lines left alone, as read writes them of a device (an Error, no
    // value, a read-only register), told in one note that counts them:
    // "3 lines left alone (1 read-only, 2 Error)"; nullopt when none were.
    std::optional<std::string> skippedNote() const;

    // read: the device the lines are read from; without one, each line
    // says there is none.
    void readFrom(device::Device &device) { m_device = &device; }
    // A map whose lines name their devices (--unit-column, --host-column):
    // each line's device joins the fleet, and, reading, is read from it;
    // defaults: where a line names none, if anywhere. stop: asked from the
    // fleet's threads, as stopWhen's is not.
    void nameDevicesIn(device::Fleet &fleet, std::optional<device::Connection> defaults, bool read,
        const device::Stop *stop)
    {
        m_fleet = &fleet;
        m_defaults = std::move(defaults);
        m_readFleet = read;
        m_fleetStop = stop;
    }
    // Only the lines of the fleet's link: a watch polls each link on its own
    // schedule. takesRejected: the lines without a device too.
    void onlyLink(std::size_t link, bool takesRejected)
    {
        m_onlyLink = link;
        m_takesRejected = takesRejected;
    }
    // Giving up on a device is the caller's to tell (a watch tells when it
    // goes and when it is back).
    void quietGivingUp() { m_tellGivingUp = false; }
    // The devices given up on, as the fleet names them, in the order it did.
    const std::vector<std::string> &devicesGivenUp() const { return m_devicesGivenUp; }

    // Asked after each line read and before each request to a device; true
    // stops the input there, its output complete up to the last line done.
    // Lines not reached are left out whole.
    void stopWhen(std::function<bool()> stop) { m_stop = std::move(stop); }

    // Lines read, and lines whose results are known, over every input so far.
    std::size_t linesRead() const { return m_linesRead; }
    std::size_t linesDone() const;

    // The device stopped answering and was given up on (said once).
    bool gaveUp() const { return m_gaveUp; }

    // Lines the reads should have reached and did not, by a fault of ours:
    // each got Error and a message.
    std::size_t unread() const { return m_unread; }

    // A line whose results wait for the device: where they go in the
    // window's text.
    struct Pending {
        std::size_t start; // where the line begins in the window's text
        std::size_t at; // where its results go
        char separator;
        std::size_t lineNumber;
        PreparedRead read;
        PreparedWrite write;
        // Handing lines to a sink: the line's fields, and its results when
        // it was rejected before the device was asked.
        std::vector<std::string> fields = {};
        std::optional<Conversion> ready = {};
        std::optional<std::size_t> valueColumn = {}; // write: where its value stands, from 0
        std::size_t device = 0; // its device in the fleet, where lines name theirs
        std::string name = {}; // its name, from --name-column
    };

    // A line of a device map, done, for writers of other shapes than text.
    struct DoneLine {
        std::size_t lineNumber;
        std::string_view text; // the record as it stood
        char separator;
        const std::vector<std::string> &fields; // unquoted
        const PreparedRead *read; // nullptr: rejected before the device was asked
        const Conversion &conversion; // its results (the address, the values), its problem
        std::size_t device = 0; // in the fleet, where lines name their devices
        std::string_view name = {}; // from --name-column
    };
    using LineSink = std::function<void(const DoneLine &line)>;
    using HeaderSink = std::function<void(
        const std::vector<std::string> &names, std::string_view text, char separator)>;
    // Hands each line of a device map to sink, in the map's order, instead
    // of writing text, and a header's names to header: blank lines go, and
    // the messages of lines are the sink's to tell, giving up among them.
    void sendLinesTo(LineSink sink, HeaderSink header)
    {
        m_lineSink = std::move(sink);
        m_headerSink = std::move(header);
    }
    // An input of write, checked and held whole: its text, and the lines
    // that write.
    struct Held {
        std::string text;
        std::vector<Pending> lines;
    };
    // Takes what the last input held (write: nothing is written by
    // convertAll).
    Held takeHeld();

private:
    // Writes one record and its results, or holds its place for them; false
    // when the header lacks a column asked for.
    bool convertRecord(const maps::CsvReader::Record &record, maps::CsvReader &records,
        bool isFirst, char oneColumnSeparator, const std::vector<std::string_view> &names,
        std::string &sink);
    // Reads the window's registers and writes its lines to out as they are
    // done, handing out on through flush.
    void readWindow(std::string &out, const std::function<void(std::string &)> &flush);
    // Writes the window's lines that are done, in order, up to the first
    // that is not.
    void writeDone(std::string &out);
    // Writes the window's text up to end, with the held messages of the
    // lines before line.
    void writeThrough(std::size_t end, std::size_t line, std::string &out);
    void writeResults(const Pending &line, Conversion conversion, std::string &out);
    // write: whether the line is one left alone; its results then written.
    bool skipped(std::size_t results, char separator, std::string &sink);
    // Picks the inputs from a record's fields, or says why there are none.
    std::optional<Problem> pickInputs(const std::vector<std::string_view> &fields);
    bool resolveColumns(const std::vector<std::string_view> &header);
    // The line's device in the fleet, from its unit and device fields.
    std::variant<std::size_t, Problem> lineDevice();
    // Where lines name their devices, sets device to the line's; its
    // conversion of results when it names none that can be.
    std::optional<Conversion> withDevice(std::size_t &device, std::size_t results);
    // Whether the verb reads a map's lines as read does (read, export).
    bool readsLines() const { return m_verb.readsDevice || m_verb.exportsMap; }
    // Reads the window's lines from the fleet, writing each as it is done.
    void readFleet(std::string &out, const std::function<void(std::string &)> &flush);
    // Tells, once for each device, that it was given up on, naming it.
    void gaveUpOn(std::size_t device, const Problem &problem);
    void reject(std::size_t lineNumber, const Problem &problem);

    const Verb &m_verb;
    Options m_options;
    Report m_report;
    std::vector<std::size_t> m_selected; // 0-based columns, when chosen
    std::vector<std::string_view> m_inputs;
    std::vector<std::size_t> m_inputColumns; // each input's column, from 0
    std::optional<std::size_t> m_formatColumn; // each line's format, from 0
    std::optional<std::string_view> m_format; // the line's format, as written
    std::optional<std::size_t> m_valueColumn; // write: each line's value, from 0
    std::string_view m_value; // the line's value, as written
    // The line's unit, device and name columns, from 0, and as written.
    std::optional<std::size_t> m_unitColumn, m_deviceColumn, m_nameColumn;
    std::string_view m_unit, m_deviceText, m_name;
    device::Fleet *m_fleet = nullptr;
    std::optional<device::Connection> m_defaults;
    bool m_readFleet = false;
    const device::Stop *m_fleetStop = nullptr;
    std::vector<bool> m_deviceGaveUp; // by device: told once
    std::optional<std::size_t> m_onlyLink;
    bool m_takesRejected = true;
    bool m_tellGivingUp = true;
    std::vector<std::string> m_devicesGivenUp;
    std::size_t m_failed = 0;
    enum class Skipped { ReadOnly, NoValue, Error };
    std::array<std::size_t, 3> m_skipped {};
    std::size_t m_linesRead = 0;
    std::size_t m_linesDone = 0;
    std::function<bool()> m_stop;
    std::string m_window; // the window's text, results still to come
    std::vector<Pending> m_pending;
    std::vector<std::pair<std::size_t, std::string>> m_held; // the window's messages
    std::size_t m_nextHeld = 0; // the first not yet told
    std::size_t m_next = 0; // the first pending line not yet written
    std::size_t m_written = 0; // how much of the window's text is written
    device::Device *m_device = nullptr;
    std::unique_ptr<device::RegisterReader> m_reader;
    bool m_gaveUp = false;
    std::size_t m_unread = 0;
    LineSink m_lineSink;
    HeaderSink m_headerSink;
};

} // namespace modbuscalc::cli
