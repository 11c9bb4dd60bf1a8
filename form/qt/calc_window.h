#pragma once

// The calculator's one window.
//
// Data flow: a key released in a field (delivered by Qt to whichever field
// has the focus at that moment) or a selection in the option group
//   -> eventFilter() / the button group's idClicked
//   -> the handler of that control and event (form/handlers.h)
//   -> CalculateAddress or CalculateTables (form/calculations.h),
//      which read and write this window's controls through FieldSet
//   -> the new field texts and direction caption are on screen.
// Writing a control through FieldSet raises no handler: only key releases and
// the group's click signal are listened to, never text-change signals.
// After each handler, calculated() tells the live-value window and the table
// view, if open; both take turns on one device line.

#include "form/field_set.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <memory>

class QButtonGroup;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace modbuscalc {

struct ControlEntry;
class DeviceLine;
class LiveWindow;
class TableWindow;

class Calc final : public QWidget, public FieldSet {
    Q_OBJECT

public:
    // Builds every control at its initial value, with the focus in Address,
    // and runs Form_Load: the window is ready to show.
    explicit Calc(QWidget *parent = nullptr);
    // Closes the live-value window too.
    ~Calc() override;

    std::string text(Field field) const override;
    void setText(Field field, std::string text) override;
    bool modbusSelected() const override;
    std::string caption() const override;
    void setCaption(std::string caption) override;
    // The first character of the locale's decimal point, or '.' where that is
    // not a single ASCII character.
    char decimalSeparator() const override;

    // Shows the live-value window beside this one, made the first time: the
    // context menu's "Live value..." and Ctrl+L.
    void openLiveValue();
    // Shows the table view beside this one, made the first time: the
    // context menu's "Table view..." and Ctrl+T.
    void openTableView();

    // Names the cell in the fields, as typing it would, and calculates its
    // address.
    void showCell(int table, int column, int row);

    // The device line the companion windows share while either is open.
    std::shared_ptr<DeviceLine> deviceLine();
    // A companion window changed the stored connection: the others take it.
    void connectionChanged();

signals:
    // A handler ran: the fields may name another register.
    void calculated();
    // The stored connection changed.
    void connectionStored();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildControls();
    void bindEvents();
    QLineEdit *lineEdit(Field field) const;
    // Gives the logo the pixels of the screen's current density.
    void refreshLogo();

    std::array<QLineEdit *, 4> m_fields {}; // indexed by Field
    QRadioButton *m_absolute = nullptr;
    QRadioButton *m_modbus = nullptr;
    QButtonGroup *m_addressing = nullptr;
    QLabel *m_indicator = nullptr;
    QLabel *m_logo = nullptr;
    const ControlEntry *m_logoEntry = nullptr;
    bool m_watchingScreen = false;
    QPointer<LiveWindow> m_live;
    QPointer<TableWindow> m_table;
    // Held by the windows that read: with the last of them gone, the
    // device's connection is closed.
    std::weak_ptr<DeviceLine> m_line;
};

} // namespace modbuscalc
