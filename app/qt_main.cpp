#include "form/qt/calc_window.h"
#include "version.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Modbus Calculator"));
    QApplication::setApplicationVersion(QStringLiteral(MODBUSCALC_VERSION));
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
