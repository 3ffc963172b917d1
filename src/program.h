#pragma once

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
#include "core/client.h"
#include "core/hand_off.h"
#include "file_windows/file_desk.h"
#include "file_windows/transfers_window.h"
#include "core/history_store.h"
#include "main_window/login.h"
#include "main_window/mess.h"

#include <memory>
#include <optional>

class Attention;
class DeskCodeWindow;
class DesksWindow;
class ClientSocket;
class Dispatcher;
class IdleSource;
class Search;
class Session;
class Settings;

// The running client's windows, wired to its core. Every window that exists once is created
// hidden on first use; windows that the user's close destroys are created afresh on the next
// use. Handlers may run nested inside a pause or a modal box; after either, fetch windows again
// through these accessors instead of keeping pointers.
class Program : public QObject {
    Q_OBJECT

public:
    Program();
    ~Program() override;

    Client &core() { return m_core; }

    Login *login();
    Mess *mess();
    Chat *chat();
    // The room's window, made for a line of the room if it does not exist yet.
    Chat *chat(qint64 liveFrom);
    Error *error();
    Help *help();
    // "Transferencias": every file of this run.
    TransfersWindow *transfersWindow();
    // What the windows of files share: the desktop's dialog and opener, the thumbnails.
    FileDesk &fileDesk() { return m_desk; }
    // These two greet the user with a box when they are created, and return once it is
    // dismissed.
    Admin *admin();
    About *about();

    // The window if it exists now, without creating it.
    Chat *existingChat() const { return m_chat; }
    Error *existingError() const { return m_error; }
    Admin *existingAdmin() const { return m_admin; }
    Intro *existingIntro() const { return m_intro; }

    PMRegistry &PMWindows() { return *m_pmWindows; }
    // Signs of new lines in windows the user is not looking at.
    Attention &attention();

    // The core's parts, for the windows and the harnesses.
    Dispatcher &incoming() { return m_core.dispatcher(); }
    Session &session() { return m_core.session(); }
    Settings &settings() { return m_core.settings(); }
    ClientSocket &WS() { return m_core.socket(); }
    void Pause(double seconds) { m_core.Pause(seconds); }
    void setInstant(bool instant) { m_core.setInstant(instant); }
    bool isConnected() { return m_core.isConnected(); }
    QString ownNickname() const { return m_core.nickname(); }

    // Shows the text in the Error window, modeless.
    void ShowError(const QString &text);
    // The start-up: the splash (shown here, unless shown already) runs its bar, then the main
    // window shows. The program owns the splash from here on.
    void start(Intro *splash = nullptr);
    // Files handed from the command line, here or by a later run: sent once logged in, to the
    // nickname given or to one the user chooses, their conversation shown.
    void sendFiles(const HandOff::Request &request);
    // The splash, on screen and drawn.
    static Intro *showSplash();
    // "Salir": the icon goes, the user logs out, and the program ends at once, without any
    // window's close handler (so the chat room sends no LEAVE).
    void exitProgram();

private:
    void sendWaitingFiles();
    // Sends the files and shows the conversation with that nickname.
    void sendTo(const QString &nickname, const QStringList &paths);
    // The files on their way, counted in the icon's tip.
    void countMoving();
    void wireConversations();
    void askCertificate(quint64 question, const QString &host, const QString &known,
                        const QString &seen);
    void askPassword(quint64 question, const QString &host, bool again);
    void showNotice(quint64 number, const QString &text);
    QWidget *windowOf(int slot);
    // A search of every conversation, or of one.
    void openSearch(const std::optional<history::Conversation> &within);
    // A conversation's window, at the line of a search result.
    void openAt(const history::Hit &hit);

    Client m_core;
    FileDesk m_desk;
    HandOff m_handOff;
    QList<HandOff::Request> m_waitingFiles;
    QPointer<Login> m_login;
    QPointer<Mess> m_mess;
    QPointer<Chat> m_chat;
    QPointer<Error> m_error;
    QPointer<DeskCodeWindow> m_deskCode;
    QPointer<DesksWindow> m_desks;
    QPointer<Admin> m_admin;
    QPointer<About> m_about;
    QPointer<Help> m_help;
    QPointer<TransfersWindow> m_transfers;
    QPointer<Intro> m_intro;
    QPointer<Attention> m_attention;
    // The desktop's idle time and lock, for away by itself; asked for at start.
    std::unique_ptr<IdleSource> m_idle;
    std::unique_ptr<PMRegistry> m_pmWindows;
    QList<QPointer<Search>> m_searches;
};
