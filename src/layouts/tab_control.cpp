#include "layouts/tab_control.h"

#include <QStyle>
#include <QStyleOptionTabWidgetFrame>

void TabControl::placeControls()
{
    QStyleOptionTabWidgetFrame option;
    initStyleOption(&option);
    const QPoint offset =
        style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this).topLeft();
    for (int i = 0; i < count(); ++i) {
        const auto children = widget(i)->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
        for (QWidget *control : children)
            control->move(control->pos() - offset);
    }
}
