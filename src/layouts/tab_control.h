#pragma once

#include <QTabWidget>

// A tab control whose pages place their controls in the control's own coordinates, the tab
// row included, as the window layouts give them; Qt's pages start below the tab row.
class TabControl : public QTabWidget {
    Q_OBJECT

public:
    using QTabWidget::QTabWidget;

    // Moves every page's controls up and left by the page's offset. Call once after setupUi.
    void placeControls();
};
