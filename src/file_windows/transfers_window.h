#pragma once

#include <QWidget>

class FileDesk;
namespace Ui {
class TransfersWindow;
}

// "Transferencias": every file of this run, sent or received, newest first, and below them the
// files received as the history keeps them, earlier runs' too. It exists for the whole run once
// opened; closing it only hides it.
class TransfersWindow : public QWidget {
    Q_OBJECT

public:
    explicit TransfersWindow(FileDesk &desk);
    ~TransfersWindow() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    // The history's lines of files received, newest first.
    void listEarlier();

    Ui::TransfersWindow *const m_ui;
    FileDesk &m_desk;
};
