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

QLabel *addClearTextSign(QStatusBar *bar)
{
    auto *sign = new QLabel(QStringLiteral("Sin cifrar"), bar);
    sign->setObjectName(QStringLiteral("clearText"));
    sign->setTextFormat(Qt::PlainText);
    sign->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold"));
    const QString why = QStringLiteral("La conexión con el servidor no está cifrada: quien esté "
                                       "en el camino puede leer y cambiar lo que se envía.");
    sign->setToolTip(why);
    sign->setAccessibleDescription(why);
    sign->hide();
    bar->addPermanentWidget(sign);
    return sign;
}

} // namespace panels
