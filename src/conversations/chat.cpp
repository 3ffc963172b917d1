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

Chat::Chat(Client &core, qint64 liveFrom) : ui(new Ui::Chat), m_core(core)
{
    ui->setupUi(this);
    placement::useLayoutFont(this);
    setFixedSize(size());
    panels::setUp(ui->stat, {133, 133});
    QLabel *clearText = panels::addClearTextSign(ui->stat);
    clearText->setVisible(m_core.isClearText());
    connect(&m_core, &Client::clearTextChanged, clearText, &QLabel::setVisible);

    connect(ui->cmdSend, &QPushButton::clicked, this, &Chat::send);
    connect(ui->txtSend, &QLineEdit::returnPressed, this, &Chat::send);
    ui->txtChat->setNoticeStyle(History::Red, false);
    ui->txtChat->setStore(m_core.history(), [] {
        return history::Conversation{history::Conversation::Room, {}};
    });
    ui->txtChat->showEarlier(liveFrom);
    connect(ui->txtChat, &History::searchWanted, this, &Chat::searchWanted);

    tmrTime.setSingleShot(true);
    tmrTime.setTimerType(Qt::PreciseTimer);
    connect(&tmrTime, &QTimer::timeout, this, &Chat::tick);
    tmrTime.start(0);
}

Chat::~Chat()
{
    delete ui;
}

History *Chat::history() const
{
    return ui->txtChat;
}

void Chat::closeEvent(QCloseEvent *event)
{
    event->ignore();
    // Qt 6.4 delivers a refused programmatic close() twice; only a shown room can be left.
    if (!isVisible())
        return;
    m_core.outbox().leaveRoom();
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
    if (m_core.conversations().sendToRoom(ui->txtSend->text()))
        ui->txtSend->clear();
}

void Chat::tick()
{
    panels::setText(ui->stat, 1, clock_text::longTime());
    panels::setText(ui->stat, 2, clock_text::shortDate());
    // Just past the next whole second, when the time shown changes.
    tmrTime.start(1000 - QTime::currentTime().msec() + 2);
}
