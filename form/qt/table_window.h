#pragma once

// The table view beside the calculator: one table of the device's
// registers, live, as the calculator numbers cells: columns across, rows
// down.
//
// Data flow: the choosers, or the calculator's calculated() -> follow() ->
// TableReader on its worker -> arrived(), emitted on the worker, queued to
// this window's thread -> RegisterModel::take() -> dataChanged for the
// cells whose text changed. A cell selected -> Calc::showCell(). An edit
// confirmed with Enter -> RegisterModel::setData() -> TableReader::write().

#include "form/live_value.h"
#include "form/table_view.h"

#include <QAbstractTableModel>
#include <QTableView>
#include <QWidget>

#include <memory>

class QComboBox;
class QLabel;
class QSpinBox;
class QTimer;

namespace modbuscalc {

class Calc;

// The view's table, type, format and word order as the user's store keeps
// them between runs.
TableChoice StoredTableChoice();
void StoreTableChoice(const TableChoice &choice);

// The table's cells for a QTableView: 256 rows of 8 columns.
class RegisterModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    RegisterModel(Calc &calc, QObject *parent);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    // An edit confirmed: the value goes to the device once.
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;

    TableState &state() { return m_state; }
    void setReader(TableReader *reader) { m_reader = reader; }
    // Another table or type: every cell empty until read.
    void reset(const TableChoice &choice, std::uint64_t generation);
    void take(const TableReading &reading);
    void take(const WriteOutcome &outcome);
    // Ends the marks of changes that are no longer new; false once none is.
    bool unmark();
    // The cell the calculator names, or -1.
    void setNamed(int index);
    int named() const { return m_named; }
    QModelIndex indexOf(int cell) const;
    static int cellOf(const QModelIndex &index);

signals:
    void statusChanged();

private:
    void redraw(const std::vector<int> &cells);

    Calc &m_calc;
    TableState m_state;
    TableReader *m_reader = nullptr;
    int m_named = -1;
};

// The grid: Enter and F2 edit a cell, Copy copies the selection as a
// spreadsheet pastes it.
class RegisterGrid final : public QTableView {
    Q_OBJECT

public:
    explicit RegisterGrid(QWidget *parent);
    void copy();

protected:
    void keyPressEvent(QKeyEvent *event) override;
};

class TableWindow final : public QWidget {
    Q_OBJECT

public:
    // A window of its own beside calc, reading the table calc's fields are
    // in; deleted when closed (and with calc), which stops its worker at
    // once.
    explicit TableWindow(Calc &calc);
    ~TableWindow() override;

    // The calculator's fields changed: show the table of the cell they
    // name, and mark that cell.
    void follow();

signals:
    // Emitted on the worker thread.
    void arrived(modbuscalc::TableReading reading);
    void reported(modbuscalc::WriteOutcome outcome);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void choose();
    void read();
    void editConnection();
    void saveCsv();
    void showStatus();
    void selected(const QModelIndex &current);
    // Makes the calculator's cell the grid's current one, in sight.
    void showNamed();

    Calc &m_calc;
    QSpinBox *m_table;
    QComboBox *m_type, *m_format, *m_order;
    RegisterGrid *m_grid;
    RegisterModel *m_model;
    QLabel *m_status;
    QTimer *m_unmark;
    LiveSettings m_settings;
    TableChoice m_choice;
    bool m_placed = false;
    bool m_following = false; // the calculator moves the view: no echo back
    int m_followed = -2; // the register the calculator named last time
    std::unique_ptr<TableReader> m_reader; // last: its worker stops first
};

} // namespace modbuscalc
