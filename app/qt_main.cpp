#include "form/qt/calc_window.h"
#include "version.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("Modbus Calculator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MODBUSCALC_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Converts between Modbus addresses and data cells in a small window:\n"
                       "address = table * 2048 + column * 256 + row, plus 1 in Modbus "
                       "addressing.\nmodbuscalc does the same on the command line."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    // --help and --version need no display: they are answered before the
    // application, which needs one, is made.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (parser.parse(arguments) && (parser.isSet(help) || parser.isSet(version))) {
        const QString text = parser.isSet(help)
            ? parser.helpText().replace(
                QStringLiteral("<executable_name>"), QStringLiteral("modbus-calculator"))
            : QStringLiteral("modbus-calculator %1\n").arg(QStringLiteral(MODBUSCALC_VERSION));
        const QByteArray bytes = text.toLocal8Bit();
        const bool written
            = std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout)
            == static_cast<std::size_t>(bytes.size());
        return written && std::fflush(stdout) == 0 ? 0 : 2;
    }

    QApplication app(argc, argv);
    // Anything else it does not know, once Qt has taken its own options.
    parser.process(app);
    QGuiApplication::setDesktopFileName(QStringLiteral(MODBUSCALC_APP_ID));

    // Title bar and task bar sizes only, up to a 32 px icon on a 2x screen:
    // decoding and sending the large ones cost milliseconds of start-up, and
    // menus take the installed icon.
    QIcon icon;
    for (int size : { 16, 32, 48, 64 })
        icon.addFile(QStringLiteral(":/modbuscalc/icons/%1.png").arg(size));
    QApplication::setWindowIcon(icon);

    modbuscalc::Calc calc;
    calc.show();
    return QApplication::exec();
}
