#include "conversations/chat.h"

#include "conversations/history.h"
#include "core/client.h"
#include "core/clock.h"
#include "core/conversations.h"
#include "core/history_store.h"
#include "core/outbox.h"
#include "layouts/panels.h"
#include "layouts/placement.h"
#include "ui_chat.h"

#include <QCloseEvent>
#include <QLabel>
#include <QTime>

Chat::Chat(Client &core, qint64 liveFrom) : m_ui(new Ui::Chat), m_core(core)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setFixedSize(size());
    panels::setUp(m_ui->stat, {133, 133});
    QLabel *clearText = panels::addClearTextSign(m_ui->stat);
    clearText->setVisible(m_core.isClearText());
    connect(&m_core, &Client::clearTextChanged, clearText, &QLabel::setVisible);

    connect(m_ui->cmdSend, &QPushButton::clicked, this, &Chat::send);
    connect(m_ui->txtSend, &QLineEdit::returnPressed, this, &Chat::send);
    m_ui->txtChat->setNoticeStyle(History::Red, false);
    m_ui->txtChat->setStore(m_core.history(), [] {
        return history::Conversation{history::Conversation::Room, {}};
    });
    m_ui->txtChat->showEarlier(liveFrom);
    connect(m_ui->txtChat, &History::searchWanted, this, &Chat::searchWanted);

    tmrTime.setSingleShot(true);
    tmrTime.setTimerType(Qt::PreciseTimer);
    connect(&tmrTime, &QTimer::timeout, this, &Chat::tick);
    tmrTime.start(0);
}

Chat::~Chat()
{
    delete m_ui;
}

History *Chat::history() const
{
    return m_ui->txtChat;
}

void Chat::closeEvent(QCloseEvent *event)
{
    event->ignore();
    // Qt 6.4 delivers a refused programmatic close() twice; only a shown room can be left.
    if (!isVisible())
        return;
    m_core.leaveRoom();
    hide();
}

void Chat::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        m_core.conversations().markRead(Conversations::Room);
    QWidget::changeEvent(event);
}

void Chat::showEvent(QShowEvent *event)
{
    m_core.setRoomShown(true);
    QWidget::showEvent(event);
}

void Chat::hideEvent(QHideEvent *event)
{
    // A minimised window is hidden for the window system but still shown for the user.
    m_core.setRoomShown(isVisible());
    QWidget::hideEvent(event);
}

void Chat::send()
{
    // Nothing the user wrote is lost: a line that cannot go stays in the box for another try.
    if (m_core.conversations().sendToRoom(m_ui->txtSend->text()))
        m_ui->txtSend->clear();
}

void Chat::tick()
{
    panels::setText(m_ui->stat, 1, clock_text::longTime());
    panels::setText(m_ui->stat, 2, clock_text::shortDate());
    // Just past the next whole second, when the time shown changes.
    tmrTime.start(1000 - QTime::currentTime().msec() + 2);
}
