#include "core/client.h"

#include "core/availability.h"
#include "core/block_list.h"
#include "core/conversations.h"
#include "core/dispatcher.h"
#include "core/history_store.h"
#include "core/outbox.h"
#include "core/secret_store.h"
#include "core/session.h"
#include "core/user_list.h"
#include "protocol/client_socket.h"
#include "core/settings.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QStandardPaths>
#include <QTimer>

#include <cmath>

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
      m_session(new Session(*this)),
      m_outbox(std::make_unique<Outbox>(*this)),
      m_users(new UserList(this)),
      m_history(new HistoryStore(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                     + QStringLiteral("/korvex-mensajero"),
                                 this)),
      m_conversations(new Conversations(*this)),
      m_dispatcher(new Dispatcher(*this)),
      m_availability(new Availability(*this)),
      m_blockList(new BlockList(this))
{
    m_session->setParent(this);
    m_settings->movePasswords(*m_secrets);
    connect(&socket(), &ClientSocket::dataArrival, m_dispatcher, &Dispatcher::dataArrival);
    connect(m_history, &HistoryStore::notKept, this, &Client::showError);
    connect(m_secrets, &SecretStore::notKept, this, &Client::showError);
    m_history->setKeeping(m_settings->keepsHistory());
    m_history->setRetentionDays(m_settings->retentionDays());
    // The block list is kept across runs, and another client of this user may change it.
    m_blockList->setText(m_settings->blockList());
    connect(m_blockList, &BlockList::changed, this,
            [this] { m_settings->setBlockList(m_blockList->text()); });
    connect(m_settings, &Settings::blockListChanged, m_blockList, &BlockList::setText);
}

Client::~Client() = default;

ClientSocket &Client::socket()
{
    return m_session->socket();
}

void Client::setNickname(const QString &nickname)
{
    m_nickname = nickname;
    Q_EMIT nicknameChanged(nickname);
}

bool Client::isConnected()
{
    return socket().state() == ClientSocket::Connected;
}

bool Client::SendCommand(const QString &message)
{
    if (m_ending)
        return false;
    if (!isConnected()) {
        SetStatus(QStringLiteral("Not Connected"));
        return false;
    }
    socket().sendData(message);
    return true;
}

void Client::SetStatus(const QString &text)
{
    m_statusLine = QStringLiteral("Status : ") + text;
    Q_EMIT statusChanged(m_statusLine);
}

void Client::Pause(double seconds)
{
    if (!(seconds > 0) || m_ending || m_instant)
        return;
    // A monotonic clock: the wait ends after the requested time, midnight or not.
    const auto wanted = static_cast<qint64>(std::ceil(seconds * 1e9));
    QElapsedTimer clock;
    clock.start();
    for (qint64 left = wanted; left > 0 && !m_ending; left = wanted - clock.nsecsElapsed()) {
        QEventLoop loop;
        QTimer::singleShot(std::chrono::milliseconds((left + 999'999) / 1'000'000),
                           Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

void Client::showBox(const QString &title, const QString &text, BoxKind kind)
{
    if (!m_instant)
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

void Client::logOut()
{
    m_session->leave();
    m_outbox->logOut();
    SetStatus(QStringLiteral("Logged Out"));
    showLoggedOut(false);
    setNickname(QString());
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
