// What is the Qt window's alone; what a user does step by step is in the
// scenario table that both windows run (window_scenarios.h).
//   The window's title and fixed size, the program's own writes, the
//   locale's decimal symbol, fields named by their captions, the layout
//   against its fixed rectangles and fonts, the indicator, the logo and the
//   Address tooltip.

#include "calc_window_fixture.h"

#include "form/field_set.h"

#include <QStyle>
#include <QStyleOptionButton>
#include <QToolTip>

using modbuscalc::Field;

class CalcWindowTest : public CalcWindowFixture {
    Q_OBJECT

private slots:
    void titleAndFixedSize();
    void programWritesRaiseNoHandler();
    void commaLocaleWritesCommas();
    void fieldsAreNamedByTheirCaptions();
    void layoutMatchesTheFixedRectangles_data();
    void layoutMatchesTheFixedRectangles();
    void indicatorStyle();
    void logoAtNaturalSize();
    void addressTooltipShowsEveryNotation();
};

void CalcWindowTest::titleAndFixedSize()
{
    QCOMPARE(m_calc->windowTitle(), QStringLiteral("VARKOL Modbus Calculator"));
    QCOMPARE(m_calc->size(), QSize(436, 393));
    QCOMPARE(m_calc->minimumSize(), m_calc->maximumSize());
}

void CalcWindowTest::programWritesRaiseNoHandler()
{
    m_calc->setText(Field::Table, "7");
    m_calc->setText(Field::Address, "99");
    VERIFY_SHOWN("99", "7", "0", "0", "Calculate Address");
    m_calc->setCaption("Calculate Tables");
    VERIFY_SHOWN("99", "7", "0", "0", "Calculate Tables");
    QCOMPARE(m_calc->text(Field::Table), std::string("7"));
    QCOMPARE(m_calc->caption(), std::string("Calculate Tables"));
    QVERIFY(!m_calc->modbusSelected());
}

void CalcWindowTest::commaLocaleWritesCommas()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    clearFocusedField();
    type(QStringLiteral("100.5"));
    VERIFY_SHOWN("100.5", "0", "0", "100,5", "Calculate Tables");
}

void CalcWindowTest::fieldsAreNamedByTheirCaptions()
{
    const std::vector<std::pair<const char *, const char *>> captions = { { "Address", "Label2" },
        { "Table", "Label5" }, { "Column", "Label4" }, { "Row", "Label3" } };
    for (const auto &[field, label] : captions) {
        QCOMPARE(edit(field)->accessibleName(), QLatin1String(field));
        QCOMPARE(m_calc->findChild<QLabel *>(QLatin1String(label))->buddy(), edit(field));
    }
    QCOMPARE(option("Absolute")->text(), QStringLiteral("Absolute Addressing"));
    QCOMPARE(option("Modbus")->text(), QStringLiteral("Modbus Addressing"));
}

void CalcWindowTest::layoutMatchesTheFixedRectangles_data()
{
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("points"); // 0: the window's own font
    QTest::addColumn<bool>("bold");
    QTest::addColumn<int>("alignment");

    const int left = Qt::AlignLeft | Qt::AlignTop;
    const int right = Qt::AlignRight | Qt::AlignTop;
    const auto row = [](const char *name, QRect twips, const char *text, double points, bool bold,
                         int alignment) {
        QTest::newRow(name) << twips << QString::fromUtf8(text) << points << bold << alignment;
    };
    row("Address", { 5280, 2400, 975, 285 }, "0", 0, false, 0);
    row("Table", { 1200, 2280, 975, 285 }, "0", 0, false, 0);
    row("Column", { 1200, 3720, 975, 285 }, "0", 0, false, 0);
    row("Row", { 1200, 3000, 975, 285 }, "0", 0, false, 0);
    row("Absolute", { 2640, 4080, 1815, 255 }, "Absolute Addressing", 0, false, 0);
    row("Modbus", { 2640, 4560, 1935, 255 }, "Modbus Addressing", 0, false, 0);
    row("Label1", { 3600, 3360, 2535, 375 }, "Calculate Address", 12, true,
        Qt::AlignHCenter | Qt::AlignTop);
    row("Label2", { 4080, 2400, 1095, 255 }, "Address", 9.75, true, right);
    row("Label3", { 0, 3000, 1095, 255 }, "Row", 9.75, true, right);
    row("Label4", { 0, 3720, 1095, 255 }, "Column", 9.75, true, right);
    row("Label5", { 0, 2280, 1095, 255 }, "Table", 9.75, true, right);
    row("Label6", { 240, 5160, 3135, 255 }, nullptr, 8.25, true, left);
    row("Label7", { 240, 5400, 3135, 255 }, nullptr, 8.25, true, left);
    row("Label8", { 240, 5640, 3135, 255 }, nullptr, 8.25, true, left);
    row("Label9", { 3240, 5640, 3135, 255 }, nullptr, 8.25, true, right);
    row("Label10", { 3240, 5400, 3135, 255 }, nullptr, 8.25, true, right);
    row("Label11", { 3240, 5160, 3135, 255 }, nullptr, 8.25, true, right);
}

void CalcWindowTest::layoutMatchesTheFixedRectangles()
{
    QFETCH(QRect, twips);
    QFETCH(QString, text);
    QFETCH(double, points);
    QFETCH(bool, bold);
    QFETCH(int, alignment);

    const QString name = QString::fromLatin1(QTest::currentDataTag());
    auto *control = m_calc->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
    QVERIFY(control);
    QCOMPARE(control->geometry(),
        QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));

    const QFont font = control->font();
    QCOMPARE(font.pointSizeF(), points > 0 ? points : m_calc->font().pointSizeF());
    QCOMPARE(font.bold(), bold);
    QCOMPARE(font.italic(), name == QStringLiteral("Label1"));

    if (auto *label = qobject_cast<QLabel *>(control)) {
        QCOMPARE(int(label->alignment()), alignment);
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
        QVERIFY(!label->wordWrap());
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(label->autoFillBackground());
        QCOMPARE(label->palette().color(QPalette::Window), QColor(Qt::white));
        // The whole caption is visible in its box with the font in use.
        QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(),
            qPrintable(label->text()));
    } else if (auto *button = qobject_cast<QRadioButton *>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect contents
            = button->style()->subElementRect(QStyle::SE_RadioButtonContents, &option, button);
        const int needed = button->fontMetrics().horizontalAdvance(button->text());
        QVERIFY2(needed <= contents.width(),
            qPrintable(QStringLiteral("%1: %2 > %3")
                           .arg(button->text())
                           .arg(needed)
                           .arg(contents.width())));
    }
    if (!text.isNull()) {
        const auto *label = qobject_cast<QLabel *>(control);
        const auto *button = qobject_cast<QRadioButton *>(control);
        const auto *field = qobject_cast<QLineEdit *>(control);
        QCOMPARE(label ? label->text() : button ? button->text() : field->text(), text);
    }
}

void CalcWindowTest::indicatorStyle()
{
    auto *indicator = m_calc->findChild<QLabel *>(QStringLiteral("Label1"));
    QCOMPARE(indicator->palette().color(QPalette::WindowText), QColor(0, 0, 192));
    QCOMPARE(m_calc->palette().color(QPalette::Window), QColor(Qt::white));
    const QRect before = indicator->geometry();
    type(QStringLiteral("1"));
    QCOMPARE(indicator->text(), QStringLiteral("Calculate Tables"));
    QCOMPARE(indicator->geometry(), before);
}

void CalcWindowTest::logoAtNaturalSize()
{
    auto *logo = m_calc->findChild<QLabel *>(QStringLiteral("Image1"));
    QVERIFY(logo);
    // In the screen's own pixels: 1000 x 200 of them on a 2x screen.
    const qreal ratio = logo->devicePixelRatioF();
    QCOMPARE(logo->pixmap().devicePixelRatio(), ratio);
    QCOMPARE(logo->pixmap().size(), QSize(qRound(500 * ratio), qRound(100 * ratio)));
    QCOMPARE(logo->pixmap().deviceIndependentSize(), QSizeF(500, 100));
    QCOMPARE(logo->geometry(), QRect(0, 8, 500, 100));
    QCOMPARE(logo->focusPolicy(), Qt::NoFocus);
    // Only the left 436 pixels lie inside the window.
    QCOMPARE(logo->visibleRegion().boundingRect(), QRect(0, 0, 436, 100));
}

void CalcWindowTest::addressTooltipShowsEveryNotation()
{
    clearFocusedField();
    type(QStringLiteral("2306"));
    QTest::mouseClick(option("Modbus"), Qt::LeftButton);
    QLineEdit *address = edit("Address");
    QHelpEvent hover(QEvent::ToolTip, QPoint(5, 5), address->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(address, &hover);
    QTRY_COMPARE(QToolTip::text(),
        QStringLiteral("PDU address (0-based): 2305\nRegister number (1-based): 2306\n"
                       "Holding-register reference: 402306\nHex: 0x0901"));
    QToolTip::hideText();
}

QTEST_MAIN(CalcWindowTest)
#include "calc_window_test.moc"
