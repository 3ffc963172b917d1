#include "core/client.h"

#include <QLocale>

#include "protocol/client_socket.h"
#include "protocol/transfer_socket.h"

#include <QStandardPaths>

Client::Client(QObject *parent)
    : QObject(parent),
      // A file that cannot be read is told once the windows listen.
      m_settings(new Settings(
          [this](const QString &text) {
              QMetaObject::invokeMethod(this, [this, text] { showError(text); },
                                        Qt::QueuedConnection);
          },
          this)),
      m_secrets(new SecretStore(SecretStore::fromEnvironment(), this)),
      m_socket(new ClientSocket),
      m_uplink(new Uplink(*m_socket, this)),
      m_outbox(std::make_unique<Outbox>(*m_uplink)),
      m_session(new Session(*m_uplink, *m_outbox, *m_settings, *m_secrets)),
      m_users(new UserList(this)),
      m_history(new HistoryStore(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                     + QStringLiteral("/korvex-mensajero"),
                                 this)),
      m_blockList(new BlockList(this)),
      m_conversations(
          new Conversations(*m_uplink, *m_outbox, *m_session, *m_history, *m_settings, this)),
      // Each transfer to the chat connection's server, under the certificate it showed.
      m_transfers(new Transfers(
          *m_outbox,
          [this](const Transfer::Job &job) {
              return new TransferSocket(m_session->host(), wire::ServerPort,
                                        m_socket->fingerprint(), job);
          },
          {}, this)),
      m_arrivals(new Arrivals(*m_transfers, *m_settings,
                              QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                                  + QStringLiteral("/korvex-mensajero"),
                              this)),
      m_desks(new OwnDesks(*m_outbox, this)),
      m_foundServers(new FoundServers(this)),
      m_dispatcher(new Dispatcher(*m_uplink, *m_session, *m_outbox, *m_users, *m_conversations,
                                  *m_history, *m_blockList, *m_settings, *m_transfers, *m_desks,
                                  this)),
      m_availability(new Availability(*m_settings, *m_session, *m_uplink, *m_outbox, this))
{
    // The session and its connection go last, after every part that might still be told of them.
    m_socket->setParent(m_session);
    m_session->setParent(this);
    m_settings->movePasswords(*m_secrets);
    connectParts();
    m_history->setKeeping(m_settings->keepsHistory());
    m_history->setRetentionDays(m_settings->retentionDays());
    // The block list is kept across runs, and another client of this user may change it.
    m_blockList->setText(m_settings->blockList());
    connect(m_blockList, &BlockList::changed, this,
            [this] { m_settings->setBlockList(m_blockList->text()); });
    connect(m_settings, &Settings::blockListChanged, m_blockList, &BlockList::setText);
}

Client::~Client() = default;

void Client::connectParts()
{
    connect(m_socket, &ClientSocket::dataArrival, m_dispatcher, &Dispatcher::dataArrival);
    connect(m_history, &HistoryStore::notKept, this, &Client::showError);
    connect(m_secrets, &SecretStore::notKept, this, &Client::showError);
    connect(m_conversations, &Conversations::errorShown, this, &Client::showError);
    connect(m_uplink, &Uplink::nicknameChanged, this, &Client::nicknameChanged);
    connect(m_uplink, &Uplink::notConnected, this,
            [this] { SetStatus(QStringLiteral("Not Connected")); });

    connect(m_session, &Session::accountChosen, m_history, &HistoryStore::setAccount);
    connect(m_session, &Session::status, this, &Client::SetStatus);
    connect(m_session, &Session::boxWanted, this, &Client::showBox);
    connect(m_session, &Session::windowsTold, m_conversations, &Conversations::tellAll);
    connect(m_session, &Session::loggedIn, this, &Client::loggedIn);
    connect(m_session, &Session::keyedLogIn, m_conversations, &Conversations::sendAgain);
    connect(m_session, &Session::loggedOut, this, &Client::showLoggedOut);
    connect(m_session, &Session::loginWanted, this, &Client::loginWanted);
    connect(m_session, &Session::padlockChanged, this, &Client::padlockChanged);
    connect(m_session, &Session::clearText, this, &Client::setClearText);
    // Files go only where the server offered them and the LOGIN carried the nickname's key.
    const auto failed = [this](const QModelIndex &at) {
        const auto state = Transfers::State(at.data(Transfers::StateRole).toInt());
        if (at.data(Transfers::DirectionRole).toInt() == int(Transfers::Direction::Sending)
            && (state == Transfers::State::Failed || state == Transfers::State::Cancelled))
            m_conversations->markOwn(
                Conversations::fileRef(at.data(Transfers::IdRole).toString()),
                history::Mark::Failed,
                at.data(Transfers::NameRole).toString() + QStringLiteral(": ")
                    + at.data(Qt::DisplayRole).toString());
    };
    // Each file sent or offered is a line of its conversation too.
    connect(m_transfers, &Transfers::rowsInserted, this, [this, failed](const QModelIndex &, int first, int last) {
        for (int i = first; i <= last; ++i) {
            const QModelIndex at = m_transfers->index(i);
            const bool mine = at.data(Transfers::DirectionRole).toInt()
                == int(Transfers::Direction::Sending);
            m_conversations->fileLine(
                at.data(Transfers::PeerRole).toString(), m_uplink->nickname(), mine,
                QStringLiteral("Archivo: %1 (%2)")
                    .arg(at.data(Transfers::NameRole).toString(),
                         QLocale(QLocale::Spanish)
                             .formattedDataSize(at.data(Transfers::SizeRole).toLongLong(), 1)),
                at.data(Transfers::IdRole).toString());
            failed(at);
        }
    });
    // A file that fails here, never told by the server (unreadable, too large, cut too often),
    // fails its line too.
    connect(m_transfers, &Transfers::dataChanged, this,
            [failed](const QModelIndex &from, const QModelIndex &to) {
                for (int i = from.row(); i <= to.row(); ++i)
                    failed(from.siblingAtRow(i));
            });
    connect(m_session, &Session::loggedIn, m_transfers,
            [this] { m_transfers->loggedIn(m_session->keyed() && m_socket->takesFiles()); });
    connect(m_session, &Session::stepChanged, m_transfers, [this](Session::Step step) {
        if (step != Session::Step::In)
            m_transfers->loggedOut();
    });

    connect(m_dispatcher, &Dispatcher::status, this, &Client::SetStatus);
    connect(m_dispatcher, &Dispatcher::boxWanted, this, &Client::showBox);
    connect(m_dispatcher, &Dispatcher::expelled, this, &Client::expelled);
}

void Client::SetStatus(const QString &text)
{
    m_statusLine = QStringLiteral("Status : ") + text;
    Q_EMIT statusChanged(m_statusLine);
}

void Client::showBox(const QString &title, const QString &text, BoxKind kind)
{
    if (!isInstant())
        Q_EMIT boxShown(title, text, kind);
}

void Client::keepHistory(bool kept)
{
    m_settings->setKeepsHistory(kept);
    m_history->setKeeping(kept);
}

void Client::keepHistoryFor(int days)
{
    m_settings->setRetentionDays(days);
    m_history->setRetentionDays(days);
}

void Client::refreshList()
{
    if (!isConnected()) {
        SetStatus(QStringLiteral("No Conectado"));
        return;
    }
    m_users->clear();
    m_outbox->refreshList();
    m_users->addRoot(nickname());
}

void Client::enterRoom()
{
    m_outbox->enterRoom();
}

void Client::leaveRoom()
{
    m_outbox->leaveRoom();
}

void Client::logIn(const QString &nickname, const QString &host, const Session::Way &way)
{
    m_session->logIn(nickname, host, way);
}

void Client::cancelLogIn()
{
    if (m_session->state() == Session::State::Connecting)
        m_session->leave();
}

bool Client::stopRetrying()
{
    if (m_session->state() != Session::State::Lost)
        return false;
    m_session->leave();
    return true;
}

void Client::loggedIn(const QString &nickname, const QString &fingerprint)
{
    m_availability->loggedIn();
    Q_EMIT loginWanted(false);
    SetStatus(QStringLiteral("Logged In"));
    m_users->clear();
    m_users->addRoot(nickname);
    Q_EMIT captionChanged(nickname);
    Q_EMIT sessionMenusChanged(false, true);
    Q_EMIT padlockChanged(fingerprint);
    setClearText(fingerprint.isEmpty());
    // A room still open, from before a loss or a log-out, is entered again: its lines would
    // otherwise go nowhere.
    if (m_conversations->isRoomShown())
        m_outbox->enterRoom();
}

void Client::logOut()
{
    m_session->leave();
    m_outbox->logOut();
    SetStatus(QStringLiteral("Logged Out"));
    showLoggedOut(false);
    setNickname(QString());
    closeAfterGoodbye();
}

void Client::expelled()
{
    Q_EMIT sessionMenusChanged(true, false);
    setNickname(QString());
    Q_EMIT captionChanged(QStringLiteral("KORVEX Mensajero"));
    closeAfterGoodbye();
}

void Client::closeAfterGoodbye()
{
    // The LOGOUT leaves while the connection is still open. A log-in the user began meanwhile
    // has a connection of its own, which stays.
    Pause(1);
    if (m_session->state() == Session::State::LoggedOut)
        socket().close();
}

void Client::setClearText(bool clear)
{
    if (std::exchange(m_clearText, clear) != clear)
        Q_EMIT clearTextChanged(clear);
}

void Client::showLoggedOut(bool retrying)
{
    Q_EMIT padlockChanged(QString());
    setClearText(false);
    m_users->clear();
    Q_EMIT sessionMenusChanged(true, retrying);
    Q_EMIT captionChanged(QStringLiteral("Dravonet Mensajero"));
}
