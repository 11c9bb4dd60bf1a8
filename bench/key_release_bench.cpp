// One key release end to end in the real window: a key press and release
// sent through the QWindow to the focused field, handled and painted into
// the backing store before the next.

#include "form/qt/calc_window.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTest>

#include <benchmark/benchmark.h>

namespace {

modbuscalc::Calc *g_calc = nullptr;

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

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
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
