#include "layouts/placement.h"

#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace placement {

void centre(QWidget *window)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame(QPoint(), window->size());
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

void useLayoutFont(QWidget *widget)
{
    QFont font = widget->font();
    font.setPointSizeF(8.25);
    widget->setFont(font);
}

void bringUp(QWidget *window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

void cascade(QWidget *window, const QWidget *anchor, int step)
{
    const QScreen *screen = anchor->screen() ? anchor->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QPoint offset(24, 24);
    QRect frame(anchor->pos() + offset * (step + 1), window->frameGeometry().size());
    // Past the screen's edge the cascade starts again from the screen's corner.
    if (!area.contains(frame)) {
        const int steps = std::max(1, std::min((area.width() - frame.width()) / offset.x(),
                                               (area.height() - frame.height()) / offset.y()));
        frame.moveTopLeft(area.topLeft() + offset * (step % steps));
    }
    window->move(frame.topLeft());
}

} // namespace placement
