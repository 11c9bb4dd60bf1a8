#include "form/qt/table_window.h"

#include "form/qt/calc_window.h"
#include "form/qt/live_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <utility>

namespace modbuscalc {

namespace {

QString toQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QSettings store()
{
    return QSettings(QStringLiteral("modbus-calculator"), QStringLiteral("modbus-calculator"));
}

const QString Group = QStringLiteral("table-view");

// A value goes to the device only when its editor is confirmed with Enter:
// leaving the cell, Tab or a click elsewhere sends nothing.
class ConfirmedEdit final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *editor = qobject_cast<QWidget *>(object);
        if (!editor)
            return QStyledItemDelegate::eventFilter(object, event);
        if (event->type() == QEvent::FocusOut) {
            emit closeEditor(editor, NoHint);
            return true;
        }
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent *>(event)->key();
            if (key == Qt::Key_Tab || key == Qt::Key_Backtab) {
                emit closeEditor(editor, NoHint);
                return true;
            }
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }
};

} // namespace

TableChoice StoredTableChoice()
{
    QSettings settings = store();
    settings.beginGroup(Group);
    return TableChoice::FromPairs([&settings](std::string_view key) -> std::optional<std::string> {
        const QString name = toQString(key);
        if (!settings.contains(name))
            return std::nullopt;
        return settings.value(name).toString().toStdString();
    });
}

void StoreTableChoice(const TableChoice &choice)
{
    QSettings settings = store();
    settings.beginGroup(Group);
    for (const auto &[key, value] : choice.toPairs())
        settings.setValue(toQString(key), toQString(value));
}

RegisterModel::RegisterModel(Calc &calc, QObject *parent)
    : QAbstractTableModel(parent)
    , m_calc(calc)
{
}

int RegisterModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : TableRows;
}

int RegisterModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : TableColumns;
}

QModelIndex RegisterModel::indexOf(int cell) const
{
    return index(RowOf(cell), ColumnOf(cell));
}

int RegisterModel::cellOf(const QModelIndex &index)
{
    return CellIndex(index.column(), index.row());
}

QVariant RegisterModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const int cell = cellOf(index);
    switch (role) {
    case Qt::DisplayRole:
        return toQString(m_state.text(cell));
    case Qt::EditRole:
        return m_state.kind(cell) == CellKind::Value ? toQString(m_state.text(cell)) : QString();
    case Qt::ToolTipRole:
        return toQString(CellNotes(m_state.choice(), cell, m_calc.modbusSelected()));
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::FontRole:
        if (cell == m_named) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        return {};
    case Qt::BackgroundRole: {
        // Tints, so that they read on a light or a dark scheme alike.
        if (m_state.marked(cell))
            return QColor(255, 193, 7, 110); // amber: it just changed
        if (cell == m_named)
            return QColor(33, 150, 243, 70); // blue: the calculator's cell
        return {};
    }
    case Qt::ForegroundRole:
        if (m_state.kind(cell) != CellKind::Value)
            return QApplication::palette().color(QPalette::PlaceholderText);
        return {};
    default:
        return {};
    }
}

QVariant RegisterModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return QStringLiteral("Column %1").arg(section);
    return QString::number(section);
}

Qt::ItemFlags RegisterModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.isValid() && m_state.editable(cellOf(index)))
        flags |= Qt::ItemIsEditable;
    return flags;
}

bool RegisterModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || !m_reader)
        return false;
    const int cell = cellOf(index);
    const std::string text = value.toString().toStdString();
    const auto sent = m_reader->write(cell, text);
    if (const auto *why = std::get_if<std::string>(&sent)) {
        m_state.refused(cell, *why);
        emit statusChanged();
        return false;
    }
    auto words = CellWords(m_state.choice(), text);
    m_state.writing(cell, std::get<std::uint64_t>(sent),
        std::get<std::vector<std::uint16_t>>(std::move(words)));
    redraw({ cell });
    return true;
}

void RegisterModel::redraw(const std::vector<int> &cells)
{
    for (const int cell : cells) {
        const QModelIndex at = indexOf(cell);
        emit dataChanged(at, at, { Qt::DisplayRole, Qt::BackgroundRole, Qt::ForegroundRole });
    }
}

void RegisterModel::reset(const TableChoice &choice, std::uint64_t generation)
{
    beginResetModel();
    m_state.reset(choice, generation);
    endResetModel();
    emit statusChanged();
}

void RegisterModel::take(const TableReading &reading)
{
    if (reading.generation != m_state.generation())
        return;
    redraw(m_state.take(reading, TableState::Clock::now()));
    emit statusChanged();
}

void RegisterModel::take(const WriteOutcome &outcome)
{
    redraw(m_state.take(outcome, TableState::Clock::now()));
    emit statusChanged();
}

bool RegisterModel::unmark()
{
    redraw(m_state.unmark(TableState::Clock::now()));
    for (int cell = 0; cell < TableCells; ++cell)
        if (m_state.marked(cell))
            return true;
    return false;
}

void RegisterModel::setNamed(int index)
{
    if (index == m_named)
        return;
    const int before = m_named;
    m_named = index;
    for (const int cell : { before, index })
        if (cell >= 0) {
            const QModelIndex at = indexOf(cell);
            emit dataChanged(at, at, { Qt::FontRole, Qt::BackgroundRole });
        }
}

RegisterGrid::RegisterGrid(QWidget *parent)
    : QTableView(parent)
{
    setObjectName(QStringLiteral("Registers"));
    setAccessibleName(QStringLiteral("Registers"));
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    setItemDelegate(new ConfirmedEdit(this));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setWordWrap(false);
    verticalHeader()->setDefaultAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void RegisterGrid::copy()
{
    auto *registers = static_cast<RegisterModel *>(model());
    std::vector<int> cells;
    for (const QModelIndex &index : selectionModel()->selectedIndexes())
        cells.push_back(RegisterModel::cellOf(index));
    if (cells.empty())
        return;
    QApplication::clipboard()->setText(toQString(registers->state().tabSeparated(cells)));
}

void RegisterGrid::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    // Enter edits the cell, as F2 does; in the editor it confirms.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && state() != QAbstractItemView::EditingState && currentIndex().isValid()) {
        edit(currentIndex());
        return;
    }
    QTableView::keyPressEvent(event);
}

TableWindow::TableWindow(Calc &calc)
    : QWidget(nullptr, Qt::Window)
    , m_calc(calc)
    , m_settings(StoredLiveSettings())
    , m_choice(StoredTableChoice())
{
    setWindowTitle(QStringLiteral("Table view"));
    setObjectName(QStringLiteral("TableView"));
    setAccessibleName(QStringLiteral("Table view"));
    setAttribute(Qt::WA_DeleteOnClose);
    qRegisterMetaType<TableReading>();
    qRegisterMetaType<WriteOutcome>();

    m_table = new QSpinBox(this);
    m_table->setObjectName(QStringLiteral("Table"));
    m_table->setAccessibleName(QStringLiteral("Table"));
    m_table->setRange(0, TableCount - 1);
    m_table->setValue(m_choice.table);
    m_type = ChoiceBox("Type", LiveTypes, static_cast<int>(m_choice.type), this);
    m_format = ChoiceBox("Format", LiveFormats, static_cast<int>(m_choice.format), this);
    m_order = ChoiceBox("Word order", LiveWordOrders, static_cast<int>(m_choice.order), this);
    m_order->setObjectName(QStringLiteral("WordOrder"));
    auto *connection = new QPushButton(QStringLiteral("Connection\u2026"), this);
    connection->setObjectName(QStringLiteral("Connection"));
    auto *save = new QPushButton(QStringLiteral("Save as CSV\u2026"), this);
    save->setObjectName(QStringLiteral("SaveCsv"));

    auto *choosers = new QHBoxLayout;
    const auto labelled = [&](const QString &text, QWidget *field) {
        auto *label = new QLabel(text, this);
        label->setBuddy(field);
        choosers->addWidget(label);
        choosers->addWidget(field);
    };
    labelled(QStringLiteral("T&able"), m_table);
    labelled(QStringLiteral("T&ype"), m_type);
    labelled(QStringLiteral("&Format"), m_format);
    labelled(QStringLiteral("&Word order"), m_order);
    choosers->addStretch();
    choosers->addWidget(connection);
    choosers->addWidget(save);

    m_model = new RegisterModel(calc, this);
    m_grid = new RegisterGrid(this);
    m_grid->setModel(m_model);
    // Room for a 32-bit value in every column, and rows as tight as text.
    const int cellWidth = fontMetrics().horizontalAdvance(QStringLiteral("-2147483648")) + 16;
    m_grid->horizontalHeader()->setMinimumSectionSize(cellWidth);
    m_grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_grid->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("Status"));
    m_status->setAccessibleName(QStringLiteral("Status"));
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(choosers);
    layout->addWidget(m_grid, 1);
    layout->addWidget(m_status);

    // The grid's context menu. Ctrl+C is the grid's own key: a shortcut
    // would be matched against every key typed in the calculator too.
    auto *copy = new QAction(QStringLiteral("Copy\tCtrl+C"), this);
    connect(copy, &QAction::triggered, m_grid, &RegisterGrid::copy);
    auto *saveAction = new QAction(QStringLiteral("Save as CSV\u2026"), this);
    saveAction->setObjectName(QStringLiteral("SaveCsvAction"));
    connect(saveAction, &QAction::triggered, this, &TableWindow::saveCsv);
    m_grid->addAction(copy);
    m_grid->addAction(saveAction);
    m_grid->setContextMenuPolicy(Qt::ActionsContextMenu);

    m_unmark = new QTimer(this);
    m_unmark->setInterval(250);
    connect(m_unmark, &QTimer::timeout, this, [this] {
        if (!m_model->unmark())
            m_unmark->stop();
    });

    connect(m_table, &QSpinBox::valueChanged, this, &TableWindow::choose);
    for (QComboBox *box : { m_type, m_format, m_order })
        connect(box, &QComboBox::currentIndexChanged, this, &TableWindow::choose);
    connect(connection, &QPushButton::clicked, this, &TableWindow::editConnection);
    connect(save, &QPushButton::clicked, this, &TableWindow::saveCsv);
    connect(m_model, &RegisterModel::statusChanged, this, &TableWindow::showStatus);
    connect(m_grid->selectionModel(), &QItemSelectionModel::currentChanged, this,
        &TableWindow::selected);
    connect(
        this, &TableWindow::arrived, this,
        [this](const TableReading &reading) {
            m_model->take(reading);
            if (!m_unmark->isActive())
                m_unmark->start();
        },
        Qt::QueuedConnection);
    connect(
        this, &TableWindow::reported, m_model,
        [this](const WriteOutcome &outcome) { m_model->take(outcome); }, Qt::QueuedConnection);
    connect(&calc, &Calc::calculated, this, &TableWindow::follow);
    connect(&calc, &Calc::connectionStored, this, [this] {
        m_settings = StoredLiveSettings();
        read();
    });

    m_reader = std::make_unique<TableReader>(
        [this](TableReading reading) { emit arrived(std::move(reading)); },
        [this](WriteOutcome outcome) { emit reported(std::move(outcome)); }, calc.deviceLine());
    m_model->setReader(m_reader.get());
    resize(TableColumns * cellWidth + fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 48,
        fontMetrics().height() * 34);
    m_grid->setFocus(Qt::OtherFocusReason);
    follow();
    read();
}

TableWindow::~TableWindow()
{
    m_model->setReader(nullptr);
}

void TableWindow::showEvent(QShowEvent *event)
{
    if (!m_placed) {
        move(m_calc.frameGeometry().bottomLeft() + QPoint(0, 8));
        m_placed = true;
    }
    QWidget::showEvent(event);
}

void TableWindow::follow()
{
    const std::optional<LiveTarget> target = TargetOf(m_calc);
    // Most keys leave the cell as it was: nothing to move then.
    const int pdu = target ? target->pdu : -1;
    if (std::exchange(m_followed, pdu) == pdu)
        return;
    if (!target) {
        m_model->setNamed(-1);
        return;
    }
    m_following = true;
    if (const int table = pdu / TableCells; table != m_table->value())
        m_table->setValue(table); // reads the calculator's table
    m_model->setNamed(pdu % TableCells);
    showNamed();
    m_following = false;
}

void TableWindow::showNamed()
{
    const int cell = m_model->named();
    if (cell < 0)
        return;
    const QModelIndex at = m_model->indexOf(cell);
    // The grid's own current cell, lest it pick the first and tell the
    // calculator so; a selection the user is making is left alone.
    if (m_grid->currentIndex() != at) {
        const bool following = std::exchange(m_following, true);
        m_grid->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect);
        m_following = following;
    }
    m_grid->scrollTo(at);
}

void TableWindow::choose()
{
    m_choice.table = m_table->value();
    m_choice.type = static_cast<RegisterType>(m_type->currentData().toInt());
    m_choice.format = static_cast<ValueFormat>(m_format->currentData().toInt());
    m_choice.order = static_cast<WordOrder>(m_order->currentData().toInt());
    const bool bits = device::IsBits(m_choice.type);
    m_format->setEnabled(!bits);
    m_order->setEnabled(!bits);
    StoreTableChoice(m_choice);
    read();
}

void TableWindow::read()
{
    const bool bits = device::IsBits(m_choice.type);
    m_format->setEnabled(!bits);
    m_order->setEnabled(!bits);
    const std::uint64_t generation = m_reader->follow(m_choice, m_settings);
    if (generation != m_model->state().generation()) {
        m_model->reset(m_choice, generation);
        // The calculator's cell is marked in its own table only.
        const bool here = m_followed >= 0 && m_followed / TableCells == m_choice.table;
        m_model->setNamed(here ? m_followed % TableCells : -1);
        showNamed();
    }
}

void TableWindow::editConnection()
{
    ConnectionDialog dialog(StoredLiveSettings(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    StoreLiveSettings(dialog.settings());
    m_calc.connectionChanged();
}

void TableWindow::saveCsv()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save as CSV"),
        QStringLiteral("table-%1.csv").arg(m_choice.table), QStringLiteral("CSV (*.csv)"));
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    const std::string text = m_model->state().csv(m_calc.modbusSelected());
    if (!file.open(QIODevice::WriteOnly)
        || file.write(text.data(), static_cast<qint64>(text.size()))
            != static_cast<qint64>(text.size())
        || !file.commit()) {
        m_status->setText(QStringLiteral("Not saved: ") + file.errorString());
        return;
    }
    m_status->setText(QStringLiteral("Saved ") + path);
}

void TableWindow::showStatus()
{
    m_status->setText(toQString(m_model->state().status(m_settings)));
}

void TableWindow::selected(const QModelIndex &current)
{
    if (m_following || !current.isValid())
        return;
    const int cell = RegisterModel::cellOf(current);
    m_calc.showCell(m_choice.table, ColumnOf(cell), RowOf(cell));
}

} // namespace modbuscalc
