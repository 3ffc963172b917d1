#pragma once

#include <QWidget>

class FileDesk;
namespace Ui {
class TransfersWindow;
}

// "Transferencias": every file of this run, sent or received, newest first. It exists for the
// whole run once opened; closing it only hides it.
class TransfersWindow : public QWidget {
    Q_OBJECT

public:
    explicit TransfersWindow(FileDesk &desk);
    ~TransfersWindow() override;

private:
    Ui::TransfersWindow *const m_ui;
};
