#include "form/qt/calc_window.h"

#include "form/address_notes.h"
#include "form/calc_layout.h"
#include "form/calculations.h"
#include "form/device_line.h"
#include "form/handlers.h"
#include "form/qt/live_window.h"
#include "form/qt/table_window.h"

#include <QAction>
#include <QButtonGroup>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPixmap>
#include <QRadioButton>
#include <QToolTip>
#include <QWindow>

#include <algorithm>

namespace modbuscalc {

namespace {

QString toQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QRect rectOf(const ControlEntry &entry)
{
    return { pixels(entry.left), pixels(entry.top), pixels(entry.width), pixels(entry.height) };
}

// The classic Windows dialog face where it exists; elsewhere a face with
// nearly the same widths, so that every caption fits its fixed box. Each
// platform asks first for the face it is likely to have: looking up a
// missing family costs a fontconfig search at start-up.
QFont dialogFont()
{
    const QStringList classic
        = { QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif") };
    const QStringList lookalikes
        = { QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial") };
#ifdef Q_OS_WIN
    const QStringList families = classic + lookalikes;
#else
    const QStringList families = lookalikes + classic;
#endif
    QFont font;
    font.setFamilies(families);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(FontOf(FontRole::Default).quarterPoints / 4.0);
    return font;
}

QFont fontFor(FontRole role)
{
    const FontStyle &style = FontOf(role);
    QFont font = dialogFont();
    font.setPointSizeF(style.quarterPoints / 4.0);
    font.setBold(style.bold);
    font.setItalic(style.italic);
    return font;
}

QColor colour(Rgb rgb)
{
    return QColor(rgb.red, rgb.green, rgb.blue);
}

// A fixed white background with black text on it, whatever the desktop's
// colour scheme: a dark scheme's light text would vanish on the white. Only
// these roles are set, so the fields below keep the desktop's own colours.
void paintOnWhite(QWidget *widget)
{
    // Buttons fill with the Button role, labels and the window with Window;
    // labels and option texts are drawn in WindowText.
    QPalette palette = widget->palette();
    palette.setColor(widget->backgroundRole(), colour(FaceColour));
    palette.setColor(QPalette::WindowText, colour(TextColour));
    palette.setColor(QPalette::ButtonText, colour(TextColour));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

// The logo in the pixels of a screen of the given density: the rendering
// made for that density where one ships, else the next sharper one scaled
// down, so that it is never enlarged on a high-density screen.
QPixmap logoPixmap(const ControlEntry &entry, qreal ratio)
{
    const LogoDensity &density = LogoDensities[LogoDensityFor(qRound(ratio * 100))];
    QString path = QStringLiteral(":/modbuscalc/") + toQString(entry.text);
    path.insert(path.lastIndexOf(u'.'), toQString(density.suffix));
    QPixmap pixmap(path);
    const QSize wanted = QSizeF(pixels(entry.width) * ratio, pixels(entry.height) * ratio).toSize();
    if (!pixmap.isNull() && pixmap.size() != wanted)
        pixmap = pixmap.scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

Qt::Alignment qtAlignment(Alignment alignment)
{
    switch (alignment) {
    case Alignment::Left:
        break;
    case Alignment::Right:
        return Qt::AlignRight | Qt::AlignTop;
    case Alignment::Centre:
        return Qt::AlignHCenter | Qt::AlignTop;
    }
    return Qt::AlignLeft | Qt::AlignTop;
}

std::size_t indexOf(Field field)
{
    return static_cast<std::size_t>(field);
}

} // namespace

Calc::Calc(QWidget *parent)
    : QWidget(parent)
{
    setWindowTitle(toQString(WindowCaption));
    setObjectName(QStringLiteral("Calc"));
    paintOnWhite(this);
    // The desktop's own font can be far larger than the boxes allow.
    setFont(dialogFont());
    setFixedSize(pixels(ClientWidthTwips), pixels(ClientHeightTwips));

    buildControls();
    bindEvents();
    lineEdit(Field::Address)->setFocus(Qt::OtherFocusReason);
    Form_Load(*this);

    // The live value, from the window's context menu or Ctrl+L; its window
    // and the device code start only when asked for.
    auto *live = new QAction(QStringLiteral("Live value\u2026"), this);
    live->setObjectName(QStringLiteral("LiveValueAction"));
    live->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    live->setShortcutVisibleInContextMenu(true);
    addAction(live);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(live, &QAction::triggered, this, &Calc::openLiveValue);
    auto *table = new QAction(QStringLiteral("Table view\u2026"), this);
    table->setObjectName(QStringLiteral("TableViewAction"));
    table->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    table->setShortcutVisibleInContextMenu(true);
    addAction(table);
    connect(table, &QAction::triggered, this, &Calc::openTableView);
}

Calc::~Calc()
{
    delete m_live.data();
    delete m_table.data();
}

std::shared_ptr<DeviceLine> Calc::deviceLine()
{
    std::shared_ptr<DeviceLine> line = m_line.lock();
    if (!line) {
        line = std::make_shared<DeviceLine>();
        m_line = line;
    }
    return line;
}

void Calc::connectionChanged()
{
    emit connectionStored();
}

void Calc::openTableView()
{
    if (!m_table)
        m_table = new TableWindow(*this);
    m_table->show();
    m_table->raise();
    m_table->activateWindow();
}

void Calc::showCell(int table, int column, int row)
{
    setText(Field::Table, std::to_string(table));
    setText(Field::Column, std::to_string(column));
    setText(Field::Row, std::to_string(row));
    CalculateAddress(*this);
    emit calculated();
}

void Calc::openLiveValue()
{
    if (!m_live)
        m_live = new LiveWindow(*this);
    m_live->show();
    m_live->raise();
}

void Calc::buildControls()
{
    QWidget *previousInTabOrder = nullptr;
    std::array<QLabel *, 4> captions {}; // indexed by Field

    for (const ControlEntry &entry : layout::CalcLayout) {
        QWidget *control = nullptr;
        const QString text = toQString(entry.text);

        switch (entry.kind) {
        case ControlKind::TextField: {
            auto *edit = new QLineEdit(text, this);
            m_fields.at(indexOf(entry.field)) = edit;
            control = edit;
            break;
        }
        case ControlKind::OptionButton: {
            auto *button = new QRadioButton(text, this);
            (entry.role == ControlRole::ModbusOption ? m_modbus : m_absolute) = button;
            paintOnWhite(button);
            control = button;
            break;
        }
        case ControlKind::Label: {
            auto *label = new QLabel(text, this);
            label->setTextFormat(Qt::PlainText); // no markup, no access keys
            label->setWordWrap(false);
            label->setAlignment(qtAlignment(entry.alignment));
            paintOnWhite(label);
            if (entry.role == ControlRole::DirectionLabel) {
                m_indicator = label;
                QPalette palette = label->palette();
                palette.setColor(QPalette::WindowText, colour(IndicatorColour));
                label->setPalette(palette);
            } else if (entry.role == ControlRole::FieldLabel) {
                captions.at(indexOf(entry.field)) = label;
            }
            control = label;
            break;
        }
        case ControlKind::Picture: {
            m_logo = new QLabel(this);
            m_logoEntry = &entry;
            m_logo->setAlignment(qtAlignment(entry.alignment));
            control = m_logo;
            break;
        }
        }

        control->setObjectName(toQString(entry.name));
        control->setGeometry(rectOf(entry));
        control->setFont(fontFor(entry.font));

        if (entry.kind == ControlKind::TextField || entry.kind == ControlKind::OptionButton) {
            if (previousInTabOrder)
                setTabOrder(previousInTabOrder, control);
            previousInTabOrder = control;
        }
    }

    // Each caption label names its field for screen readers too.
    for (std::size_t i = 0; i < captions.size(); ++i) {
        captions[i]->setBuddy(m_fields[i]);
        m_fields[i]->setAccessibleName(captions[i]->text());
    }

    (InitiallyModbus ? m_modbus : m_absolute)->setChecked(true);
    refreshLogo();
}

void Calc::refreshLogo()
{
    const qreal ratio = devicePixelRatioF();
    if (m_logo->pixmap().isNull() || m_logo->pixmap().devicePixelRatio() != ratio)
        m_logo->setPixmap(logoPixmap(*m_logoEntry, ratio));
}

void Calc::showEvent(QShowEvent *event)
{
    // The density is the screen's: known for sure only once the window has
    // one (a Wayland window learns it when it first appears), and it changes
    // when the window moves to another screen.
    if (!m_watchingScreen && windowHandle()) {
        connect(windowHandle(), &QWindow::screenChanged, this, &Calc::refreshLogo);
        m_watchingScreen = true;
    }
    refreshLogo();
    QWidget::showEvent(event);
}

void Calc::bindEvents()
{
    for (QLineEdit *edit : m_fields)
        edit->installEventFilter(this);

    m_addressing = new QButtonGroup(this);
    m_addressing->setExclusive(true);
    m_addressing->addButton(m_absolute);
    m_addressing->addButton(m_modbus);
    // clicked, not toggled: it comes from the user (mouse, Space, arrow keys
    // within the group) after the selection has changed, never from code.
    connect(m_addressing, &QButtonGroup::buttonClicked, this, [this](QAbstractButton *button) {
        if (button == m_modbus)
            Modbus_Click(*this);
        else
            Absolute_Click(*this);
        emit calculated();
    });
}

bool Calc::eventFilter(QObject *watched, QEvent *event)
{
    // Address's tooltip: the current address in every notation.
    if (event->type() == QEvent::ToolTip && watched == lineEdit(Field::Address)) {
        const auto *help = static_cast<QHelpEvent *>(event);
        QToolTip::showText(
            help->globalPos(), toQString(AddressNotes(*this)), lineEdit(Field::Address));
        return true;
    }
    if (event->type() == QEvent::KeyRelease) {
        for (std::size_t i = 0; i < m_fields.size(); ++i) {
            if (watched == m_fields[i]) {
                const auto *key = static_cast<QKeyEvent *>(event);
                KeyUpHandlerFor(static_cast<Field>(i))(
                    *this, key->key(), static_cast<int>(key->modifiers().toInt()));
                emit calculated();
                break;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

QLineEdit *Calc::lineEdit(Field field) const
{
    return m_fields.at(indexOf(field));
}

std::string Calc::text(Field field) const
{
    return lineEdit(field)->text().toStdString();
}

void Calc::setText(Field field, std::string text)
{
    lineEdit(field)->setText(toQString(text));
}

bool Calc::modbusSelected() const
{
    return m_modbus->isChecked();
}

std::string Calc::caption() const
{
    return m_indicator->text().toStdString();
}

void Calc::setCaption(std::string caption)
{
    m_indicator->setText(toQString(caption));
}

char Calc::decimalSeparator() const
{
    const QString point = QLocale().decimalPoint();
    if (point.size() == 1 && point.front().unicode() < 0x80)
        return static_cast<char>(point.front().unicode());
    return '.';
}

} // namespace modbuscalc
