// The window under the desktop's colour scheme, light or dark: every text is
// measured on the grabbed window, pixel by pixel, against what lies behind it.

#include "calc_window_fixture.h"

#include <QImage>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>
#include <cmath>
#include <map>

namespace {

// WCAG 2 relative luminance and contrast ratio.
double luminance(QRgb rgb)
{
    const auto linear = [](int channel) {
        const double c = channel / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(rgb)) + 0.7152 * linear(qGreen(rgb)) + 0.0722 * linear(qBlue(rgb));
}

double contrast(QRgb a, QRgb b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct Measured {
    QRgb background; // the commonest colour in the area
    double best; // contrast of the strongest text pixel against it
    int strongPixels; // pixels at 4.5 : 1 or more
};

Measured measure(const QImage &image)
{
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y) | 0xFF000000];
    const QRgb background = std::max_element(counts.begin(), counts.end(), [](auto a, auto b) {
        return a.second < b.second;
    })->first;

    Measured m { background, 1.0, 0 };
    for (const auto &[colour, count] : counts) {
        const double ratio = contrast(colour, background);
        m.best = std::max(m.best, ratio);
        if (ratio >= 4.5)
            m.strongPixels += count;
    }
    return m;
}

QPalette darkPalette()
{
    QPalette p;
    const QColor window(0x35, 0x35, 0x35), base(0x2a, 0x2a, 0x2a), text(0xee, 0xee, 0xee);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
    p.setColor(QPalette::HighlightedText, Qt::black);
    return p;
}

} // namespace

class ColourSchemeTest : public CalcWindowFixture {
    Q_OBJECT

private slots:
    void initTestCase() { m_platformPalette = QApplication::palette(); }
    void textIsReadable_data();
    void textIsReadable();
    void cleanupTestCase() { QApplication::setPalette(m_platformPalette); }

private:
    // A new window under the scheme, as when the program starts on it.
    void startUnder(const QPalette &palette)
    {
        QApplication::setPalette(palette);
        m_calc = std::make_unique<modbuscalc::Calc>();
        m_calc->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_calc.get()));
    }

    QPalette m_platformPalette; // the light scheme
};

void ColourSchemeTest::textIsReadable_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("control");

    const QStringList controls
        = { QStringLiteral("Absolute"), QStringLiteral("Modbus"), QStringLiteral("Address"),
              QStringLiteral("Table"), QStringLiteral("Column"), QStringLiteral("Row") };
    for (bool dark : { false, true }) {
        QStringList all = controls;
        for (int i = 1; i <= 11; ++i)
            all << QStringLiteral("Label%1").arg(i);
        for (const QString &name : all)
            QTest::addRow("%s %s", dark ? "dark" : "light", qPrintable(name)) << dark << name;
    }
}

void ColourSchemeTest::textIsReadable()
{
    QFETCH(bool, dark);
    QFETCH(QString, control);
    const QPalette scheme = dark ? darkPalette() : m_platformPalette;
    startUnder(scheme);

    auto *widget = m_calc->findChild<QWidget *>(control, Qt::FindDirectChildrenOnly);
    QVERIFY(widget);
    QRect area = widget->geometry();
    const bool field = qobject_cast<QLineEdit *>(widget) != nullptr;
    if (auto *button = qobject_cast<QRadioButton *>(widget)) {
        // The caption only: the round indicator is the style's, not text.
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        area = button->style()
                   ->subElementRect(QStyle::SE_RadioButtonContents, &option, button)
                   .translated(area.topLeft());
    } else if (field) {
        area = area.adjusted(3, 3, -3, -3); // inside the frame
    }

    const QImage image = m_calc->grab(area).toImage();
    const Measured m = measure(image);
    const QString report = QStringLiteral("%1: best %2 : 1 on %3, %4 strong pixels")
                               .arg(control)
                               .arg(m.best, 0, 'f', 2)
                               .arg(QColor(m.background).name())
                               .arg(m.strongPixels);
    QVERIFY2(m.best >= 4.5 && m.strongPixels >= 8, qPrintable(report));

    // Where the window forces white it stays white; the fields keep the
    // desktop's own field colour.
    const QColor expected = field ? scheme.color(QPalette::Base) : QColor(Qt::white);
    QCOMPARE(QColor(m.background).name(), expected.name());
}

QTEST_MAIN(ColourSchemeTest)
#include "colour_scheme_test.moc"
