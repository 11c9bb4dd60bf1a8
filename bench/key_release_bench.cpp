// One key release end to end in the real window: a key press and release
// sent through the QWindow to the focused field, handled and painted into
// the backing store before the next; alone, and with the live-value window
// open, its worker waiting on a device that never answers. And how long the
// live-value window takes to close in the middle of such a wait.

#include "form/qt/calc_window.h"
#include "form/qt/live_window.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
