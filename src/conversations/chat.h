#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

class Client;
namespace Ui {
class Chat;
}

// The shared chat room. It exists once; closing it leaves the room and hides it, keeping its
// history. Its status bar shows the time of day and the date.
class Chat : public QWidget {
    Q_OBJECT

public:
    explicit Chat(Client &core);
    ~Chat() override;

    // One line of the room: the writer's name part, emphasised, then the text.
    void appendLine(const QString &writer, const QColor &writerColour, const QString &text);
    // A notice about the room (someone entered or left, the connection), in red.
    void appendNotice(const QString &text);

    Ui::Chat *const ui;
    // Fires when the displayed second changes: the clock shows seconds, so ticking more often
    // would only burn the CPU.
    QTimer tmrTime;

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void send();
    void tick();

    Client &m_core;
};
