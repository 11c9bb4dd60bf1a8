// The table view beside the Qt calculator, against modbuscalc serve: the
// grid holds the device's values in each format and word order, wide
// values and the registers a device lacks or that never answer, the grid
// and the calculator following each other, writes confirmed, refused and
// uncertain, closing in the middle of a timeout, copying and saving, and
// the view's choices kept between runs. Keys and clicks go through the
// windows, as a user's do.

#include "calc_window_fixture.h"
#include "form/qt/live_window.h"
#include "form/qt/table_window.h"
#include "services.h"

#include <QAccessible>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

using namespace modbuscalc_test;

class TableWindowTest : public CalcWindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void theGridHoldsTheDevicesValuesInEachFormatAndOrder();
    void aRegisterTheDeviceLacksAndOneThatTimedOut();
    void theGridAndTheCalculatorFollowEachOther();
    void aWriteConfirmedWithEnterIsReadBack();
    void aWriteRefusedOrUncertainSaysSo();
    void closingInTheMiddleOfATimeoutDoesNotWait();
    void copiedAndSavedAsReadWritesAMapThatWritePutsBack();
    void theViewsChoicesAreKeptBetweenRuns();

private:
    // modbuscalc serve on a port of its own, with the map and options.
    std::unique_ptr<Service> serve(const QByteArray &map, std::vector<std::string> options = {});
    void readFrom(int port, double timeout = 1);
    QWidget *openTable();
    static QWidget *tableWindow()
    {
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window->objectName() == QLatin1String("TableView"))
                return window;
        return nullptr;
    }
    static QTableView *grid()
    {
        return tableWindow()->findChild<QTableView *>(QStringLiteral("Registers"));
    }
    static QString cell(int column, int row)
    {
        return grid()->model()->index(row, column).data().toString();
    }
    static QString status()
    {
        return tableWindow()->findChild<QLabel *>(QStringLiteral("Status"))->text();
    }
    static void choose(const char *name, const QString &text)
    {
        tableWindow()->findChild<QComboBox *>(QLatin1String(name))->setCurrentText(text);
    }
    static void clickCell(int column, int row)
    {
        const QModelIndex at = grid()->model()->index(row, column);
        grid()->scrollTo(at);
        QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {}, grid()->visualRect(at).center());
    }
    // Selects the cell, then Enter, the value and Enter, as a user edits.
    static void writeCell(int column, int row, const QString &value)
    {
        clickCell(column, row);
        QTest::keyClick(grid(), Qt::Key_Return);
        QWidget *editor = openEditor();
        QVERIFY(editor);
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(editor, value);
        const QPointer<QWidget> open = editor;
        QTest::keyClick(editor, Qt::Key_Return);
        // The value is committed from the event loop.
        QTRY_VERIFY(!open || !open->isVisible());
    }
    // The cell's editor, open now.
    static QWidget *openEditor()
    {
        for (QLineEdit *editor : grid()->viewport()->findChildren<QLineEdit *>())
            if (editor->isVisible())
                return editor;
        return nullptr;
    }
    void typeIn(const char *field, const QString &text)
    {
        QTest::mouseClick(edit(field), Qt::LeftButton);
        clearFocusedField();
        type(text);
    }

    QTemporaryDir m_folder;
};

void TableWindowTest::initTestCase()
{
    // The user's settings, in a folder of this test's own.
    qputenv("XDG_CONFIG_HOME", m_folder.path().toLocal8Bit());
}

std::unique_ptr<Service> TableWindowTest::serve(
    const QByteArray &map, std::vector<std::string> options)
{
    static int maps = 0;
    QFile file(m_folder.filePath(QStringLiteral("served-%1.csv").arg(++maps)));
    if (!file.open(QIODevice::WriteOnly) || file.write(map) != map.size())
        return nullptr;
    file.close();
    const int port = LocalPort(false).port();
    std::vector<std::string> command = { MODBUSCALC_PROGRAM, "serve", "-q", "--listen",
        "127.0.0.1:" + std::to_string(port), "--value-column", "4", "--format-column", "5" };
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(file.fileName().toStdString());
    auto served = std::make_unique<Service>(command, [port] { return accepts(port); });
    if (!served->up())
        return nullptr;
    readFrom(port);
    return served;
}

void TableWindowTest::readFrom(int port, double timeout)
{
    modbuscalc::LiveSettings settings;
    settings.port = port;
    settings.interval = 0.2;
    settings.timeout = timeout;
    modbuscalc::StoreLiveSettings(settings);
    modbuscalc::StoreTableChoice({}); // holding registers, u16, whatever a test before chose
}

QWidget *TableWindowTest::openTable()
{
    // As the context menu does it.
    m_calc->findChild<QAction *>(QStringLiteral("TableViewAction"))->trigger();
    QWidget *table = tableWindow();
    if (!table || !table->isVisible())
        return nullptr;
    if (!onWayland() && !QTest::qWaitForWindowActive(table))
        return nullptr;
    return table;
}

const QByteArray Plant
    = "1,1,7,4321,u16\n1,2,0,3.5,f32\n1,3,4,-2,s32\n1,4,8,0x0102030405060708,u64\n";

void TableWindowTest::theGridHoldsTheDevicesValuesInEachFormatAndOrder()
{
    const auto served = serve(Plant);
    QVERIFY(served);
    typeIn("Address", QStringLiteral("2311")); // table 1
    QVERIFY(openTable());
    QCOMPARE(tableWindow()->findChild<QSpinBox *>(QStringLiteral("Table"))->value(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(cell(1, 7), QStringLiteral("4321"), 10000);
    QCOMPARE(cell(1, 6), QStringLiteral("0"));
    // The registers as words, to read each format and order from.
    const auto words = [](int column, int row, int count) {
        std::vector<std::uint16_t> read;
        for (int k = 0; k < count; ++k)
            read.push_back(static_cast<std::uint16_t>(cell(column, row + k).toUInt()));
        return read;
    };
    const std::vector<std::uint16_t> f32 = words(2, 0, 2), s32 = words(3, 4, 2),
                                     u64 = words(4, 8, 4);

    choose("Format", QStringLiteral("f32"));
    QTRY_COMPARE_WITH_TIMEOUT(cell(2, 0), QStringLiteral("3.5"), 10000);
    QCOMPARE(cell(2, 1), QStringLiteral("\u22EE")); // its second register
    QVERIFY(!(grid()->model()->flags(grid()->model()->index(1, 2)) & Qt::ItemIsEditable));
    QVERIFY(grid()->model()->flags(grid()->model()->index(0, 2)) & Qt::ItemIsEditable);
    choose("Format", QStringLiteral("s32"));
    QTRY_COMPARE_WITH_TIMEOUT(cell(3, 4), QStringLiteral("-2"), 10000);
    choose("Format", QStringLiteral("u64"));
    QTRY_COMPARE_WITH_TIMEOUT(cell(4, 8), QStringLiteral("72623859790382856"), 10000);
    for (int row = 9; row < 12; ++row)
        QCOMPARE(cell(4, row), QStringLiteral("\u22EE"));
    // Each word order reads the same registers its own way.
    for (const auto order : modbuscalc::LiveWordOrders) {
        choose("WordOrder",
            QString::fromLatin1(order.name.data(), static_cast<qsizetype>(order.name.size())));
        const auto as = static_cast<modbuscalc::WordOrder>(order.value);
        const auto shown
            = [as](modbuscalc::ValueFormat format, const std::vector<std::uint16_t> &w) {
                  return QString::fromStdString(modbuscalc::ValueText(format, as, w));
              };
        QTRY_COMPARE_WITH_TIMEOUT(cell(4, 8), shown(modbuscalc::ValueFormat::U64, u64), 10000);
        choose("Format", QStringLiteral("f32"));
        QTRY_COMPARE_WITH_TIMEOUT(cell(2, 0), shown(modbuscalc::ValueFormat::F32, f32), 10000);
        choose("Format", QStringLiteral("s32"));
        QTRY_COMPARE_WITH_TIMEOUT(cell(3, 4), shown(modbuscalc::ValueFormat::S32, s32), 10000);
        choose("Format", QStringLiteral("u64"));
    }
    QVERIFY(status().contains(QStringLiteral("no errors")));
    // Screen readers see a table named Registers, its cells with their text.
    QAccessibleInterface *registers = QAccessible::queryAccessibleInterface(grid());
    QVERIFY(registers && registers->tableInterface());
    QCOMPARE(registers->role(), QAccessible::Table);
    QCOMPARE(registers->text(QAccessible::Name), QStringLiteral("Registers"));
    QAccessibleInterface *named = registers->tableInterface()->cellAt(8, 4);
    QVERIFY(named);
    QCOMPARE(named->text(QAccessible::Name), cell(4, 8));
    // Coils: bits, one a cell, whatever the format.
    choose("Type", QStringLiteral("coil"));
    QTRY_COMPARE_WITH_TIMEOUT(cell(0, 1), QStringLiteral("0"), 10000);
    QCOMPARE(cell(0, 1 + 1), QStringLiteral("0"));
}

void TableWindowTest::aRegisterTheDeviceLacksAndOneThatTimedOut()
{
    const auto served = serve(Plant, { "--only-mapped" });
    QVERIFY(served);
    typeIn("Address", QStringLiteral("2311"));
    QVERIFY(openTable());
    QTRY_COMPARE_WITH_TIMEOUT(cell(1, 7), QStringLiteral("4321"), 10000);
    QCOMPARE(cell(1, 6), QStringLiteral("no register"));
    QCOMPARE(cell(1, 8), QStringLiteral("no register"));
    QVERIFY(status().contains(QStringLiteral("illegal data address (exception 2)")));
    QVERIFY(!status().contains(QString::fromUtf8(modbuscalc::NoValue.data()))); // a full read

    // A device that takes the connection and never answers.
    const LocalPort silent(true);
    readFrom(silent.port(), 0.2);
    m_calc->connectionChanged();
    QTRY_COMPARE_WITH_TIMEOUT(cell(1, 7), QStringLiteral("no answer"), 10000);
    QCOMPARE(cell(1, 6), QStringLiteral("no answer"));
    QVERIFY2(status().contains(QStringLiteral("timeout")), qPrintable(status()));
}

void TableWindowTest::theGridAndTheCalculatorFollowEachOther()
{
    const auto served = serve(Plant);
    QVERIFY(served);
    typeIn("Address", QStringLiteral("2311"));
    QVERIFY(openTable());
    const QModelIndex named = grid()->model()->index(7, 1);
    QCOMPARE(grid()->currentIndex(), named);
    QVERIFY(named.data(Qt::FontRole).value<QFont>().bold());
    // A cell selected names it in the calculator.
    clickCell(5, 200);
    QCOMPARE(edit("Table")->text(), QStringLiteral("1"));
    QCOMPARE(edit("Column")->text(), QStringLiteral("5"));
    QCOMPARE(edit("Row")->text(), QStringLiteral("200"));
    QCOMPARE(edit("Address")->text(), QStringLiteral("3528"));
    QVERIFY(!named.data(Qt::FontRole).value<QFont>().bold());
    QVERIFY(grid()
                ->model()
                ->index(200, 5)
                .data(Qt::ToolTipRole)
                .toString()
                .contains(QStringLiteral("Holding-register reference: 403529")));
    // Modbus addressing in the calculator: the tooltips follow.
    QTest::mouseClick(option("Modbus"), Qt::LeftButton);
    QVERIFY(grid()
                ->model()
                ->index(200, 5)
                .data(Qt::ToolTipRole)
                .toString()
                .contains(QStringLiteral("Address: 3529 (Modbus addressing)")));
    // The calculator's fields move the view to their table.
    m_calc->activateWindow();
    typeIn("Table", QStringLiteral("30"));
    QCOMPARE(tableWindow()->findChild<QSpinBox *>(QStringLiteral("Table"))->value(), 30);
    QCOMPARE(grid()->currentIndex(), grid()->model()->index(200, 5));
    QVERIFY(grid()->model()->index(200, 5).data(Qt::FontRole).value<QFont>().bold());
    // Another table chosen in the view: the calculator's cell is not in it.
    tableWindow()->findChild<QSpinBox *>(QStringLiteral("Table"))->setValue(29);
    QVERIFY(!grid()->model()->index(200, 5).data(Qt::FontRole).value<QFont>().bold());
    tableWindow()->findChild<QSpinBox *>(QStringLiteral("Table"))->setValue(30);
    QVERIFY(grid()->model()->index(200, 5).data(Qt::FontRole).value<QFont>().bold());
    QTRY_VERIFY_WITH_TIMEOUT(status().contains(QStringLiteral("last full read")), 10000);
}

void TableWindowTest::aWriteConfirmedWithEnterIsReadBack()
{
    const auto served = serve(Plant);
    QVERIFY(served);
    typeIn("Address", QStringLiteral("2311"));
    QVERIFY(openTable());
    QTRY_COMPARE_WITH_TIMEOUT(cell(1, 7), QStringLiteral("4321"), 10000);
    choose("Format", QStringLiteral("s32"));
    QTRY_COMPARE_WITH_TIMEOUT(cell(3, 4), QStringLiteral("-2"), 10000);
    writeCell(3, 4, QStringLiteral("-123456"));
    QTRY_COMPARE_WITH_TIMEOUT(cell(3, 4), QStringLiteral("-123456"), 10000);
    QVERIFY(status().contains(QStringLiteral("row 4, column 3: written")));
    // A value the format cannot hold is never sent.
    writeCell(3, 6, QStringLiteral("3000000000"));
    QVERIFY(status().contains(QStringLiteral("is not s32")));
    QCOMPARE(cell(3, 6), QStringLiteral("0"));
    // Leaving the editor without Enter sends nothing.
    clickCell(3, 8);
    QTest::keyClick(grid(), Qt::Key_F2);
    QWidget *editor = openEditor();
    QVERIFY(editor);
    QTest::keyClicks(editor, QStringLiteral("99"));
    QTest::keyClick(editor, Qt::Key_Tab);
    QTest::qWait(600);
    QCOMPARE(cell(3, 8), QStringLiteral("0"));
    // Input registers are not edited.
    choose("Type", QStringLiteral("input"));
    QVERIFY(!(grid()->model()->flags(grid()->model()->index(4, 3)) & Qt::ItemIsEditable));
}

void TableWindowTest::aWriteRefusedOrUncertainSaysSo()
{
    {
        const auto served = serve(Plant, { "--read-only" });
        QVERIFY(served);
        QVERIFY(openTable());
        QTRY_COMPARE_WITH_TIMEOUT(cell(0, 3), QStringLiteral("0"), 10000);
        writeCell(0, 3, QStringLiteral("5"));
        QTRY_COMPARE_WITH_TIMEOUT(
            cell(0, 3), QStringLiteral("not written: illegal function (exception 1)"), 10000);
        // And the value the device holds once the words were read.
        QTRY_COMPARE_WITH_TIMEOUT(cell(0, 3), QStringLiteral("0"), 15000);
    }
    const LocalPort silent(true);
    readFrom(silent.port(), 0.3);
    m_calc->connectionChanged();
    QTRY_COMPARE_WITH_TIMEOUT(cell(0, 3), QStringLiteral("no answer"), 10000);
    writeCell(0, 3, QStringLiteral("5"));
    QVERIFY2(cell(0, 3) == QStringLiteral("writing"), qPrintable(status()));
    QTRY_VERIFY_WITH_TIMEOUT(cell(0, 3).startsWith(QStringLiteral("uncertain: timeout")), 10000);
    QVERIFY(cell(0, 3).endsWith(QStringLiteral("may or may not have taken effect")));
}

void TableWindowTest::closingInTheMiddleOfATimeoutDoesNotWait()
{
    const LocalPort silent(true);
    readFrom(silent.port(), 30);
    QVERIFY(openTable());
    QTest::qWait(300); // the worker waits on the device now
    QElapsedTimer closing;
    closing.start();
    tableWindow()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!tableWindow());
    QVERIFY2(closing.elapsed() < 10000, "closing waited for the device's timeout");
    // Both windows open, one line: the calculator closes them at once too.
    m_calc->openLiveValue();
    QVERIFY(openTable());
    QTest::qWait(300);
    closing.restart();
    m_calc.reset();
    QVERIFY2(closing.elapsed() < 10000, "closing waited for the device's timeout");
    showCalc();
}

void TableWindowTest::copiedAndSavedAsReadWritesAMapThatWritePutsBack()
{
    const auto served = serve(Plant);
    QVERIFY(served);
    typeIn("Address", QStringLiteral("2311"));
    QVERIFY(openTable());
    choose("Format", QStringLiteral("s32"));
    QTRY_COMPARE_WITH_TIMEOUT(cell(3, 4), QStringLiteral("-2"), 10000);
    if (setClipboard(QStringLiteral("before"))) {
        clickCell(3, 4);
        QTest::mouseClick(grid()->viewport(), Qt::LeftButton, Qt::ShiftModifier,
            grid()->visualRect(grid()->model()->index(6, 3)).center());
        QTest::keyClick(grid(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("-2\n\n0\n"));
    }
    // Saved through the dialog, as a user names the file.
    const QString path = m_folder.filePath(QStringLiteral("table-1.csv"));
    QTimer::singleShot(200, this, [path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    QTest::mouseClick(
        tableWindow()->findChild<QPushButton *>(QStringLiteral("SaveCsv")), Qt::LeftButton);
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QByteArray text = saved.readAll();
    QVERIFY(text.startsWith("table,column,row,address,value\n1,0,0,2048,0\n"));
    QVERIFY(text.contains("\n1,3,4,2820,-2\n"));
    QVERIFY(!text.contains("\n1,3,5,"));

    // write puts it back on another device, which then holds the same.
    const int port = LocalPort(false).port();
    const Service blank(
        { MODBUSCALC_PROGRAM, "serve", "-q", "--listen", "127.0.0.1:" + std::to_string(port) },
        [port] { return accepts(port); });
    QVERIFY(blank.up());
    const QString host = QStringLiteral("127.0.0.1:%1").arg(port);
    QProcess write;
    write.start(QStringLiteral(MODBUSCALC_PROGRAM),
        { QStringLiteral("write"), QStringLiteral("--host"), host, QStringLiteral("--header"),
            QStringLiteral("--value-column"), QStringLiteral("value"), QStringLiteral("--format"),
            QStringLiteral("s32"), QStringLiteral("--yes"), path });
    QVERIFY(write.waitForFinished(30000));
    QCOMPARE(write.exitCode(), 0);
    QProcess read;
    read.start(QStringLiteral(MODBUSCALC_PROGRAM),
        { QStringLiteral("read"), QStringLiteral("--host"), host, QStringLiteral("--format"),
            QStringLiteral("s32"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("4") });
    QVERIFY(read.waitForFinished(30000));
    QCOMPARE(read.readAllStandardOutput().trimmed(), QByteArray("2820 -2"));
}

void TableWindowTest::theViewsChoicesAreKeptBetweenRuns()
{
    readFrom(LocalPort(false).port());
    QVERIFY(openTable());
    choose("Type", QStringLiteral("input"));
    choose("Format", QStringLiteral("f64"));
    choose("WordOrder", QStringLiteral("DCBA"));
    m_calc.reset();
    showCalc();
    QVERIFY(openTable());
    const auto shown = [](const char *name) {
        return tableWindow()->findChild<QComboBox *>(QLatin1String(name))->currentText();
    };
    QCOMPARE(shown("Type"), QStringLiteral("input"));
    QCOMPARE(shown("Format"), QStringLiteral("f64"));
    QCOMPARE(shown("WordOrder"), QStringLiteral("DCBA"));
    QCOMPARE(tableWindow()->accessibleName(), QStringLiteral("Table view"));
    QCOMPARE(tableWindow()->findChild<QSpinBox *>(QStringLiteral("Table"))->accessibleName(),
        QStringLiteral("Table"));
}

QTEST_MAIN(TableWindowTest)
#include "table_window_test.moc"
