#pragma once

#include <QColor>
#include <QWidget>

class Client;
class FileDesk;
class History;
class QLabel;
namespace Ui {
class PM;
}

// The window of one private conversation, a view of its slot in the client's conversations.
// Closing it destroys it and empties the slot. Files go to the correspondent from it: chosen
// with "Enviar archivo…" or Ctrl+Shift+A, dropped onto it, or a picture pasted into the line
// box; the conversation's files show as rows below it.
class PM : public QWidget {
    Q_OBJECT

public:
    PM(Client &core, FileDesk &desk, int slot);
    ~PM() override;

    int slot() const { return m_slot; }
    // Shows the conversation's recipient, caption, lock and status text as they are now.
    void refresh();
    // The conversation's lines: its history, shown in a bounded window.
    History *history() const;

Q_SIGNALS:
    // Ctrl+F, or "Buscar…" in the history's menu.
    void searchWanted();
    // Ctrl+J: the window of every file of this run.
    void transfersWanted();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    // Files dropped onto the window or its boxes, and a picture pasted into the line box.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void send();
    // The correspondent's state and text, as the list has them.
    void showState();
    QString correspondent() const;
    // The rows of the conversation's files, in a strip the window grows to hold.
    void showFiles(int rows);
    // The clipboard's picture, when it holds one and no text, sent as a PNG.
    bool pastePicture();

    Ui::PM *const m_ui;
    Client &m_core;
    FileDesk &m_desk;
    const int m_slot;
    // The window's height and its status bar's place without the strip of files.
    int m_plainHeight = 0;
    int m_statTop = 0;
    // Whose earlier lines are shown.
    QString m_earlierOf;
    bool m_captioned = false;
    QLabel *m_state;
};
