#pragma once

// SIGINT, SIGTERM and SIGHUP (Ctrl+C, Ctrl+Break and closing the console
// on Windows) while it lives: the first asks the work to stop at a whole
// line, through stop(); a second ends the program at once. A signal that
// was ignored when the program started stays ignored. The handlers leave
// blocked reads to fail, so that a read of a pipe that waits returns.

#include "device/stop.h"

namespace modbuscalc::cli {

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

} // namespace modbuscalc::cli
