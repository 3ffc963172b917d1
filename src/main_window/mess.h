#pragma once

#include <QMainWindow>

class Client;
class QLabel;
class TrayIcon;
class UserTree;
namespace Ui {
class Mess;
}

// The main window: the user list, the block list, the status line and the menus. It exists
// for the whole run; closing it only hides it.
class Mess : public QMainWindow {
    Q_OBJECT

public:
    explicit Mess(Client &core);
    ~Mess() override;

    UserTree *userTree() const;
    TrayIcon *trayIcon() const { return m_trayIcon; }
    void setStatusLine(const QString &text);
    QString statusLine() const;
    void setCaption(const QString &caption);
    // Whether "Entrar" and "&Abandonar" may be chosen.
    void setSessionMenus(bool logIn, bool logOut);
    // A padlock in the status bar while the connection is encrypted, its tip naming the
    // server's certificate; nothing hides it.
    void setPadlock(const QString &fingerprint);
    QLabel *padlock() const { return m_padlock; }
    QLabel *clearTextSign() const { return m_clearText; }

    // The block list as text, one entry per line ending in CR LF.
    QString blockList() const;
    void setBlockList(const QString &text);
    bool isBlocked(const QString &nickname) const;

Q_SIGNALS:
    void statusLineChanged(const QString &text);
    // The user chose a menu item or button that brings up another window, or ends the program.
    void loginWanted();
    void roomWanted();
    void helpWanted();
    void aboutWanted();
    // "Usar mi apodo en otro equipo…" and "Equipos con mi apodo…", while connected.
    void deskCodeWanted();
    void desksWanted();
    void exitChosen();
    void desktopNoticesChosen(bool shown);
    void searchWanted();
    // "Transferencias", and files dropped onto a user in the list.
    void transfersWanted();
    void filesDropped(const QString &nickname, const QStringList &paths);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Whether the client is connected; if not, the status line says so.
    bool requireConnection();
    void enterChat();
    void chatCommand();
    void treeClicked();
    void privateMessage();
    void iggyClicked();
    void blockSelected();
    void emptyBlockList();
    // Takes back every agreement to talk in clear to a server.
    void forgetClearText();
    void showHelp();
    void showAbout();
    // The options of files: the download folder, and whose files are saved without asking.
    void addFileOptions();
    // A drag of files over the list: the user it would go to, or none.
    bool dragOverList(QEvent *event);
    // The "Estado" menu and box: they follow the state the user chose, and choose it.
    void setUpStates();

    Ui::Mess *const m_ui;
    Client &m_core;
    TrayIcon *m_trayIcon;
    QLabel *m_padlock;
    QLabel *m_clearText = nullptr;
};
