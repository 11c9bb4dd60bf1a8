#pragma once

// After the command line is read: check it against the world (what the
// operands are, the device connected), then run it, opening each input
// when its turn comes. Messages go to standard error as they arise;
// results to standard output, which is closed once, at the end, and
// checked there.

#include "cli/options.h"
#include "device/session.h"
#include "device/stop.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace modbuscalc::cli {

inline constexpr int ExitOk = 0;
inline constexpr int ExitDataProblem = 1;
inline constexpr int ExitTrouble = 2; // usage, reading or writing, a device out of reach

// Standard output, written in blocks. A write error is remembered and told
// once, by close().
class Output {
public:
    // Writes and empties buffer; with now, hands it on at once (a pipe sees
    // it) rather than when the block is full.
    void write(std::string &buffer, bool now = false);
    // The status to exit with: status, or ExitTrouble after a write error,
    // which it reports. Call once, at the end.
    int close(int status);
    // Whether a write failed (a full disk, a reader gone): the run should
    // end, as tail -f does.
    bool failed() const { return m_error >= 0; }
    // Whether standard output is a file that already holds something: a log
    // appended to (>> log.csv), which has its header.
    static bool ContinuesAFile();

private:
    int m_error = -1; // errno of the first write error; 0 when it set none
};

// SIGINT, SIGTERM and SIGHUP (Ctrl+C, Ctrl+Break and closing the console
// on Windows) while it lives: the first asks the work to stop at a whole
// line, through stop(); a second ends the program at once. A signal that
// was ignored when the program started stays ignored. The handlers leave
// blocked reads to fail, so that a read of a pipe that waits returns.
class Interrupts {
public:
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts &) = delete;
    Interrupts &operator=(const Interrupts &) = delete;

    device::Stop &stop() { return m_stop; }
    bool happened() const;
    // After the output is flushed: ends the program by the signal that
    // came, with its default action, so that a shell sees it; returns when
    // none came.
    void dieIfInterrupted();

private:
    device::Stop m_stop;
};

// An invocation checked and ready to run.
struct Job {
    Invocation invocation;
    bool oneConversion = false; // the operands are its numbers
    std::vector<std::string> inputs; // else these files ("-": standard input), in turn
    std::unique_ptr<device::Session> device;
    device::Stop *stop = nullptr;
    bool outageAtStart = false; // a watch's device was out of reach when it started
};

// How a watch's messages say that a device out of reach is asked again.
inline constexpr const char *WatchGivingUp = "asked again at the next poll";

// The job, or the status to exit with when there is nothing to run. The
// device is connected here, and a stop ends the wait.
std::variant<Job, int> Check(Invocation invocation, device::Stop &stop);

// Converts, writing to output; returns the exit status.
int Run(Job &job, Output &output);

// "modbuscalc: MESSAGE" on standard error, the progress line cleared first.
void Report(const std::string &message);

// "modbuscalc: NAME:LINE: MESSAGE" about a line of an input; line 0:
// about the whole input.
void ReportAt(const std::string &name, std::size_t line, std::string_view message);

// On a terminal, standard error's one line of progress, now and then;
// empty: cleared.
void ShowProgress(const std::string &text);

// A file's name in a message: "<stdin>" for "-", control bytes escaped.
std::string FileName(const std::string &file);

class BatchConverter;
// One input through the converter: opened when its turn comes, converted
// into out (flush hands it on), closed and checked; a wait for input ends
// when stopped says so. The status: ExitOk, or ExitTrouble (told).
int ConvertInput(BatchConverter &batch, const std::string &file, const Options &options,
    std::string &out, const std::function<void(std::string &)> &flush,
    const std::function<bool()> &stopped);

// One input read whole, as text (UTF-16 with its mark turned into UTF-8):
// ExitOk, or ExitTrouble (told).
int ReadWhole(const std::string &file, std::string &text, const std::function<bool()> &stopped);

// "modbuscalc: MESSAGE" and the hint to --help, on standard error.
int ReportUsageError(const UsageError &error);

} // namespace modbuscalc::cli
