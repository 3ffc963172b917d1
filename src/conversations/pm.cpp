#include "conversations/pm.h"

#include "conversations/history.h"
#include "core/client.h"
#include "core/availability.h"
#include "core/conversations.h"
#include "core/history_store.h"
#include "core/user_list.h"
#include "file_windows/file_checks.h"
#include "file_windows/file_desk.h"
#include "file_windows/transfer_list.h"
#include "file_windows/transfer_row.h"
#include "layouts/panels.h"
#include "layouts/placement.h"
#include "layouts/plain_text.h"
#include "ui_pm.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QShortcut>
#include <QTextDocument>

PM::PM(Client &core, FileDesk &desk, int slot)
    : m_ui(new Ui::PM), m_core(core), m_desk(desk), m_slot(slot)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    m_plainHeight = height();
    m_statTop = m_ui->stat->y();
    panels::setUp(m_ui->stat, {267});
    // Beside the time of the last line, while there is something to say.
    m_state = new QLabel(m_ui->stat);
    m_state->setObjectName(QStringLiteral("panel2"));
    m_state->setTextFormat(Qt::PlainText);
    m_state->setFrameShape(QFrame::Panel);
    m_state->setFrameShadow(QFrame::Sunken);
    m_state->setMinimumWidth(1);
    m_state->hide();
    m_ui->stat->addWidget(m_state, 1);
    UserList *users = &m_core.users();
    connect(users, &UserList::modelReset, this, &PM::showState);
    connect(users, &UserList::dataChanged, this, &PM::showState);
    connect(users, &UserList::rowsInserted, this, &PM::showState);
    connect(users, &UserList::rowsRemoved, this, &PM::showState);
    QLabel *clearText = panels::addClearTextSign(m_ui->stat);
    clearText->setVisible(m_core.isClearText());
    connect(&m_core, &Client::clearTextChanged, clearText, &QLabel::setVisible);

    connect(m_ui->cmdSend, &QPushButton::clicked, this, &PM::send);
    connect(m_ui->txtSend, &QLineEdit::returnPressed, this, &PM::send);
    connect(m_ui->txtTo, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_core.conversations().setCorrespondent(m_slot, text);
    });
    m_ui->txtChat->setNoticeStyle(History::Black, true);
    m_ui->txtChat->setStore(m_core.history(),
                          [this] { return m_core.conversations().historyOf(m_slot); });
    connect(m_ui->txtChat, &History::searchWanted, this, &PM::searchWanted);

    connect(m_ui->cmdFile, &QPushButton::clicked, this,
            [this] { m_desk.chooseAndSend(this, correspondent()); });
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A), this),
            &QShortcut::activated, m_ui->cmdFile, &QPushButton::click);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_J), this), &QShortcut::activated, this,
            &PM::transfersWanted);
    // The boxes would take a drop as text, and the line box a paste; the window itself too.
    setAcceptDrops(true);
    for (QWidget *target : {static_cast<QWidget *>(this), static_cast<QWidget *>(m_ui->txtSend),
                            static_cast<QWidget *>(m_ui->txtTo)})
        target->installEventFilter(this);
    connect(m_ui->lstFiles, &TransferList::countChanged, this, &PM::showFiles);
    m_ui->lstFiles->setDesk(m_desk, [this] { return correspondent(); });
    showFiles(m_ui->lstFiles->count());
    refresh();
}

PM::~PM()
{
    delete m_ui;
}

void PM::refresh()
{
    const Conversations::Private *conversation = m_core.conversations().at(m_slot);
    if (!conversation)
        return;
    // The caption names whom it was opened with, and says who opened it.
    if (!std::exchange(m_captioned, true))
        plain::setCaption(this, (conversation->origin == Conversations::Origin::User
                                     ? QStringLiteral("Private Message -- ")
                                     : QStringLiteral("Mensaje Privado -- "))
                                    + conversation->correspondent);
    if (m_ui->txtTo->text() != conversation->correspondent)
        m_ui->txtTo->setText(conversation->correspondent);
    // Opened, or the recipient changed before the first line: that person's earlier lines.
    if (m_earlierOf != conversation->correspondent || m_earlierOf.isNull()) {
        m_earlierOf = conversation->correspondent;
        m_ui->txtChat->showEarlier(HistoryStore::Newest);
    }
    m_ui->txtFrom->setText(conversation->own);
    m_ui->lstFiles->sync();
    m_ui->txtTo->setReadOnly(conversation->locked);
    if (!conversation->statusText.isEmpty())
        panels::setText(m_ui->stat, 1, conversation->statusText);
    showState();
}

void PM::showState()
{
    const Conversations::Private *conversation = m_core.conversations().at(m_slot);
    if (!conversation)
        return;
    const auto [state, text] = m_core.users().stateOf(conversation->correspondent);
    const QString shown = Availability::describe(Availability::State(state), text);
    m_state->setText(shown);
    m_state->setToolTip(shown.isEmpty() ? QString() : Qt::convertFromPlainText(shown));
    m_state->setVisible(!shown.isEmpty());
    // The bar cannot hold both whole: the time gets half, and each panel's tip says it all.
    if (QLabel *arrival = panels::panel(m_ui->stat, 1)) {
        arrival->setMinimumWidth(shown.isEmpty() ? 267 : 1);
        arrival->setMaximumWidth(shown.isEmpty() ? QWIDGETSIZE_MAX : width() / 2);
        arrival->setToolTip(shown.isEmpty() ? QString() : Qt::convertFromPlainText(arrival->text()));
    }
}

History *PM::history() const
{
    return m_ui->txtChat;
}

void PM::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        m_core.conversations().markRead(m_slot);
    QWidget::changeEvent(event);
}

void PM::closeEvent(QCloseEvent *event)
{
    event->accept();
    m_core.conversations().close(m_slot);
}

void PM::send()
{
    // Nothing the user wrote is lost: a line that cannot go stays in the box for another try.
    if (m_core.conversations().send(m_slot, m_ui->txtSend->text()))
        m_ui->txtSend->clear();
}

QString PM::correspondent() const
{
    const Conversations::Private *conversation = m_core.conversations().at(m_slot);
    return conversation ? conversation->correspondent : QString();
}

void PM::showFiles(int rows)
{
    // Two rows in sight, the others a scroll away.
    TransferList *strip = m_ui->lstFiles;
    const int height = rows == 0
        ? 0
        : std::min(rows, 2) * strip->row(0)->height() + 2 * strip->frameWidth();
    strip->setVisible(rows > 0);
    strip->resize(strip->width(), height);
    const int grown = rows == 0 ? 0 : height + 4;
    m_ui->stat->move(m_ui->stat->x(), m_statTop + grown);
    setFixedSize(width(), m_plainHeight + grown);
}

bool PM::pastePicture()
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    if (!data || !data->hasImage() || data->hasText())
        return false;
    if (!m_desk.sendPicture(correspondent(), qvariant_cast<QImage>(data->imageData())))
        m_core.showError(QStringLiteral("No se pudo guardar la imagen pegada para enviarla."));
    return true;
}

bool PM::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QStringList paths = files::localFiles(drop->mimeData());
        if (paths.isEmpty())
            break;
        drop->acceptProposedAction();
        if (event->type() == QEvent::Drop)
            m_core.transfers().send(correspondent(), paths);
        return true;
    }
    case QEvent::KeyPress:
        if (watched == m_ui->txtSend && static_cast<QKeyEvent *>(event)->matches(QKeySequence::Paste)
            && pastePicture())
            return true;
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}
