#pragma once

#include <QColor>
#include <QWidget>

class Client;
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
    // One line of the conversation: the writer's name part, emphasised, then the text.
    void appendLine(const QString &writer, const QColor &writerColour, const QString &text);
    // A line about the conversation rather than in it, emphasised.
    void appendNotice(const QString &text);
    QString statusText() const;

    Ui::PM *const ui;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void send();

    Client &m_core;
    const int m_slot;
};
