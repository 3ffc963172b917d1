#pragma once

#include <QWidget>

#include "core/found_servers.h"
#include "core/session.h"

class Client;
class ClientSocket;
class QListWidgetItem;
namespace Ui {
class Login;
}

// The login window: takes the nickname and the server address for the program's one
// connection. Its nickname box is the only store of the own nickname. Beside the boxes, the
// servers announced on the local network, live: choosing one fills the address box, and that
// server must then show the certificate it announced.
class Login : public QWidget {
    Q_OBJECT

public:
    explicit Login(Client &core);
    ~Login() override;

    ClientSocket &WS();
    QString nickname() const;
    void setNickname(const QString &nickname);
    void clearNickname();
    // The address the connection is made to.
    QString host() const;
    // Fills in both boxes and presses the button.
    void logInWith(const QString &nickname, const QString &address);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void cmdLoginClicked();
    void command1Clicked();
    // "Tengo un código de otro equipo…": the code and this desk's name, then the log-in.
    void cmdCodeClicked();
    // Both boxes hold what a log-in needs; if not, the user is told.
    bool boxesFilled();
    void logIn(Session::Way way);
    void listServers();
    void serverChosen(const QListWidgetItem *item);

    Ui::Login *const m_ui;
    Client &m_core;
    // The server last chosen from the list: its announcement holds while the address box
    // shows its address.
    FoundServer m_chosen;
};
