#pragma once

#include <QWidget>

class Client;
class ClientSocket;
namespace Ui {
class Login;
}

// The login window: takes the nickname and the server address for the program's one
// connection. Its nickname box is the only store of the own nickname.
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

    Ui::Login *const m_ui;
    Client &m_core;
};
