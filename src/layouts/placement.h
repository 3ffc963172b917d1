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
} // namespace placement
