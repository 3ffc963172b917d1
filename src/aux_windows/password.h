#pragma once

#include <QDialog>

namespace Ui {
class PasswordWindow;
}

// Asks for the group's password when a server wants one, and whether to remember it.
class PasswordWindow : public QDialog {
    Q_OBJECT

public:
    // Why it asks: for the first time, or again after the server refused a password.
    PasswordWindow(const QString &server, bool again);
    ~PasswordWindow() override;

    QString password() const;
    bool remember() const;

private:
    Ui::PasswordWindow *const m_ui;
};
