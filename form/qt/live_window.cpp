#include "form/qt/live_window.h"

#include "form/qt/calc_window.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QWindow>

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

const QString Group = QStringLiteral("live-value");

} // namespace

QComboBox *ChoiceBox(
    const char *name, const std::vector<LiveChoice> &list, int value, QWidget *parent)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setAccessibleName(QLatin1String(name));
    for (const LiveChoice &choice : list)
        box->addItem(toQString(choice.name), choice.value);
    box->setCurrentIndex(std::max(0, box->findData(value)));
    return box;
}

namespace {

// A field a user can select and copy from, but not change.
QLineEdit *readOnly(const char *name, QWidget *parent)
{
    auto *edit = new QLineEdit(toQString(NoValue), parent);
    edit->setObjectName(QLatin1String(name));
    edit->setAccessibleName(QLatin1String(name));
    edit->setReadOnly(true);
    return edit;
}

template <typename Widget> Widget *named(Widget *widget, const char *name)
{
    widget->setObjectName(QString::fromLatin1(name).remove(u' '));
    widget->setAccessibleName(QLatin1String(name));
    return widget;
}

} // namespace

LiveSettings StoredLiveSettings()
{
    QSettings settings = store();
    settings.beginGroup(Group);
    return LiveSettings::FromPairs([&settings](std::string_view key) -> std::optional<std::string> {
        const QString name = toQString(key);
        if (!settings.contains(name))
            return std::nullopt;
        return settings.value(name).toString().toStdString();
    });
}

void StoreLiveSettings(const LiveSettings &live)
{
    QSettings settings = store();
    settings.beginGroup(Group);
    for (const auto &[key, value] : live.toPairs())
        settings.setValue(toQString(key), toQString(value));
}

ConnectionDialog::ConnectionDialog(const LiveSettings &settings, QWidget *parent)
    : QDialog(parent)
    , m_given(settings)
{
    setWindowTitle(QStringLiteral("Connection"));
    setObjectName(QStringLiteral("Connection"));
    auto *form = new QFormLayout;
    m_tcp = named(new QRadioButton(QStringLiteral("Modbus TCP"), this), "Modbus TCP");
    m_serial = named(new QRadioButton(QStringLiteral("Serial line (RTU)"), this), "Serial line");
    auto *links = new QHBoxLayout;
    links->addWidget(m_tcp);
    links->addWidget(m_serial);
    form->addRow(links);
    m_host = named(new QLineEdit(toQString(settings.host), this), "Host");
    m_host->setPlaceholderText(QStringLiteral("name, IPv4 or IPv6 address"));
    form->addRow(QStringLiteral("&Host"), m_host);
    m_port = named(new QSpinBox(this), "Port");
    m_port->setRange(1, 65535);
    m_port->setValue(settings.port);
    form->addRow(QStringLiteral("&Port"), m_port);
    m_serialPort = named(new QLineEdit(toQString(settings.serialPort), this), "Serial port");
    m_serialPort->setPlaceholderText(QStringLiteral("/dev/ttyUSB0"));
    form->addRow(QStringLiteral("&Serial port"), m_serialPort);
    m_baud = named(new QComboBox(this), "Speed");
    m_baud->setEditable(true);
    for (const int baud : LiveSpeeds)
        m_baud->addItem(QString::number(baud));
    m_baud->setCurrentText(QString::number(settings.baud));
    form->addRow(QStringLiteral("Spee&d"), m_baud);
    m_parity = ChoiceBox("Parity", LiveParities, settings.parity, this);
    form->addRow(QStringLiteral("P&arity"), m_parity);
    m_unit = named(new QSpinBox(this), "Unit");
    m_unit->setRange(0, 255);
    m_unit->setValue(settings.unit);
    form->addRow(QStringLiteral("&Unit"), m_unit);
    m_interval = named(new QDoubleSpinBox(this), "Interval");
    m_interval->setRange(0.05, 86400);
    m_interval->setDecimals(2);
    m_interval->setSuffix(QStringLiteral(" s"));
    m_interval->setValue(settings.interval);
    form->addRow(QStringLiteral("&Interval"), m_interval);
    m_timeout = named(new QDoubleSpinBox(this), "Timeout");
    m_timeout->setRange(0.05, 3600);
    m_timeout->setDecimals(2);
    m_timeout->setSuffix(QStringLiteral(" s"));
    m_timeout->setValue(settings.timeout);
    form->addRow(QStringLiteral("&Timeout"), m_timeout);
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("Problem"));
    form->addRow(m_problem);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &ConnectionDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ConnectionDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);

    (settings.serial ? m_serial : m_tcp)->setChecked(true);
    connect(m_tcp, &QRadioButton::toggled, this, &ConnectionDialog::showLink);
    showLink();
}

void ConnectionDialog::showLink()
{
    const bool serial = m_serial->isChecked();
    for (QWidget *tcp : { static_cast<QWidget *>(m_host), static_cast<QWidget *>(m_port) })
        tcp->setEnabled(!serial);
    for (QWidget *line : { static_cast<QWidget *>(m_serialPort), static_cast<QWidget *>(m_baud),
             static_cast<QWidget *>(m_parity) })
        line->setEnabled(serial);
}

LiveSettings ConnectionDialog::settings() const
{
    LiveSettings settings = m_given;
    settings.serial = m_serial->isChecked();
    settings.host = m_host->text().trimmed().toStdString();
    settings.port = m_port->value();
    settings.serialPort = m_serialPort->text().trimmed().toStdString();
    settings.baud = m_baud->currentText().toInt();
    settings.parity = static_cast<char>(m_parity->currentData().toInt());
    settings.unit = m_unit->value();
    settings.interval = m_interval->value();
    settings.timeout = m_timeout->value();
    return settings;
}

void ConnectionDialog::accept()
{
    LiveSettings chosen = settings();
    if (chosen.baud <= 0) {
        m_problem->setText(QStringLiteral("The speed is a number of bits a second."));
        return;
    }
    if (const std::optional<std::string> problem = chosen.problem()) {
        QString text = toQString(*problem);
        text[0] = text[0].toUpper();
        m_problem->setText(text + u'.');
        return;
    }
    QDialog::accept();
}

LiveWindow::LiveWindow(Calc &calc)
    : QWidget(nullptr, Qt::Tool) // a window of its own: the calculator's tab order stays its own
    , m_calc(calc)
    , m_settings(StoredLiveSettings())
{
    setWindowTitle(QStringLiteral("Live value"));
    setObjectName(QStringLiteral("LiveValue"));
    setAttribute(Qt::WA_DeleteOnClose);
    // Beside the calculator, which keeps the focus its user gave it.
    setAttribute(Qt::WA_ShowWithoutActivating);
    qRegisterMetaType<LiveReading>();

    m_cell = new QLabel(this);
    m_cell->setObjectName(QStringLiteral("Cell"));
    m_address = new QLabel(this);
    m_address->setObjectName(QStringLiteral("Address"));
    m_type = ChoiceBox("Type", LiveTypes, static_cast<int>(m_settings.type), this);
    m_format = ChoiceBox("Format", LiveFormats, static_cast<int>(m_settings.format), this);
    m_order = ChoiceBox("Word order", LiveWordOrders, static_cast<int>(m_settings.order), this);
    m_order->setObjectName(QStringLiteral("WordOrder"));
    m_value = readOnly("Value", this);
    QFont large = m_value->font();
    large.setPointSizeF(large.pointSizeF() * 1.5);
    m_value->setFont(large);
    m_lastRead = new QLabel(toQString(NoValue), this);
    m_lastRead->setObjectName(QStringLiteral("LastRead"));
    m_state = readOnly("State", this);
    auto *connection = new QPushButton(QStringLiteral("Connection\u2026"), this);
    connection->setObjectName(QStringLiteral("Connection"));
    connection->setAccessibleName(QStringLiteral("Connection\u2026"));

    auto *form = new QFormLayout(this);
    form->addRow(QStringLiteral("Cell"), m_cell);
    form->addRow(QStringLiteral("Address"), m_address);
    form->addRow(QStringLiteral("&Type"), m_type);
    form->addRow(QStringLiteral("&Format"), m_format);
    form->addRow(QStringLiteral("&Word order"), m_order);
    form->addRow(QStringLiteral("&Value"), m_value);
    form->addRow(QStringLiteral("Last good read"), m_lastRead);
    form->addRow(QStringLiteral("&State"), m_state);
    form->addRow(connection);

    for (QComboBox *box : { m_type, m_format, m_order })
        connect(box, &QComboBox::currentIndexChanged, this, &LiveWindow::choose);
    connect(connection, &QPushButton::clicked, this, &LiveWindow::editConnection);
    connect(this, &LiveWindow::arrived, this, &LiveWindow::showReading, Qt::QueuedConnection);
    connect(&calc, &Calc::calculated, this, &LiveWindow::follow);

    connect(&calc, &Calc::connectionStored, this, [this] {
        m_settings = StoredLiveSettings();
        follow();
    });
    m_reader = std::make_unique<LiveReader>(
        [this](LiveReading reading) { emit arrived(std::move(reading)); }, calc.deviceLine());
    follow();
}

LiveWindow::~LiveWindow() = default;

void LiveWindow::showEvent(QShowEvent *event)
{
    if (!m_placed) {
        // Beside the calculator, and kept with it by the window manager.
        if (windowHandle() && m_calc.windowHandle())
            windowHandle()->setTransientParent(m_calc.windowHandle());
        move(m_calc.frameGeometry().topRight() + QPoint(8, 0));
        m_placed = true;
    }
    QWidget::showEvent(event);
}

void LiveWindow::follow()
{
    const std::optional<LiveTarget> target = TargetOf(m_calc);
    m_cell->setText(target ? toQString(target->cell) : toQString(NoValue));
    m_address->setText(target ? toQString(target->address) : toQString(NoValue));
    const std::uint64_t generation = m_reader->follow(target, m_settings);
    if (generation == m_generation)
        return;
    m_generation = generation;
    // Until the device answers: nothing that could pass for the new cell's,
    // nor a time of the cell or device before.
    m_value->setText(toQString(NoValue));
    m_lastRead->setText(toQString(NoValue));
    m_state->setText(target ? QStringLiteral("reading") : QString());
}

void LiveWindow::choose()
{
    m_settings.type = static_cast<RegisterType>(m_type->currentData().toInt());
    m_settings.format = static_cast<ValueFormat>(m_format->currentData().toInt());
    m_settings.order = static_cast<WordOrder>(m_order->currentData().toInt());
    StoreLiveSettings(m_settings);
    follow();
}

void LiveWindow::editConnection()
{
    ConnectionDialog dialog(m_settings, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_settings = dialog.settings();
    StoreLiveSettings(m_settings);
    m_calc.connectionChanged();
}

void LiveWindow::showReading(const LiveReading &reading)
{
    if (reading.generation != m_generation)
        return; // for a cell or settings no longer shown
    m_value->setText(toQString(reading.value));
    m_state->setText(toQString(reading.state));
    if (reading.ok)
        m_lastRead->setText(toQString(reading.time));
}

} // namespace modbuscalc
