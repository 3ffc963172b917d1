#include "main_window/mess.h"
#include "program.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The program ends only through its "Salir" menu item, not when its last window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    Program program;
    program.mess()->show();
    return QApplication::exec();
}
