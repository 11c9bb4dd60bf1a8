#include "form/calc_window.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Modbus Calculator"));

    modbuscalc::Calc calc;
    calc.show();
    return QApplication::exec();
}
