#pragma once

class QWidget;

namespace placement {
// Moves a window, before it is shown, to the middle of the screen it will open on.
void centre(QWidget *window);
// Gives a window, or one control, the layouts' font size, 8.25 pt (a form holds whole points
// only); controls with a font of their own keep theirs.
void useLayoutFont(QWidget *widget);
// Shows a window, modeless, in front of the others.
void bringUp(QWidget *window);
// Moves a new window to the step-th place of a cascade that starts by the anchor window, so that
// windows opened one after another do not cover each other; wholly on the anchor's screen.
void cascade(QWidget *window, const QWidget *anchor, int step);
} // namespace placement
