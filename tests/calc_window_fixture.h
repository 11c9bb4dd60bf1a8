#pragma once

// A calculator window shown and active, with the helpers that drive it the
// way the platform does: keys through the QWindow, to whichever control has
// the focus at that moment.

#include "form/qt/calc_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QRadioButton>
#include <QTest>

#include <memory>

struct Expected {
    QString address, table, column, row, caption;
};

class CalcWindowFixture : public QObject {
    Q_OBJECT

private slots: // Qt Test runs private slots only
    void init() { showCalc(); }

    void cleanup()
    {
        m_calc.reset();
        QLocale::setDefault(QLocale::c());
    }

protected:
    // A new calculator, shown and active: a run of the program.
    void showCalc()
    {
        m_calc = std::make_unique<modbuscalc::Calc>();
        m_calc->show();
        if (onWayland()) {
            // A Wayland client cannot activate its own window; keys sent
            // through the QWindow still reach the window's focus widget.
            QVERIFY(QTest::qWaitForWindowExposed(m_calc.get()));
        } else {
            m_calc->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(m_calc.get()));
        }
        // With the live-value window or the table view open beside it,
        // where the run asks for that: opened as the context menu opens it,
        // reading the device of the settings, nowhere to be had.
        const bool live = qEnvironmentVariableIsSet("MODBUSCALC_TEST_LIVE_OPEN");
        if (live || qEnvironmentVariableIsSet("MODBUSCALC_TEST_TABLE_OPEN")) {
            m_calc
                ->findChild<QAction *>(
                    live ? QStringLiteral("LiveValueAction") : QStringLiteral("TableViewAction"))
                ->trigger();
            const QString name = live ? QStringLiteral("LiveValue") : QStringLiteral("TableView");
            const auto windows = QApplication::topLevelWidgets();
            QVERIFY(std::any_of(windows.begin(), windows.end(), [&name](QWidget *window) {
                return window->objectName() == name && window->isVisible();
            }));
            if (!onWayland()) {
                // A platform that activates every window shown gives the
                // calculator back its own.
                QTest::qWait(50);
                m_calc->activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(m_calc.get()));
            }
        }
    }

    QWindow *window() const { return m_calc->windowHandle(); }
    QLineEdit *edit(const char *name) const
    {
        return m_calc->findChild<QLineEdit *>(QLatin1String(name));
    }
    QRadioButton *option(const char *name) const
    {
        return m_calc->findChild<QRadioButton *>(QLatin1String(name));
    }
    // The control that key events reach: the window's focus widget, which is
    // the application's too wherever the window can be active.
    QWidget *focus() const { return m_calc->focusWidget(); }
    // Qt moves the focus within and out of an option group through the
    // application's focus widget, which only an active window has; a window
    // on a compositor without a seat is never made active.
    bool optionGroupKeysWork() const { return m_calc->isActiveWindow(); }
    static bool onWayland() { return QGuiApplication::platformName().startsWith(u"wayland"); }
    // Puts text on the clipboard; false where there is none to put it on: a
    // Wayland clipboard belongs to a seat, and a headless compositor has none.
    static bool setClipboard(const QString &text)
    {
        QApplication::clipboard()->setText(text);
        return QApplication::clipboard()->text() == text;
    }

    void click(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(window(), key, modifiers);
    }
    void type(const QString &text)
    {
        for (QChar c : text)
            QTest::keyClick(window(), c.toLatin1());
    }
    // Select all and delete, as a user clears the focused field.
    void clearFocusedField()
    {
        click(Qt::Key_A, Qt::ControlModifier);
        click(Qt::Key_Backspace);
    }

    void verifyShown(const Expected &e, int line)
    {
        const QString where = QStringLiteral(" (line %1)").arg(line);
        QCOMPARE(edit("Address")->text() + where, e.address + where);
        QCOMPARE(edit("Table")->text() + where, e.table + where);
        QCOMPARE(edit("Column")->text() + where, e.column + where);
        QCOMPARE(edit("Row")->text() + where, e.row + where);
        QCOMPARE(m_calc->findChild<QLabel *>(QStringLiteral("Label1"))->text() + where,
            e.caption + where);
    }

    std::unique_ptr<modbuscalc::Calc> m_calc;
};

#define VERIFY_SHOWN(...) verifyShown(Expected { __VA_ARGS__ }, __LINE__)
