#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

class Client;
class History;
namespace Ui {
class Chat;
}

// The shared chat room. It exists once; closing it leaves the room and hides it, keeping its
// history. Its status bar shows the time of day and the date.
class Chat : public QWidget {
    Q_OBJECT

public:
    // Lines of the room below liveFrom are shown as earlier ones.
    Chat(Client &core, qint64 liveFrom);
    ~Chat() override;

    // The room's lines: its history, shown in a bounded window. Notices about the room (someone
    // entered or left, the connection) are red.
    History *history() const;

    // Fires when the displayed second changes: the clock shows seconds, so ticking more often
    // would only burn the CPU.
    QTimer tmrTime;

Q_SIGNALS:
    // Ctrl+F, or "Buscar…" in the history's menu.
    void searchWanted();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void send();
    void tick();

    Ui::Chat *const m_ui;
    Client &m_core;
};
