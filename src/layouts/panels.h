#pragma once

#include <QList>
#include <QString>

class QLabel;
class QPixmap;
class QStatusBar;

// A status bar made of numbered panels (counting from 1), each a plain-text label.
namespace panels {

void setUp(QStatusBar *bar, const QList<int> &widths);
QLabel *panel(QStatusBar *bar, int number);
void setText(QStatusBar *bar, int number, const QString &text);
QString text(QStatusBar *bar, int number);
// "Sin cifrar" at the bar's right, hidden until shown: anyone on the way can read and change what
// goes over a clear connection, and every window that sends says so.
QLabel *addClearTextSign(QStatusBar *bar);

} // namespace panels
