#pragma once

#include <QMainWindow>

class Program;
class UserTree;
namespace Ui {
class Mess;
}

// The main window: the user list, the block list, the status line and the menus. It exists
// for the whole run; closing it only hides it.
class Mess : public QMainWindow {
    Q_OBJECT

public:
    explicit Mess(Program &program);
    ~Mess() override;

    UserTree *userTree() const;
    void setStatusLine(const QString &text);
    QString statusLine() const;
    void setCaption(const QString &caption);
    // "Entrar" and "&Abandonar" swap their enabled states together.
    void setLoggedIn(bool loggedIn);

    Ui::Mess *const ui;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    Program &m_program;
};
