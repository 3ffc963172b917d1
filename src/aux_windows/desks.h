#pragma once

#include <QDialog>
#include <QWidget>

class OwnDesks;
namespace Ui {
class DeskCodeWindow;
class DeskJoinWindow;
class DesksWindow;
}

// The windows of a nickname used from several desks (computers).

// "Usar mi apodo en otro equipo…": a code from the server, large and as a QR picture, and until
// when it serves.
class DeskCodeWindow : public QWidget {
    Q_OBJECT

public:
    explicit DeskCodeWindow(OwnDesks &desks);
    ~DeskCodeWindow() override;

    // Asks the server for a code, which replaces the one shown.
    void ask();

private:
    void showCode(const QString &code, const QDateTime &expires, const QString &refusal);

    Ui::DeskCodeWindow *const m_ui;
    OwnDesks &m_desks;
};

// "Tengo un código de otro equipo…": the code, and a name for this desk.
class DeskJoinWindow : public QDialog {
    Q_OBJECT

public:
    // The nickname the code is for; the desk's name offered.
    DeskJoinWindow(const QString &nickname, const QString &desk);
    ~DeskJoinWindow() override;

    QString code() const;
    QString desk() const;

private:
    Ui::DeskJoinWindow *const m_ui;
};

// "Equipos con mi apodo…": each desk and when it was last used; one may be dropped, but not this
// one.
class DesksWindow : public QWidget {
    Q_OBJECT

public:
    explicit DesksWindow(OwnDesks &desks);
    ~DesksWindow() override;

    // Asks the server for the list again.
    void refresh();

private:
    void drop();

    Ui::DesksWindow *const m_ui;
    OwnDesks &m_desks;
};
