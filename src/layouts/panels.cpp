#include "layouts/panels.h"

#include <QLabel>
#include <QStatusBar>

namespace panels {
namespace {
QString panelName(int number)
{
    return QStringLiteral("panel") + QString::number(number);
}
} // namespace

void setUp(QStatusBar *bar, const QList<int> &widths)
{
    bar->setSizeGripEnabled(false);
    int number = 1;
    for (const int width : widths) {
        auto *label = new QLabel(bar);
        label->setObjectName(panelName(number++));
        label->setTextFormat(Qt::PlainText);
        label->setFrameShape(QFrame::Panel);
        label->setFrameShadow(QFrame::Sunken);
        label->setMinimumWidth(width);
        bar->addWidget(label);
    }
}

QLabel *panel(QStatusBar *bar, int number)
{
    return bar->findChild<QLabel *>(panelName(number), Qt::FindDirectChildrenOnly);
}

void setText(QStatusBar *bar, int number, const QString &text)
{
    if (QLabel *label = panel(bar, number))
        label->setText(text);
}

QString text(QStatusBar *bar, int number)
{
    const QLabel *label = panel(bar, number);
    return label ? label->text() : QString();
}

} // namespace panels
