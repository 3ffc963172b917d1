#include "support/client_harness.h"

#include "program.h"
#include "protocol/wire.h"
#include "ui_login.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

bool logIn(Program &program, FakeServer &server, const QString &nickname)
{
    const int before = server.connectionCount();
    Login *login = program.login();
    login->ui->txtUser->setText(nickname);
    login->ui->Text1->setText(server.address());
    login->ui->cmdLogin->click();
    const QByteArray expected = loginBytes(nickname);
    return server.waitForClient(before + 1) && server.waitForBytes(expected.size())
        && server.received().startsWith(expected);
}

QByteArray loginBytes(const QString &nickname)
{
    return wire::toCodePage(wire::buildMessage(u"LOGIN", {nickname}));
}

BoxCloser::BoxCloser()
{
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &BoxCloser::poll);
    timer->start(10);
}

void BoxCloser::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    m_title = box->windowTitle();
    m_text = box->text();
    m_format = box->textFormat();
    m_icon = box->icon();
    ++m_count;
    box->button(QMessageBox::Ok)->click();
}
