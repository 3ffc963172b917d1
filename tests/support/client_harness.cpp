#include "support/client_harness.h"

#include "incoming/incoming.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/wire.h"
#include "ui_login.h"
#include "ui_mess.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
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

QStringList userNames(Program &program)
{
    QStringList names;
    if (QTreeWidgetItem *root = program.mess()->userTree()->root()) {
        for (int i = 0; i < root->childCount(); ++i)
            names.append(root->child(i)->text(0));
    }
    return names;
}

QTreeWidgetItem *findNode(Program &program, const QString &text)
{
    const auto found = program.mess()->userTree()->findItems(
        text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}

bool logInWithUsers(Program &program, FakeServer &server, const QString &nickname,
                    const QStringList &users)
{
    if (!logIn(program, server, nickname))
        return false;
    for (const QString &user : users)
        program.incoming().handle(QStringLiteral("NICK") + wire::FieldSeparator + user);
    program.mess()->show();
    server.clearReceived();
    return QTest::qWaitForWindowExposed(program.mess());
}

QByteArray receivedUpToARefresh(Program &program, FakeServer &server)
{
    const qsizetype before = server.received().size();
    program.mess()->ui->Command1->click();
    server.waitForBytes(before + getUserBytes().size());
    QTest::qWaitFor([&] { return server.received().endsWith(getUserBytes()); }, 5000);
    return server.received();
}

QByteArray getUserBytes()
{
    return QByteArray::fromHex("47455455534552A4B6A3C6");
}

QByteArray loginBytes(const QString &nickname)
{
    return wire::toCodePage(wire::buildMessage(u"LOGIN", {nickname}));
}

QByteArray clientBytes(const QString &command, std::initializer_list<QStringView> args)
{
    return wire::toCodePage(wire::buildMessage(command, args));
}

QList<Piece> piecesOf(const QTextDocument *document)
{
    QList<Piece> pieces;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            const Piece piece{fragment.text(), format.foreground().color().name(),
                              format.fontWeight() == QFont::Bold};
            if (!pieces.isEmpty() && pieces.last().colour == piece.colour
                && pieces.last().bold == piece.bold)
                pieces.last().text += piece.text;
            else
                pieces.append(piece);
        }
        if (block.next().isValid() && !pieces.isEmpty())
            pieces.last().text += QLatin1Char('\n');
    }
    return pieces;
}

char *toString(const Piece &piece)
{
    return QTest::toString(piece.text + QLatin1Char('|') + piece.colour
                           + (piece.bold ? QStringLiteral("|bold") : QString()));
}

BoxCloser::BoxCloser()
{
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] {
        if (!m_paused)
            poll();
    });
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
