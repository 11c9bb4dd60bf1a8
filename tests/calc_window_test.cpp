// The real window, driven the way the platform drives it: key presses and
// releases go through the QWindow and reach whichever control has the focus
// at that moment; option buttons get mouse clicks and arrow keys.
//   Start-up, typing, focus moves (Tab, Shift+Tab), keys that edit nothing,
//   paste, the option group, the program's own writes, the locale's decimal
//   symbol, and the layout against its fixed rectangles and fonts.

#include "calc_window_fixture.h"

#include "form/field_set.h"

#include <QStyle>
#include <QStyleOptionButton>
#include <QToolTip>

using modbuscalc::Field;

class CalcWindowTest : public CalcWindowFixture {
    Q_OBJECT

private slots:
    void startState();
    void modbusRightAfterStart();
    void typingAnAddressKeyByKey();
    void typingCellFieldsComputesTheAddress();
    void tabIntoTableOverwritesAnErrorAddress();
    void shiftTabBackRunsTheTablesDirection();
    void tabFromRowIntoTheOptionGroupRunsNothing();
    void keysThatEditNothingStillRecalculate_data();
    void keysThatEditNothingStillRecalculate();
    void pasteRecalculatesOnRelease();
    void textPlacedWithoutAKeyWaitsForOne();
    void arrowKeysInTheOptionGroupSelect();
    void programWritesRaiseNoHandler();
    void fullTabCycle();
    void commaLocaleWritesCommas();
    void fieldsAreNamedByTheirCaptions();
    void layoutMatchesTheFixedRectangles_data();
    void layoutMatchesTheFixedRectangles();
    void indicatorStyle();
    void logoAtNaturalSize();
    void addressTooltipShowsEveryNotation();
};

void CalcWindowTest::startState()
{
    VERIFY_SHOWN("0", "0", "0", "0", "Calculate Address");
    QVERIFY(option("Absolute")->isChecked());
    QVERIFY(!option("Modbus")->isChecked());
    QCOMPARE(focus(), edit("Address"));
    QCOMPARE(m_calc->windowTitle(), QStringLiteral("VARKOL Modbus Calculator"));
    QCOMPARE(m_calc->size(), QSize(436, 393));
    QCOMPARE(m_calc->minimumSize(), m_calc->maximumSize());
}

void CalcWindowTest::modbusRightAfterStart()
{
    QTest::mouseClick(option("Modbus"), Qt::LeftButton);
    QVERIFY(option("Modbus")->isChecked());
    VERIFY_SHOWN("1", "0", "0", "0", "Calculate Address");
    QTest::mouseClick(option("Absolute"), Qt::LeftButton);
    VERIFY_SHOWN("0", "0", "0", "0", "Calculate Address");
}

void CalcWindowTest::typingAnAddressKeyByKey()
{
    clearFocusedField();
    VERIFY_SHOWN("", "0", "0", "0", "Calculate Tables");
    type(QStringLiteral("1"));
    VERIFY_SHOWN("1", "0", "0", "1", "Calculate Tables");
    type(QStringLiteral("024"));
    VERIFY_SHOWN("1024", "0", "4", "0", "Calculate Tables");
    type(QStringLiteral("1"));
    VERIFY_SHOWN("10241", "5", "0", "1", "Calculate Tables");

    QTest::mouseClick(option("Modbus"), Qt::LeftButton);
    VERIFY_SHOWN("10241", "5", "0", "0", "Calculate Tables");
}

void CalcWindowTest::typingCellFieldsComputesTheAddress()
{
    click(Qt::Key_Tab); // into Table
    QCOMPARE(focus(), edit("Table"));
    clearFocusedField();
    type(QStringLiteral("31"));
    click(Qt::Key_Tab); // into Column
    clearFocusedField();
    type(QStringLiteral("7"));
    click(Qt::Key_Tab); // into Row
    clearFocusedField();
    type(QStringLiteral("255"));
    VERIFY_SHOWN("65535", "31", "7", "255", "Calculate Address");
    type(QStringLiteral("9"));
    VERIFY_SHOWN("Error", "31", "7", "2559", "Calculate Address");
}

void CalcWindowTest::tabIntoTableOverwritesAnErrorAddress()
{
    clearFocusedField();
    type(QStringLiteral("65536"));
    VERIFY_SHOWN("65536", "Error", "Error", "Error", "Calculate Tables");
    click(Qt::Key_Tab);
    QCOMPARE(focus(), edit("Table"));
    VERIFY_SHOWN("0", "Error", "Error", "Error", "Calculate Address");
}

void CalcWindowTest::shiftTabBackRunsTheTablesDirection()
{
    clearFocusedField();
    type(QStringLiteral("2563"));
    click(Qt::Key_Tab);
    VERIFY_SHOWN("2563", "1", "2", "3", "Calculate Address");

    // Press Shift in Table, then Tab moves the focus back to Address, where
    // both keys go up: each release recomputes the cell from the address.
    QTest::keyPress(window(), Qt::Key_Shift);
    QTest::keyPress(window(), Qt::Key_Tab, Qt::ShiftModifier);
    QCOMPARE(focus(), edit("Address"));
    VERIFY_SHOWN("2563", "1", "2", "3", "Calculate Address");
    QTest::keyRelease(window(), Qt::Key_Tab, Qt::ShiftModifier);
    VERIFY_SHOWN("2563", "1", "2", "3", "Calculate Tables");
    edit("Address")->setText(QStringLiteral("10241")); // no key: not used yet
    VERIFY_SHOWN("10241", "1", "2", "3", "Calculate Tables");
    QTest::keyRelease(window(), Qt::Key_Shift, Qt::ShiftModifier);
    VERIFY_SHOWN("10241", "5", "0", "1", "Calculate Tables");
}

void CalcWindowTest::tabFromRowIntoTheOptionGroupRunsNothing()
{
    QTest::mouseClick(edit("Row"), Qt::LeftButton);
    QCOMPARE(focus(), edit("Row"));
    edit("Row")->setText(QStringLiteral("9")); // disagrees with Address "0"
    click(Qt::Key_Tab);
    QCOMPARE(focus(), option("Absolute"));
    VERIFY_SHOWN("0", "0", "0", "9", "Calculate Address");

    if (!optionGroupKeysWork())
        QSKIP("the window is not active, so Qt does not move keys within the group");
    // Tab from the group round to Address goes up there: one recalculation.
    click(Qt::Key_Tab);
    QCOMPARE(focus(), edit("Address"));
    VERIFY_SHOWN("0", "0", "0", "0", "Calculate Tables");
}

void CalcWindowTest::keysThatEditNothingStillRecalculate_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Shift") << int(Qt::Key_Shift);
    QTest::newRow("Control") << int(Qt::Key_Control);
    QTest::newRow("Left") << int(Qt::Key_Left);
    QTest::newRow("Right") << int(Qt::Key_Right);
    QTest::newRow("Home") << int(Qt::Key_Home);
    QTest::newRow("End") << int(Qt::Key_End);
    QTest::newRow("Up") << int(Qt::Key_Up);
    QTest::newRow("F5") << int(Qt::Key_F5);
}

void CalcWindowTest::keysThatEditNothingStillRecalculate()
{
    QFETCH(int, key);
    // Text dropped in without a key release waits; any released key uses it.
    edit("Address")->setText(QStringLiteral("10241"));
    VERIFY_SHOWN("10241", "0", "0", "0", "Calculate Address");
    click(static_cast<Qt::Key>(key));
    VERIFY_SHOWN("10241", "5", "0", "1", "Calculate Tables");
}

void CalcWindowTest::pasteRecalculatesOnRelease()
{
    if (!setClipboard(QStringLiteral("10241")))
        QSKIP("no clipboard on this display");
    click(Qt::Key_A, Qt::ControlModifier);
    VERIFY_SHOWN("0", "0", "0", "0", "Calculate Tables");

    QTest::keyPress(window(), Qt::Key_Control);
    QTest::keyPress(window(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit("Address")->text(), QStringLiteral("10241"));
    VERIFY_SHOWN("10241", "0", "0", "0", "Calculate Tables"); // pasted, not yet released
    QTest::keyRelease(window(), Qt::Key_V, Qt::ControlModifier);
    VERIFY_SHOWN("10241", "5", "0", "1", "Calculate Tables");
    QTest::keyRelease(window(), Qt::Key_Control, Qt::ControlModifier);
    VERIFY_SHOWN("10241", "5", "0", "1", "Calculate Tables");
}

void CalcWindowTest::textPlacedWithoutAKeyWaitsForOne()
{
    click(Qt::Key_Tab); // into Table: caption "Calculate Address"
    edit("Table")->setText(QStringLiteral("5")); // as a drag-and-drop would
    VERIFY_SHOWN("0", "5", "0", "0", "Calculate Address");
    QTest::mouseClick(option("Modbus"), Qt::LeftButton);
    VERIFY_SHOWN("10241", "5", "0", "0", "Calculate Address");
}

void CalcWindowTest::arrowKeysInTheOptionGroupSelect()
{
    clearFocusedField();
    type(QStringLiteral("10241"));
    QTest::mouseClick(edit("Row"), Qt::LeftButton);
    click(Qt::Key_Tab);
    QCOMPARE(focus(), option("Absolute"));
    VERIFY_SHOWN("10241", "5", "0", "1", "Calculate Tables");

    if (!optionGroupKeysWork())
        QSKIP("the window is not active, so Qt does not move keys within the group");
    click(Qt::Key_Down);
    QVERIFY(option("Modbus")->isChecked());
    QCOMPARE(focus(), option("Modbus"));
    VERIFY_SHOWN("10241", "5", "0", "0", "Calculate Tables");

    click(Qt::Key_Up);
    QVERIFY(option("Absolute")->isChecked());
    VERIFY_SHOWN("10241", "5", "0", "1", "Calculate Tables");
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

void CalcWindowTest::fullTabCycle()
{
    if (!optionGroupKeysWork())
        QSKIP("the window is not active, so Qt does not move keys within the group");
    const std::vector<QWidget *> forward
        = { edit("Table"), edit("Column"), edit("Row"), option("Absolute"), edit("Address") };
    for (QWidget *expected : forward) {
        click(Qt::Key_Tab);
        QCOMPARE(focus(), expected);
    }

    // With Modbus selected the group's one tab stop is Modbus.
    QTest::mouseClick(option("Modbus"), Qt::LeftButton);
    m_calc->findChild<QLineEdit *>(QStringLiteral("Address"))->setFocus();
    const std::vector<QWidget *> backward
        = { option("Modbus"), edit("Row"), edit("Column"), edit("Table"), edit("Address") };
    for (QWidget *expected : backward) {
        click(Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(focus(), expected);
    }
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
