#pragma once

#include <QWidget>

class Program;
class ClientSocket;
namespace Ui {
class Login;
}

// The login window: takes the nickname and the server address, and owns the program's one
// connection. Its nickname box is the only store of the own nickname.
class Login : public QWidget {
    Q_OBJECT

public:
    explicit Login(Program &program);
    ~Login() override;

    ClientSocket &WS() { return *m_ws; }
    QString nickname() const;
    void clearNickname();

    Ui::Login *const ui;

private:
    void cmdLoginClicked();
    void command1Clicked();
    void wsConnected();
    void wsError();

    Program &m_program;
    ClientSocket *m_ws;
};
