#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

#include "aux_windows/about.h"
#include "aux_windows/admin.h"
#include "aux_windows/error.h"
#include "aux_windows/help.h"
#include "aux_windows/intro.h"
#include "conversations/chat.h"
#include "conversations/pm_registry.h"
#include "main_window/login.h"
#include "main_window/mess.h"

#include <memory>

class Attention;
class ClientSocket;
class Incoming;
class Session;
class Settings;

// The running client. The windows reach each other through it by name, the way the user sees
// them: the login window's nickname box, the main window's status line. Every window that exists
// once is created hidden on first use; windows that the user's close destroys are created afresh
// on the next use.
//
// Handlers may run nested inside Pause or a modal box; after either, fetch windows again
// through these accessors instead of keeping pointers.
class Program : public QObject {
    Q_OBJECT

public:
    Program();
    ~Program() override;

    Login *login();
    Mess *mess();
    Chat *chat();
    Error *error();
    Help *help();
    // These two greet the user with a box when they are created, and return once it is
    // dismissed.
    Admin *admin();
    About *about();

    // The window if it exists now, without creating it.
    Login *existingLogin() const { return m_login; }
    Chat *existingChat() const { return m_chat; }
    Error *existingError() const { return m_error; }
    Admin *existingAdmin() const { return m_admin; }
    Help *existingHelp() const { return m_help; }
    Intro *existingIntro() const { return m_intro; }
    About *existingAbout() const { return m_about; }

    Incoming &incoming() { return *m_incoming; }
    PMRegistry &PMWindows() { return *m_pmWindows; }
    Session &session() { return *m_session; }
    Settings &settings() { return *m_settings; }
    // Signs of new lines in windows the user is not looking at.
    Attention &attention();
    // The one connection (the login window's socket).
    ClientSocket &WS();

    // Puts one message on the connection while it is up and returns true; otherwise drops it,
    // says so in the status line and returns false.
    bool SendCommand(const QString &message);
    // Writes "Status : " and the text into the main window's status line.
    void SetStatus(const QString &text);
    // Waits while the event loop runs: every event that comes meanwhile is handled.
    void Pause(double seconds);
    // Shows the text in the Error window, modeless.
    void ShowError(const QString &text);
    // A modal box with one OK button; returns once the user has dismissed it.
    void showBox(const QString &title, const QString &text,
                 QMessageBox::Icon icon = QMessageBox::NoIcon);
    // For a harness that drives the program faster than a person can: pauses end at once and
    // boxes are taken as dismissed as soon as they would open.
    void setInstant(bool instant) { m_instant = instant; }
    bool isInstant() const { return m_instant; }

    // The start-up: the splash runs its bar, then the main window shows.
    void start();
    // "&Abandonar": LOGOUT, the logged-out state, and a second later the socket closed. After a
    // lost connection, it only stops the retrying.
    void logOut();
    // After a LOGOUT: a second for it to leave, then the socket closed.
    void closeAfterGoodbye();
    // "Salir": the icon goes, the user logs out, and the program ends at once, without any
    // window's close handler (so the chat room sends no LEAVE).
    void exitProgram();
    bool isEnding() const { return m_ending; }

    // The own nickname is what the login window's nickname box holds at this moment.
    QString ownNickname();
    bool isConnected();

private:
    QPointer<Login> m_login;
    QPointer<Mess> m_mess;
    QPointer<Chat> m_chat;
    QPointer<Error> m_error;
    QPointer<Admin> m_admin;
    QPointer<About> m_about;
    QPointer<Help> m_help;
    QPointer<Intro> m_intro;
    Settings *m_settings;
    Session *m_session;
    QPointer<Attention> m_attention;
    Incoming *m_incoming;
    std::unique_ptr<PMRegistry> m_pmWindows;
    bool m_ending = false;
    bool m_instant = false;
};
