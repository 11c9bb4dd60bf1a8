// Start-up of whole programs under an X server: the time from fork to the
// first map of a top-level window, and the peak resident memory by then.
// Programs are run alternately, so that both see the same machine state.
//
//   startup_probe RUNS PROGRAM [PROGRAM...]
//
// Prints one line per program: name, median milliseconds, median peak MiB.

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Sample {
    double milliseconds;
    double peakMiB;
};

// Runs program once; returns nullopt-like negative time on failure.
Sample runOnce(Display *display, const char *program)
{
    // Drain anything left from the previous run.
    while (XPending(display)) {
        XEvent event;
        XNextEvent(display, &event);
    }

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execl(program, program, static_cast<char *>(nullptr));
        _exit(127);
    }

    double milliseconds = -1;
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify && !event.xmap.override_redirect) {
            milliseconds = std::chrono::duration<double, std::milli>(
                std::chrono::steady_clock::now() - start)
                               .count();
            break;
        }
    }

    kill(child, SIGTERM);
    int status = 0;
    rusage usage {};
    wait4(child, &status, 0, &usage);
    return { milliseconds, static_cast<double>(usage.ru_maxrss) / 1024.0 };
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RUNS PROGRAM [PROGRAM...]\n", argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "startup_probe: cannot open the X display\n");
        return 1;
    }
    // Top-level windows are children of the root: watch their maps.
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    const int programs = argc - 2;
    std::vector<std::vector<Sample>> samples(static_cast<std::size_t>(programs));
    for (int warmup = 0; warmup < programs; ++warmup)
        runOnce(display, argv[2 + warmup]); // fill the file cache for all alike
    for (int run = 0; run < runs; ++run)
        for (int p = 0; p < programs; ++p)
            samples[static_cast<std::size_t>(p)].push_back(runOnce(display, argv[2 + p]));

    for (int p = 0; p < programs; ++p) {
        std::vector<double> ms;
        std::vector<double> mib;
        for (const Sample &s : samples[static_cast<std::size_t>(p)]) {
            ms.push_back(s.milliseconds);
            mib.push_back(s.peakMiB);
        }
        std::printf("%s %.1f %.1f\n", argv[2 + p], median(ms), median(mib));
    }
    XCloseDisplay(display);
    return 0;
}
