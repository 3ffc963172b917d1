#include "program.h"

#include "aux_windows/desks.h"
#include "aux_windows/password.h"
#include "aux_windows/search.h"
#include "conversations/history.h"
#include "conversations/pm.h"
#include "core/availability.h"
#include "core/conversations.h"
#include "core/dispatcher.h"
#include "core/history_store.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/user_list.h"
#include "layouts/placement.h"
#include "layouts/plain_text.h"
#include "main_window/attention.h"
#include "main_window/desktop_idle.h"
#include "main_window/tray_icon.h"

#include <QCoreApplication>
#include <QInputDialog>

Program::Program() : m_desk(m_core), m_pmWindows(std::make_unique<PMRegistry>(m_core, m_desk))
{
    Client *core = &m_core;
    connect(core, &Client::statusChanged, this, [this](const QString &line) {
        mess()->setStatusLine(line);
    });
    connect(core, &Client::errorShown, this, &Program::ShowError);
    connect(core, &Client::boxShown, this,
            [](const QString &title, const QString &text, Client::BoxKind kind) {
                plain::showBox(nullptr, title, text,
                               kind == Client::BoxKind::Warning       ? QMessageBox::Warning
                               : kind == Client::BoxKind::Information ? QMessageBox::Information
                                                                      : QMessageBox::NoIcon);
            });
    connect(core, &Client::captionChanged, this,
            [this](const QString &caption) { mess()->setCaption(caption); });
    connect(core, &Client::sessionMenusChanged, this,
            [this](bool logIn, bool logOut) { mess()->setSessionMenus(logIn, logOut); });
    connect(core, &Client::padlockChanged, this,
            [this](const QString &fingerprint) { mess()->setPadlock(fingerprint); });
    connect(core, &Client::nicknameChanged, this, [this](const QString &nickname) {
        if (m_login)
            m_login->setNickname(nickname);
    });
    connect(core, &Client::loginWanted, this, [this](bool shown) {
        if (shown)
            login()->show();
        else if (m_login)
            m_login->hide();
    });
    connect(&m_core.session(), &Session::certificateQuestion, this, &Program::askCertificate);
    connect(&m_core.session(), &Session::passwordQuestion, this, &Program::askPassword);
    connect(&m_core.dispatcher(), &Dispatcher::noticeArrived, this, &Program::showNotice);
    // Busy, chosen by the user: nothing calls for attention until another state is chosen.
    connect(&m_core.availability(), &Availability::chosenChanged, this,
            [this](Availability::State state) { attention().setQuiet(state == Availability::Busy); });
    Transfers *transfers = &m_core.transfers();
    connect(transfers, &Transfers::rowsInserted, this, &Program::countMoving);
    connect(transfers, &Transfers::dataChanged, this, &Program::countMoving);
    connect(&m_core.arrivals(), &Arrivals::saved, this,
            [this](const QString &peer, const QString &name) { attention().fileArrived(peer, name); });
    wireConversations();
}

Program::~Program()
{
    // Windows have no parent (each is a top-level window); they go with the program. Deleting
    // runs no close handler, so nothing is sent on the way out.
    m_pmWindows.reset();
    qDeleteAll(m_searches);
    delete m_transfers;
    delete m_intro;
    delete m_help;
    delete m_about;
    delete m_admin;
    delete m_chat;
    delete m_error;
    delete m_deskCode;
    delete m_desks;
    delete m_login;
    delete m_mess;
}

void Program::wireConversations()
{
    Conversations *conversations = &m_core.conversations();
    connect(conversations, &Conversations::opened, this,
            [this](int slot) {
                PM *window = m_pmWindows->open(slot, mess());
                connect(window, &PM::searchWanted, this, [this, slot] {
                    openSearch(m_core.conversations().historyOf(slot));
                });
                connect(window, &PM::transfersWanted, this,
                        [this] { placement::bringUp(transfersWindow()); });
            });
    connect(conversations, &Conversations::shown, this, [this](int slot) {
        if (PM *window = m_pmWindows->window(slot))
            window->show();
    });
    connect(conversations, &Conversations::changed, this, [this](int slot) {
        if (PM *window = m_pmWindows->window(slot))
            window->refresh();
    });
    connect(conversations, &Conversations::lineAdded, this,
            [this](int slot, const history::Line &line) {
                if (slot == Conversations::Room)
                    chat(line.id)->history()->add(line);
                else if (PM *window = m_pmWindows->window(slot))
                    window->history()->add(line);
            });
    connect(conversations, &Conversations::markChanged, this,
            [this](int slot, const QString &ref, history::Mark mark) {
                if (PM *window = m_pmWindows->window(slot))
                    window->history()->setMark(ref, mark);
            });
    connect(conversations, &Conversations::arrived, this,
            [this](int slot, const QString &from, const QString &text) {
                QWidget *window = windowOf(slot);
                attention().arrived(window, from, text);
                if (window && window->isActiveWindow())
                    m_core.conversations().markRead(slot);
            });
}

QWidget *Program::windowOf(int slot)
{
    if (slot == Conversations::Room)
        return chat();
    return m_pmWindows->window(slot);
}

Login *Program::login()
{
    if (!m_login)
        m_login = new Login(m_core);
    return m_login;
}

Mess *Program::mess()
{
    if (!m_mess) {
        m_mess = new Mess(m_core);
        connect(m_mess, &Mess::loginWanted, this, [this] { placement::bringUp(login()); });
        connect(m_mess, &Mess::deskCodeWanted, this, [this] {
            if (!m_deskCode)
                m_deskCode = new DeskCodeWindow(m_core.desks());
            m_deskCode->ask();
            placement::bringUp(m_deskCode);
        });
        connect(m_mess, &Mess::desksWanted, this, [this] {
            if (!m_desks)
                m_desks = new DesksWindow(m_core.desks());
            m_desks->refresh();
            placement::bringUp(m_desks);
        });
        connect(m_mess, &Mess::roomWanted, this, [this] { placement::bringUp(chat()); });
        connect(m_mess, &Mess::helpWanted, this, [this] { placement::bringUp(help()); });
        connect(m_mess, &Mess::aboutWanted, this, [this] { placement::bringUp(about()); });
        connect(m_mess, &Mess::exitChosen, this, &Program::exitProgram);
        connect(m_mess, &Mess::searchWanted, this, [this] { openSearch(std::nullopt); });
        connect(m_mess, &Mess::transfersWanted, this,
                [this] { placement::bringUp(transfersWindow()); });
        connect(m_mess, &Mess::filesDropped, this, &Program::sendTo);
        connect(m_mess, &Mess::desktopNoticesChosen, this,
                [this](bool shown) { attention().setNotices(shown); });
    }
    return m_mess;
}

Chat *Program::chat()
{
    return chat(HistoryStore::Newest);
}

Chat *Program::chat(qint64 liveFrom)
{
    if (!m_chat) {
        m_chat = new Chat(m_core, liveFrom);
        connect(m_chat, &Chat::searchWanted, this, [this] {
            openSearch(history::Conversation{history::Conversation::Room, {}});
        });
    }
    return m_chat;
}

void Program::openSearch(const std::optional<history::Conversation> &within)
{
    auto *window = new Search(m_core.history(), within);
    m_searches.removeAll(nullptr);
    m_searches.append(window);
    connect(window, &Search::chosen, this, &Program::openAt);
    placement::bringUp(window);
}

void Program::openAt(const history::Hit &hit)
{
    History *lines = nullptr;
    if (hit.conversation.type == history::Conversation::Room) {
        placement::bringUp(chat());
        lines = chat()->history();
    } else if (hit.conversation.type == history::Conversation::Private) {
        Conversations &conversations = m_core.conversations();
        const QString &correspondent = hit.conversation.correspondent;
        int slot = conversations.findByCorrespondent(correspondent);
        if (slot < 0)
            slot = conversations.open(correspondent, m_core.nickname(),
                                      Conversations::Origin::User);
        if (PM *window = m_pmWindows->window(slot)) {
            placement::bringUp(window);
            lines = window->history();
        }
    }
    if (lines)
        lines->showAround(hit.line.id);
}

Admin *Program::admin()
{
    if (!m_admin) {
        m_admin = new Admin;
        m_core.showBox(QStringLiteral("KORVEX Mensajero"), Admin::Announcement);
        // Whatever ran while the box was open may have closed the window again.
        if (!m_admin)
            m_admin = new Admin;
    }
    return m_admin;
}

About *Program::about()
{
    if (!m_about) {
        m_about = new About;
        m_core.showBox(QStringLiteral("KORVEX Mensajero"), About::ContactLine);
        if (!m_about)
            m_about = new About;
    }
    return m_about;
}

Help *Program::help()
{
    if (!m_help)
        m_help = new Help;
    return m_help;
}

TransfersWindow *Program::transfersWindow()
{
    if (!m_transfers)
        m_transfers = new TransfersWindow(m_desk);
    return m_transfers;
}

void Program::countMoving()
{
    const Transfers &transfers = m_core.transfers();
    int moving = 0;
    for (int row = 0; row < transfers.rowCount(); ++row) {
        const auto state = Transfers::State(transfers.index(row).data(Transfers::StateRole).toInt());
        moving += state == Transfers::State::Preparing || state == Transfers::State::Sending
            || state == Transfers::State::Receiving;
    }
    mess()->trayIcon()->setMoving(moving);
}

Error *Program::error()
{
    if (!m_error)
        m_error = new Error;
    return m_error;
}

void Program::start(Intro *splash)
{
    // The splash first, drawn, then what it waits for: the main window and the desktop's idle
    // time (17 ms before the splash, of 118 ms to it).
    m_intro = splash ? splash : showSplash();
    // Later runs with --send hand their files here.
    connect(&m_handOff, &HandOff::requested, this, &Program::sendFiles);
    connect(&m_core.session(), &Session::loggedIn, this, &Program::sendWaitingFiles);
    m_handOff.listen();
    // Probed here, not with the windows: the desktop's services may take a moment to answer.
    m_idle = makeDesktopIdleSource();
    if (!m_idle->name().isEmpty())
        m_core.availability().setIdleSource(m_idle.get());
    m_intro->run(m_core, mess());
    if (m_intro) {
        m_intro->close();
        delete m_intro;
    }
}

void Program::sendFiles(const HandOff::Request &request)
{
    m_waitingFiles.append(request);
    sendWaitingFiles();
}

void Program::sendWaitingFiles()
{
    if (m_core.session().state() != Session::State::LoggedIn)
        return;
    const QString own = m_core.nickname();
    for (const HandOff::Request &request : std::exchange(m_waitingFiles, {})) {
        QString to = request.nickname;
        if (to.isEmpty()) {
            QStringList online;
            UserList &users = m_core.users();
            for (int row = 0; row < users.rowCount(users.root()); ++row) {
                const QString nickname = users.nicknameOf(users.index(row, 0, users.root()));
                if (nickname != own)
                    online << nickname;
            }
            bool chosen = false;
            to = QInputDialog::getItem(mess(), QStringLiteral("Enviar archivos"),
                                       request.paths.size() == 1
                                           ? QStringLiteral("¿A quién envías el archivo?")
                                           : QStringLiteral("¿A quién envías los %1 archivos?")
                                                 .arg(request.paths.size()),
                                       online, 0, false, &chosen);
            if (!chosen || to.isEmpty())
                continue;
        }
        sendTo(to, request.paths);
    }
}

void Program::sendTo(const QString &nickname, const QStringList &paths)
{
    m_core.transfers().send(nickname, paths);
    Conversations &conversations = m_core.conversations();
    int slot = conversations.findByCorrespondent(nickname, Conversations::Origin::User);
    if (slot < 0)
        slot = conversations.open(nickname, m_core.nickname(), Conversations::Origin::User);
    conversations.show(slot);
}

Intro *Program::showSplash()
{
    auto *splash = new Intro;
    splash->show();
    QCoreApplication::processEvents();
    return splash;
}

void Program::exitProgram()
{
    mess()->trayIcon()->remove();
    m_core.logOut();
    m_core.SetStatus(QStringLiteral("Closing"));
    // From here nothing is sent and no pause waits: handlers that were waiting when the user
    // chose "Salir" unwind at once. exit() ends the event loops without the close events that
    // quit() would send to the windows.
    m_core.end();
    QCoreApplication::exit(0);
}

void Program::ShowError(const QString &text)
{
    Error *window = error();
    window->setErrorText(text);
    window->show();
    window->raise();
}

void Program::showNotice(quint64 number, const QString &text)
{
    Admin *window = admin();
    window->showNotice(number, text);
    attention().arrived(window, QStringLiteral("Aviso del administrador"), text);
}

void Program::askCertificate(quint64 question, const QString &host, const QString &known,
                             const QString &seen)
{
    const QString warning =
        QStringLiteral("\n\nSi el administrador del servidor no lo ha cambiado, alguien podría "
                       "estar interceptando la conexión. No se ha enviado nada.");
    bool accepted = false;
    if (known.isEmpty() && seen.isEmpty()) {
        accepted = plain::ask(
            nullptr, QStringLiteral("Conexión sin cifrar"),
            QStringLiteral("El servidor ") + host
                + QStringLiteral(" no ofrece cifrar la conexión. Sin cifrar, cualquiera en el "
                                 "camino puede leer y cambiar los mensajes, incluidos los "
                                 "privados, y hacerse pasar por el servidor. También puede "
                                 "haber quitado él mismo la oferta de cifrado. No se ha enviado "
                                 "nada.\n\nSi acepta, se recordará para esta dirección y las "
                                 "ventanas dirán \"Sin cifrar\"; puede retirarlo en Opciones.\n\n"
                                 "¿Conectar sin cifrar con este servidor?"),
            QStringLiteral("Conectar sin cifrar"), QStringLiteral("Cancelar"));
    } else if (seen.isEmpty()) {
        accepted = plain::ask(
            nullptr, QStringLiteral("Conexión sin cifrar"),
            QStringLiteral("El servidor ") + host
                + QStringLiteral(" ya no cifra la conexión. Antes la cifraba con el certificado "
                                 "de huella SHA-256:\n")
                + known + warning
                + QStringLiteral("\n\n¿Conectar sin cifrar esta vez? El certificado conocido "
                                 "se conserva."),
            QStringLiteral("Conectar sin cifrar"), QStringLiteral("Cancelar"));
    } else {
        accepted = plain::ask(
            nullptr, QStringLiteral("Certificado del servidor cambiado"),
            QStringLiteral("El certificado del servidor ") + host
                + QStringLiteral(" ha cambiado.\n\nHuella SHA-256 conocida:\n") + known
                + QStringLiteral("\n\nHuella SHA-256 nueva:\n") + seen + warning
                + QStringLiteral("\n\n¿Aceptar el certificado nuevo?"),
            QStringLiteral("Aceptar el certificado nuevo"), QStringLiteral("Rechazar"));
    }
    m_core.session().answerCertificate(question, accepted);
}

void Program::askPassword(quint64 question, const QString &host, bool again)
{
    PasswordWindow window(host, again);
    const bool given = window.exec() == QDialog::Accepted;
    m_core.session().answerPassword(question, given, window.password(), window.remember());
}

Attention &Program::attention()
{
    if (!m_attention) {
        m_attention = new Attention(*mess()->trayIcon(), this);
        m_attention->setNotices(m_core.settings().notifications());
    }
    return *m_attention;
}
