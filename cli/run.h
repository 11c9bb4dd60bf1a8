#pragma once

// After the command line is read: check it against the world (what the
// operands are, the inputs opened, the device connected), then run it.
// Messages go to standard error as they arise; results to standard output,
// which is closed once, at the end, and checked there.

#include "cli/options.h"

#include <cstdio>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace modbuscalc::cli {

inline constexpr int ExitOk = 0;
inline constexpr int ExitDataProblem = 1;
inline constexpr int ExitTrouble = 2; // usage, reading or writing, a device out of reach
inline constexpr int ExitInterrupted = 130; // as a shell reports Ctrl+C

// Standard output, written in blocks. A write error is remembered and told
// once, by close().
class Output {
public:
    // Writes and empties buffer.
    void write(std::string &buffer);
    // The status to exit with: status, or ExitTrouble after a write error,
    // which it reports. Call once, at the end.
    int close(int status);

private:
    int m_error = -1; // errno of the first write error; 0 when it set none
};

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

// One input to read: a file or standard input, open.
struct Input {
    std::string name; // as messages show it: "<stdin>", or the file's name
    std::string path; // as given; its extension hints at its separator
    std::FILE *file = nullptr;
    std::unique_ptr<std::FILE, FileCloser> owned; // null for standard input
};

// An invocation checked and ready to run.
struct Session {
    Invocation invocation;
    bool oneConversion = false; // the operands are its numbers
    std::vector<Input> inputs; // else these, in turn
    std::unique_ptr<Device> device;
    int status = ExitOk; // ExitTrouble when an input could not be opened
};

// The session, or the status to exit with when there is nothing to run.
std::variant<Session, int> Check(Invocation invocation);

// Converts, writing to output; returns the exit status.
int Run(Session &session, Output &output);

// "modbuscalc: MESSAGE" and the hint to --help, on standard error.
int ReportUsageError(const UsageError &error);

} // namespace modbuscalc::cli
