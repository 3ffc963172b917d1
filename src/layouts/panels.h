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

} // namespace panels
