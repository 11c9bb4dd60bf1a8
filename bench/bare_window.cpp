// The floor any Qt Widgets program pays: a window of the calculator's size
// with one text field, and nothing else.

#include <QApplication>
#include <QLineEdit>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare window"));
    window.setFixedSize(436, 393);
    auto *edit = new QLineEdit(QStringLiteral("0"), &window);
    edit->setGeometry(352, 160, 65, 19);
    edit->setFocus();
    window.show();
    return QApplication::exec();
}
