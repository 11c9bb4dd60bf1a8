// One key release end to end in the real window: a key press and release
// sent through the QWindow to the focused field, handled and painted into
// the backing store before the next; alone, and with the live-value window
// open, its worker waiting on a device that never answers. And how long the
// live-value window takes to close in the middle of such a wait. The same
// with the table view open, polling a silent device and a live one; the
// time from opening the view to its first full table, and its memory.

#include "form/qt/calc_window.h"
#include "form/qt/live_window.h"
#include "form/qt/table_window.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <malloc.h>
#include <memory>
#include <thread>

namespace {

modbuscalc::Calc *g_calc = nullptr;
int g_silentPort = 0; // on 127.0.0.1: takes connections, never answers

// The live-value window open, reading the silent device every 50 ms, each
// read waiting out its timeout.
QWidget *openLive(double timeout)
{
    modbuscalc::LiveSettings settings;
    settings.port = g_silentPort;
    settings.interval = 0.05;
    settings.timeout = timeout;
    modbuscalc::StoreLiveSettings(settings);
    g_calc->openLiveValue();
    for (QWidget *window : QApplication::topLevelWidgets())
        if (window->objectName() == QLatin1String("LiveValue"))
            return window;
    return nullptr;
}

// A free port on 127.0.0.1.
int freePort()
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr *>(&address), size);
    ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(probe);
    return ntohs(address.sin_port);
}

bool accepts(int port)
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool up = ::connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(probe);
    return up;
}

// modbuscalc serve on a port of its own, with the options; its port, or 0.
struct Served {
    QProcess process;
    int port = 0;
    explicit Served(QStringList options)
    {
        const int at = freePort();
        options.prepend(QStringLiteral("127.0.0.1:%1").arg(at));
        options.prepend(QStringLiteral("--listen"));
        options.prepend(QStringLiteral("-q"));
        options.prepend(QStringLiteral("serve"));
        process.start(QStringLiteral(MODBUSCALC_PROGRAM), options);
        for (int i = 0; i < 3000 && process.state() != QProcess::NotRunning; ++i) {
            if (accepts(at)) {
                port = at;
                return;
            }
            QTest::qWait(10);
        }
    }
    ~Served()
    {
        process.terminate();
        process.waitForFinished(10000);
    }
};

// The table view open, reading the device on the port at the interval.
QWidget *openTable(int port, double interval, double timeout)
{
    modbuscalc::LiveSettings settings;
    settings.port = port;
    settings.interval = interval;
    settings.timeout = timeout;
    modbuscalc::StoreLiveSettings(settings);
    g_calc->openTableView();
    for (QWidget *window : QApplication::topLevelWidgets())
        if (window->objectName() == QLatin1String("TableView"))
            return window;
    return nullptr;
}

// Once the view's status tells of a full read.
bool fullyRead(QWidget *table)
{
    const QString status = table->findChild<QLabel *>(QStringLiteral("Status"))->text();
    const qsizetype at = status.indexOf(QStringLiteral("last full read "));
    return at >= 0 && status.at(at + 15).isDigit();
}

// The heap in use, in KiB: what an open window holds, whatever the
// allocator had free before.
long heapKiB()
{
    return static_cast<long>(mallinfo2().uordblks / 1024);
}

QLineEdit *field(const char *name)
{
    return g_calc->findChild<QLineEdit *>(QLatin1String(name));
}

// Types key into the named field and lets the window process and repaint.
void BM_KeyRelease(benchmark::State &state, const char *name, QString initialText)
{
    field(name)->setFocus();
    field(name)->setText(initialText);
    for (auto _ : state) {
        QTest::keyClick(g_calc->windowHandle(), Qt::Key_Left);
        QApplication::processEvents();
    }
}
BENCHMARK_CAPTURE(BM_KeyRelease, address, "Address", QStringLiteral("10241"))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_KeyRelease, table, "Table", QStringLiteral("5"))
    ->Unit(benchmark::kMicrosecond);
// The worst a field can hold: its maximum length of digits, which overflows.
BENCHMARK_CAPTURE(BM_KeyRelease, address_max_length_digits, "Address", QString(32767, u'9'))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(
    BM_KeyRelease, address_max_length_hex, "Address", QStringLiteral("&H") + QString(32765, u'F'))
    ->Unit(benchmark::kMicrosecond);

void BM_KeyReleaseWithLiveValue(benchmark::State &state)
{
    QWidget *live = openLive(0.2);
    field("Address")->setFocus();
    field("Address")->setText(QStringLiteral("10241"));
    QTest::qWait(100); // the worker waits on the device now
    for (auto _ : state) {
        QTest::keyClick(g_calc->windowHandle(), Qt::Key_Left);
        QApplication::processEvents();
    }
    live->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
BENCHMARK(BM_KeyReleaseWithLiveValue)->Unit(benchmark::kMicrosecond);

// Typing with the table view open: its worker waiting on a silent device,
// or reading a live one (a register counting) every 0.1 s.
void BM_KeyReleaseWithTableView(benchmark::State &state, bool live)
{
    std::unique_ptr<Served> served;
    if (live) {
        served = std::make_unique<Served>(
            QStringList { QStringLiteral("--ramp"), QStringLiteral("10241") });
        if (!served->port) {
            state.SkipWithError("modbuscalc serve did not start");
            return;
        }
    }
    QWidget *table = openTable(live ? served->port : g_silentPort, live ? 0.1 : 0.05, 0.2);
    g_calc->activateWindow();
    field("Address")->setFocus();
    field("Address")->setText(QStringLiteral("10241"));
    QTest::qWait(300); // the worker waits on the device now, or has read it
    for (auto _ : state) {
        QTest::keyClick(g_calc->windowHandle(), Qt::Key_Left);
        QApplication::processEvents();
    }
    table->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
BENCHMARK_CAPTURE(BM_KeyReleaseWithTableView, silent_device, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_KeyReleaseWithTableView, live_device_every_100ms, true)
    ->Unit(benchmark::kMicrosecond);

// From asking for the view to its first full table on screen, against a
// device that answers each request after 5 ms; and the heap the open view
// holds then.
void BM_TableViewFirstFullTable(benchmark::State &state)
{
    Served served({ QStringLiteral("--delay"), QStringLiteral("5") });
    if (!served.port) {
        state.SkipWithError("modbuscalc serve did not start");
        return;
    }
    long added = 0;
    for (auto _ : state) {
        const long before = heapKiB();
        QElapsedTimer shown;
        shown.start();
        QWidget *table = openTable(served.port, 60, 1);
        while (!fullyRead(table) && shown.elapsed() < 30000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        state.SetIterationTime(static_cast<double>(shown.nsecsElapsed()) / 1e9);
        added = std::max(added, heapKiB() - before);
        table->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    state.counters["heap_KiB"] = static_cast<double>(added);
}
BENCHMARK(BM_TableViewFirstFullTable)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// Closing the live-value window while its worker waits out a 30 s timeout.
void BM_CloseLiveValueMidTimeout(benchmark::State &state)
{
    for (auto _ : state) {
        QWidget *live = openLive(30);
        QTest::qWait(100);
        QElapsedTimer closing;
        closing.start();
        live->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.SetIterationTime(static_cast<double>(closing.nsecsElapsed()) / 1e9);
    }
}
BENCHMARK(BM_CloseLiveValueMidTimeout)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The live value's settings in a folder of the bench's own.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(silent, reinterpret_cast<sockaddr *>(&address), size);
    ::listen(silent, 64);
    ::getsockname(silent, reinterpret_cast<sockaddr *>(&address), &size);
    g_silentPort = ntohs(address.sin_port);
    // Takes every connection and never answers: a backlog that filled up
    // would leave the readers waiting to connect instead.
    std::thread([silent] {
        for (;;)
            if (::accept(silent, nullptr, nullptr) < 0)
                return;
    }).detach();
    QApplication app(argc, argv);
    modbuscalc::Calc calc;
    calc.show();
    calc.activateWindow();
    if (!QTest::qWaitForWindowActive(&calc))
        return 1;
    g_calc = &calc;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
