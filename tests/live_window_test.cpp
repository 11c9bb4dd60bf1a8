// The live-value window beside the Qt calculator, against pymodbus's server
// through the fault proxy: a cell typed shows its value, Modbus addressing
// reads the same register, a silent device neither stops the typing nor the
// closing, and the connection is kept between runs. Keys go through the
// window, as a user's do.

#include "calc_window_fixture.h"
#include "form/qt/live_window.h"
#include "services.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <optional>

using namespace modbuscalc_test;

class LiveWindowTest : public CalcWindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void aCellTypedShowsItsValue();
    void modbusAddressingReadsTheSameRegister();
    void aSilentDeviceNeitherStopsTheTypingNorTheClosing();
    void theConnectionIsKeptBetweenRuns();
    void readsWhatModbuscalcServes();

private:
    // Puts the proxy with these faults before the server, and tells the
    // settings to read through it.
    void readThrough(std::vector<std::string> faults, double timeout);
    QWidget *openLive();
    static QWidget *liveWindow()
    {
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window->objectName() == QLatin1String("LiveValue"))
                return window;
        return nullptr;
    }
    QLineEdit *liveField(const char *name) const
    {
        return liveWindow()->findChild<QLineEdit *>(QLatin1String(name));
    }
    void typeIn(const char *field, const QString &text)
    {
        QTest::mouseClick(edit(field), Qt::LeftButton);
        clearFocusedField();
        type(text);
    }

    QTemporaryDir m_config;
    int m_port = 0;
    std::optional<Service> m_server, m_proxy;
};

// modbuscalc serve as the device: a map's value, and a register that counts.
void LiveWindowTest::readsWhatModbuscalcServes()
{
    QFile map(m_config.filePath(QStringLiteral("served.csv")));
    QVERIFY(map.open(QIODevice::WriteOnly));
    map.write("1,1,7,4321\n");
    map.close();
    const int port = LocalPort(false).port();
    const Service served(
        { MODBUSCALC_PROGRAM, "serve", "-q", "--listen", "127.0.0.1:" + std::to_string(port),
            "--value-column", "4", "--ramp", "2312", map.fileName().toStdString() },
        [port] { return accepts(port); });
    QVERIFY(served.up());
    modbuscalc::LiveSettings settings;
    settings.port = port;
    settings.interval = 0.2;
    settings.timeout = 1;
    modbuscalc::StoreLiveSettings(settings);
    QVERIFY(openLive());
    typeIn("Address", QStringLiteral("2311"));
    QTRY_COMPARE_WITH_TIMEOUT(liveField("Value")->text(), QStringLiteral("4321"), 10000);
    typeIn("Address", QStringLiteral("2312"));
    QTRY_VERIFY_WITH_TIMEOUT(liveField("Value")->text().toInt() >= 1, 10000);
    const int first = liveField("Value")->text().toInt();
    QTRY_VERIFY_WITH_TIMEOUT(liveField("Value")->text().toInt() > first, 10000);
}

void LiveWindowTest::initTestCase()
{
    // The user's settings, in a folder of this test's own.
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    m_port = LocalPort(false).port();
    m_server.emplace(Service::python("modbus_server.py", { std::to_string(m_port) }),
        [this] { return accepts(m_port); });
    if (!m_server->up())
        QSKIP("the test server did not start (python3-pymodbus missing?)");
}

void LiveWindowTest::cleanupTestCase()
{
    m_proxy.reset();
    m_server.reset();
}

void LiveWindowTest::readThrough(std::vector<std::string> faults, double timeout)
{
    const int port = LocalPort(false).port();
    faults.insert(faults.begin(), { std::to_string(port), std::to_string(m_port) });
    m_proxy.reset();
    m_proxy.emplace(Service::python("fault_proxy.py", faults), [port] { return accepts(port); });
    QVERIFY(m_proxy->up());
    modbuscalc::LiveSettings settings;
    settings.port = port;
    settings.interval = 0.2;
    settings.timeout = timeout;
    modbuscalc::StoreLiveSettings(settings);
}

QWidget *LiveWindowTest::openLive()
{
    // As the context menu does it; the calculator keeps the focus.
    m_calc->findChild<QAction *>(QStringLiteral("LiveValueAction"))->trigger();
    QWidget *live = liveWindow();
    return live && live->isVisible() ? live : nullptr;
}

void LiveWindowTest::aCellTypedShowsItsValue()
{
    readThrough({}, 1);
    QVERIFY(openLive());
    typeIn("Table", QStringLiteral("1"));
    typeIn("Column", QStringLiteral("1"));
    typeIn("Row", QStringLiteral("7"));
    QCOMPARE(edit("Address")->text(), QStringLiteral("2311"));
    QTRY_COMPARE_WITH_TIMEOUT(liveField("Value")->text(), QStringLiteral("2311"), 10000);
    QCOMPARE(liveField("State")->text(), QStringLiteral("reading every 0.2 s"));
    QWidget *live = liveWindow();
    QCOMPARE(live->findChild<QLabel *>(QStringLiteral("Cell"))->text(),
        QStringLiteral("Table 1, Row 7, Column 1"));
    QVERIFY(live->findChild<QLabel *>(QStringLiteral("LastRead"))->text()
        != QString::fromUtf8(modbuscalc::NoValue.data()));
    // An address out of range reads nothing, and no time of a read before.
    typeIn("Table", QStringLiteral("32"));
    QCOMPARE(edit("Address")->text(), QStringLiteral("Error"));
    QCOMPARE(liveField("Value")->text(), QString::fromUtf8(modbuscalc::NoValue.data()));
    QCOMPARE(live->findChild<QLabel *>(QStringLiteral("LastRead"))->text(),
        QString::fromUtf8(modbuscalc::NoValue.data()));
}

void LiveWindowTest::modbusAddressingReadsTheSameRegister()
{
    readThrough({}, 1);
    QVERIFY(openLive());
    typeIn("Address", QStringLiteral("100"));
    QTRY_COMPARE_WITH_TIMEOUT(liveField("Value")->text(), QStringLiteral("100"), 10000);
    QTest::mouseClick(option("Modbus"), Qt::LeftButton);
    QCOMPARE(edit("Address")->text(), QStringLiteral("100")); // the cell is recalculated
    QCOMPARE(edit("Row")->text(), QStringLiteral("99"));
    // ... and the value follows the register the fields name now.
    QTRY_COMPARE_WITH_TIMEOUT(liveField("Value")->text(), QStringLiteral("99"), 10000);
    typeIn("Row", QStringLiteral("100"));
    QCOMPARE(edit("Address")->text(), QStringLiteral("101"));
    QTRY_COMPARE_WITH_TIMEOUT(liveField("Value")->text(), QStringLiteral("100"), 10000);
}

void LiveWindowTest::aSilentDeviceNeitherStopsTheTypingNorTheClosing()
{
    readThrough({ "silent" }, 0.5);
    QVERIFY(openLive());
    typeIn("Address", QStringLiteral("7"));
    QTRY_COMPARE_WITH_TIMEOUT(liveField("State")->text(), QStringLiteral("timeout"), 10000);
    // While the worker waits on the device, every key is calculated at once.
    typeIn("Table", QStringLiteral("2"));
    QCOMPARE(edit("Address")->text(), QStringLiteral("4103"));

    // Closing in the middle of a long timeout does not wait for it.
    readThrough({ "silent" }, 30);
    m_calc.reset();
    showCalc();
    QVERIFY(openLive());
    typeIn("Address", QStringLiteral("8"));
    QTest::qWait(300); // the worker is waiting on the device now
    QElapsedTimer closing;
    closing.start();
    liveWindow()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!liveWindow());
    QVERIFY2(closing.elapsed() < 10000, "closing waited for the device's timeout");
    // And the calculator too, its window open.
    QVERIFY(openLive());
    typeIn("Address", QStringLiteral("9"));
    QTest::qWait(300);
    closing.restart();
    m_calc.reset();
    QVERIFY2(closing.elapsed() < 10000, "closing waited for the device's timeout");
    showCalc();
}

void LiveWindowTest::theConnectionIsKeptBetweenRuns()
{
    readThrough({}, 1);
    QWidget *live = openLive();
    QVERIFY(live);
    // The user sets the connection in the dialog, and says OK.
    bool filled = false;
    QTimer::singleShot(0, this, [&filled] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog)
            return;
        dialog->findChild<QLineEdit *>(QStringLiteral("Host"))
            ->setText(QStringLiteral("plc.example"));
        dialog->findChild<QSpinBox *>(QStringLiteral("Port"))->setValue(1502);
        dialog->findChild<QSpinBox *>(QStringLiteral("Unit"))->setValue(17);
        dialog->findChild<QDoubleSpinBox *>(QStringLiteral("Interval"))->setValue(2.5);
        dialog->findChild<QDoubleSpinBox *>(QStringLiteral("Timeout"))->setValue(0.75);
        for (const char *name :
            { "Host", "Port", "Serial port", "Speed", "Parity", "Unit", "Interval", "Timeout" }) {
            const auto named = dialog->findChildren<QWidget *>();
            filled = std::any_of(named.begin(), named.end(),
                [name](QWidget *w) { return w->accessibleName() == QLatin1String(name); });
            if (!filled)
                return;
        }
        static_cast<QDialog *>(dialog)->accept();
    });
    QTest::mouseClick(live->findChild<QPushButton *>(QStringLiteral("Connection")), Qt::LeftButton);
    QVERIFY2(filled, "the dialog's fields are not all named");
    QCOMPARE(QString::fromStdString(modbuscalc::StoredLiveSettings().host),
        QStringLiteral("plc.example")); // kept once the user said OK
    live->findChild<QComboBox *>(QStringLiteral("Format"))->setCurrentText(QStringLiteral("f32"));

    // Another run of the program.
    m_calc.reset();
    showCalc();
    live = openLive();
    QVERIFY(live);
    QCOMPARE(live->findChild<QComboBox *>(QStringLiteral("Format"))->currentText(),
        QStringLiteral("f32"));
    const modbuscalc::LiveSettings kept = modbuscalc::StoredLiveSettings();
    QCOMPARE(QString::fromStdString(kept.host), QStringLiteral("plc.example"));
    QCOMPARE(kept.port, 1502);
    QCOMPARE(kept.unit, 17);
    QCOMPARE(kept.interval, 2.5);
    QCOMPARE(kept.timeout, 0.75);
    QCOMPARE(kept.format, modbuscalc::ValueFormat::F32);
}

QTEST_MAIN(LiveWindowTest)
#include "live_window_test.moc"
