#include "conversations/pm.h"

#include "conversations/history.h"
#include "layouts/panels.h"
#include "layouts/placement.h"
#include "layouts/plain_text.h"
#include "program.h"
#include "protocol/wire.h"
#include "ui_pm.h"

#include <QCloseEvent>

PM::PM(Program &program) : ui(new Ui::PM), m_program(program)
{
    ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    panels::setUp(ui->stat, {267});
    m_caption = windowTitle();

    connect(ui->cmdSend, &QPushButton::clicked, this, &PM::send);
    connect(ui->txtSend, &QLineEdit::returnPressed, this, &PM::send);
}

PM::~PM()
{
    delete ui;
}

void PM::setCaption(const QString &caption)
{
    m_caption = caption;
    plain::setCaption(this, caption);
}

void PM::appendLine(const QString &writer, const QColor &writerColour, const QString &text)
{
    ui->txtChat->append({{writer + QStringLiteral(" : "), writerColour, true},
                         {text + QStringLiteral("\r\n"), History::Black, false}});
}

void PM::setCorrespondents(const QString &to, const QString &from)
{
    ui->txtTo->setText(to);
    ui->txtFrom->setText(from);
}

void PM::lineArrived(const QString &sender, const QString &own, const QString &text)
{
    setCorrespondents(sender, own);
    appendLine(sender, History::Blue, text);
    lockRecipient();
}

void PM::appendNotice(const QString &text)
{
    ui->txtChat->append(text + QStringLiteral("\r\n"), History::Black, true);
}

void PM::lockRecipient()
{
    ui->txtTo->setReadOnly(true);
}

void PM::setStatusText(const QString &text)
{
    panels::setText(ui->stat, 1, text);
}

QString PM::statusText() const
{
    return panels::text(ui->stat, 1);
}

void PM::closeEvent(QCloseEvent *event)
{
    event->accept();
    Q_EMIT closedByUser();
}

void PM::send()
{
    const QString line = ui->txtSend->text();
    if (line.isEmpty())
        return;
    if (!m_program.SendCommand(
            wire::buildMessage(u"PM", {ui->txtTo->text(), ui->txtFrom->text(), line}))) {
        // Nothing the user wrote is lost: the line stays in the box for another try.
        appendNotice(NotSent);
        return;
    }
    appendLine(ui->txtFrom->text(), History::Red, line);
    lockRecipient();
    ui->txtSend->clear();
}
