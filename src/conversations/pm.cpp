#include "conversations/pm.h"

#include "conversations/history.h"
#include "core/client.h"
#include "core/conversations.h"
#include "layouts/panels.h"
#include "layouts/placement.h"
#include "layouts/plain_text.h"
#include "ui_pm.h"

#include <QCloseEvent>

PM::PM(Client &core, int slot) : ui(new Ui::PM), m_core(core), m_slot(slot)
{
    ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    panels::setUp(ui->stat, {267});

    connect(ui->cmdSend, &QPushButton::clicked, this, &PM::send);
    connect(ui->txtSend, &QLineEdit::returnPressed, this, &PM::send);
    connect(ui->txtTo, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_core.conversations().setCorrespondent(m_slot, text);
    });
    refresh();
}

PM::~PM()
{
    delete ui;
}

void PM::refresh()
{
    const Conversations::Private *conversation = m_core.conversations().at(m_slot);
    if (!conversation)
        return;
    if (ui->txtTo->text() != conversation->correspondent)
        ui->txtTo->setText(conversation->correspondent);
    ui->txtFrom->setText(conversation->own);
    ui->txtTo->setReadOnly(conversation->locked);
    if (!conversation->caption.isEmpty())
        plain::setCaption(this, conversation->caption);
    if (!conversation->statusText.isEmpty())
        panels::setText(ui->stat, 1, conversation->statusText);
}

void PM::appendLine(const QString &writer, const QColor &writerColour, const QString &text)
{
    ui->txtChat->append({{writer + QStringLiteral(" : "), writerColour, true},
                         {text + QStringLiteral("\r\n"), History::Black, false}});
}

void PM::appendNotice(const QString &text)
{
    ui->txtChat->append(text + QStringLiteral("\r\n"), History::Black, true);
}

QString PM::statusText() const
{
    return panels::text(ui->stat, 1);
}

void PM::closeEvent(QCloseEvent *event)
{
    event->accept();
    m_core.conversations().close(m_slot);
}

void PM::send()
{
    // Nothing the user wrote is lost: a line that cannot go stays in the box for another try.
    if (m_core.conversations().send(m_slot, ui->txtSend->text()))
        ui->txtSend->clear();
}
