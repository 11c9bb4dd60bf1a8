#pragma once

// Standard output, written in blocks; a write error is remembered, ends a
// run that would go on writing, and is told once, at the end.

#include <string>

namespace modbuscalc::cli {

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

} // namespace modbuscalc::cli
