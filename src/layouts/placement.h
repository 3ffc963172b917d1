#pragma once

class QWidget;

namespace placement {
// Moves a window, before it is shown, to the middle of the screen it will open on.
void centre(QWidget *window);
// Shows a window, modeless, in front of the others.
void bringUp(QWidget *window);
} // namespace placement
