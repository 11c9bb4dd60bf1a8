#pragma once

// The companion window beside the calculator: the live value of the cell
// the calculator's fields name, read on a worker thread.
//
// Data flow: the calculator's calculated() -> follow() -> LiveReader on its
// worker -> arrived(), emitted on the worker, queued to this window's
// thread -> showReading() -> the value and the state on screen. Typing never
// waits on the device.

#include "form/live_value.h"

#include <QDialog>
#include <QWidget>

#include <memory>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;

namespace modbuscalc {

class Calc;

// A combo box of the choices, named for screen readers, at the value.
QComboBox *ChoiceBox(
    const char *name, const std::vector<LiveChoice> &list, int value, QWidget *parent);

// The settings as the user's store keeps them between runs.
LiveSettings StoredLiveSettings();
void StoreLiveSettings(const LiveSettings &settings);

// Where and how to read: Modbus TCP or a serial line, the unit, the
// interval and the timeout. Its fields are named for screen readers: Host,
// Port, Serial port, Speed, Parity, Unit, Interval, Timeout.
class ConnectionDialog final : public QDialog {
    Q_OBJECT

public:
    ConnectionDialog(const LiveSettings &settings, QWidget *parent);
    // What the fields say, over the settings it was given.
    LiveSettings settings() const;

    void accept() override;

private:
    void showLink();

    LiveSettings m_given;
    QRadioButton *m_tcp, *m_serial;
    QLineEdit *m_host, *m_serialPort;
    QSpinBox *m_port, *m_unit;
    QComboBox *m_baud, *m_parity;
    QDoubleSpinBox *m_interval, *m_timeout;
    QLabel *m_problem;
};

class LiveWindow final : public QWidget {
    Q_OBJECT

public:
    // A tool window beside calc, reading what calc's fields name; deleted
    // when closed (and with calc), which stops its worker.
    explicit LiveWindow(Calc &calc);
    ~LiveWindow() override;

    // The calculator's fields changed: read what they name now.
    void follow();

signals:
    // A reading, emitted on the worker thread.
    void arrived(modbuscalc::LiveReading reading);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void showReading(const LiveReading &reading);
    void editConnection();
    void choose();

    Calc &m_calc;
    QLabel *m_cell, *m_address, *m_lastRead;
    QComboBox *m_type, *m_format, *m_order;
    QLineEdit *m_value, *m_state;
    LiveSettings m_settings;
    std::uint64_t m_generation = 0;
    bool m_placed = false;
    std::unique_ptr<LiveReader> m_reader; // last: its worker stops first
};

} // namespace modbuscalc
