#pragma once

#include <QColor>
#include <QWidget>

class Client;
class History;
class QLabel;
namespace Ui {
class PM;
}

// The window of one private conversation, a view of its slot in the client's conversations.
// Closing it destroys it and empties the slot.
class PM : public QWidget {
    Q_OBJECT

public:
    PM(Client &core, int slot);
    ~PM() override;

    int slot() const { return m_slot; }
    // Shows the conversation's recipient, caption, lock and status text as they are now.
    void refresh();
    // The conversation's lines: its history, shown in a bounded window.
    History *history() const;

Q_SIGNALS:
    // Ctrl+F, or "Buscar…" in the history's menu.
    void searchWanted();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void send();
    // The correspondent's state and text, as the list has them.
    void showState();

    Ui::PM *const m_ui;
    Client &m_core;
    const int m_slot;
    // Whose earlier lines are shown.
    QString m_earlierOf;
    bool m_captioned = false;
    QLabel *m_state;
};
