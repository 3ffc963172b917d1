#include "program.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The program ends only through its "Salir" menu item, not when its last window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    Program program;
    QTimer::singleShot(0, &program, &Program::start);
    return QApplication::exec();
}
