#include "conversations/chat.h"

#include "conversations/history.h"
#include "conversations/pm.h"
#include "layouts/clock.h"
#include "layouts/panels.h"
#include "layouts/placement.h"
#include "program.h"
#include "protocol/wire.h"
#include "ui_chat.h"

#include <QCloseEvent>
#include <QTime>

Chat::Chat(Program &program) : ui(new Ui::Chat), m_program(program)
{
    ui->setupUi(this);
    placement::useLayoutFont(this);
    setFixedSize(size());
    panels::setUp(ui->stat, {133, 133});

    connect(ui->cmdSend, &QPushButton::clicked, this, &Chat::send);
    connect(ui->txtSend, &QLineEdit::returnPressed, this, &Chat::send);

    tmrTime.setSingleShot(true);
    tmrTime.setTimerType(Qt::PreciseTimer);
    connect(&tmrTime, &QTimer::timeout, this, &Chat::tick);
    tmrTime.start(0);
}

Chat::~Chat()
{
    delete ui;
}

void Chat::appendLine(const QString &writer, const QColor &writerColour, const QString &text)
{
    ui->txtChat->append({{writer + QStringLiteral(" : "), writerColour, true},
                         {text + QStringLiteral("\r\n"), History::Black, false}});
}

void Chat::appendNotice(const QString &text)
{
    ui->txtChat->append(text + QStringLiteral("\r\n"), History::Red, false);
}

void Chat::closeEvent(QCloseEvent *event)
{
    event->ignore();
    // Qt 6.4 delivers a refused programmatic close() twice; only a shown room can be left.
    if (!isVisible())
        return;
    m_program.SendCommand(wire::buildMessage(u"LEAVE", {m_program.ownNickname()}));
    hide();
}

void Chat::send()
{
    const QString line = ui->txtSend->text();
    if (line.isEmpty())
        return;
    if (!m_program.SendCommand(wire::buildMessage(u"CHAT", {m_program.ownNickname(), line}))) {
        // Nothing the user wrote is lost: the line stays in the box for another try.
        appendNotice(PM::NotSent);
        return;
    }
    appendLine(m_program.ownNickname(), History::Red, line);
    ui->txtSend->clear();
}

void Chat::tick()
{
    panels::setText(ui->stat, 1, clock_text::longTime());
    panels::setText(ui->stat, 2, clock_text::shortDate());
    // Just past the next whole second, when the time shown changes.
    tmrTime.start(1000 - QTime::currentTime().msec() + 2);
}
