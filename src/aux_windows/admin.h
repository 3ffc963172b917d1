#pragma once

#include <QWidget>

namespace Ui {
class Admin;
}

// Shows the latest notice from the server's administrator with its arrival time and date.
// Closing it destroys it; the next notice creates it afresh.
class Admin : public QWidget {
    Q_OBJECT

public:
    Admin();
    ~Admin() override;

    // What the box says when a notice first comes.
    static inline const QString Announcement = QStringLiteral("Mensaje de Administrador Korvex");
    // Writes the notice unless a later one is already shown (notices are numbered by arrival).
    void showNotice(quint64 number, const QString &notice);

private:
    Ui::Admin *const m_ui;
    quint64 m_shownNumber = 0;
};
