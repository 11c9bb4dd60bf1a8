// The scenarios both windows share, run on the Qt window: keys through the
// QWindow to whichever control has the focus, mouse clicks on the controls.

#include "calc_window_fixture.h"
#include "window_scenarios.h"

class WindowScenariosTest : public CalcWindowFixture {
    Q_OBJECT

private slots:
    void run_data();
    void run();

private:
    static Qt::Key qtKey(scenarios::Key key);
    void perform(const scenarios::Step &step);
    void check(const scenarios::Step &step, int number);

    Qt::KeyboardModifiers m_held;
};

Qt::Key WindowScenariosTest::qtKey(scenarios::Key key)
{
    static constexpr std::array<Qt::Key, 12> Keys = { Qt::Key_unknown, Qt::Key_Tab, Qt::Key_Shift,
        Qt::Key_Control, Qt::Key_Down, Qt::Key_Up, Qt::Key_End, Qt::Key_V, Qt::Key_Left,
        Qt::Key_Right, Qt::Key_Home, Qt::Key_F5 }; // by scenarios::Key
    return Keys.at(static_cast<std::size_t>(key));
}

void WindowScenariosTest::run_data()
{
    QTest::addColumn<int>("index");
    for (std::size_t i = 0; i < scenarios::All.size(); ++i)
        QTest::newRow(std::string(scenarios::All[i].name).c_str()) << static_cast<int>(i);
}

void WindowScenariosTest::run()
{
    QFETCH(int, index);
    const scenarios::Scenario &scenario = scenarios::All.at(static_cast<std::size_t>(index));
    if (scenario.usesClipboard && !setClipboard(QStringLiteral("probe")))
        QSKIP("no clipboard on this display");
    if (scenario.usesOptionGroupKeys && !optionGroupKeysWork())
        QSKIP("the window is not active, so Qt does not move keys within the group");

    m_held = Qt::NoModifier;
    int number = 1;
    for (const scenarios::Step &step : scenario.steps) {
        perform(step);
        check(step, number++);
        if (QTest::currentTestFailed())
            return;
    }
}

void WindowScenariosTest::perform(const scenarios::Step &step)
{
    using enum scenarios::Action;
    const Qt::Key key = qtKey(step.key);
    const auto modifierOf = [](Qt::Key k) {
        return k == Qt::Key_Shift  ? Qt::ShiftModifier
            : k == Qt::Key_Control ? Qt::ControlModifier
                                   : Qt::NoModifier;
    };
    switch (step.action) {
    case Look:
        break;
    case Type:
        type(QString::fromUtf8(step.text.data(), static_cast<qsizetype>(step.text.size())));
        break;
    case Clear:
        click(Qt::Key_Home);
        click(Qt::Key_End, Qt::ShiftModifier);
        click(Qt::Key_Delete);
        break;
    case Press:
        m_held |= modifierOf(key);
        QTest::keyPress(window(), key, m_held);
        break;
    case Release:
        QTest::keyRelease(window(), key, m_held);
        m_held &= ~modifierOf(key);
        break;
    case Stroke:
        QTest::keyClick(window(), key, m_held);
        break;
    case Click: {
        const QString name
            = QString::fromUtf8(step.text.data(), static_cast<qsizetype>(step.text.size()));
        auto *control = m_calc->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
        QVERIFY2(control, qPrintable(name));
        QTest::mouseClick(control, Qt::LeftButton, Qt::NoModifier, control->rect().center());
        break;
    }
    case Paste:
        QVERIFY(setClipboard(
            QString::fromUtf8(step.text.data(), static_cast<qsizetype>(step.text.size()))));
        break;
    case Place: {
        auto *field = qobject_cast<QLineEdit *>(focus());
        QVERIFY2(field, "no field has the focus");
        field->setText(
            QString::fromUtf8(step.text.data(), static_cast<qsizetype>(step.text.size())));
        break;
    }
    }
}

void WindowScenariosTest::check(const scenarios::Step &step, int number)
{
    const auto q = [](std::string_view text) {
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    };
    if (!step.shown.caption.empty())
        verifyShown(Expected { q(step.shown.address), q(step.shown.table), q(step.shown.column),
                        q(step.shown.row), q(step.shown.caption) },
            number);
    if (!step.focus.empty())
        QCOMPARE(focus() ? focus()->objectName() : QString(), q(step.focus));
    if (!step.selected.empty())
        QVERIFY2(option(step.selected == "Modbus" ? "Modbus" : "Absolute")->isChecked(),
            qPrintable(QStringLiteral("step %1").arg(number)));
}

QTEST_MAIN(WindowScenariosTest)
#include "window_scenarios_test.moc"
