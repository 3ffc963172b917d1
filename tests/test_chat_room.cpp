// The chat room, administrator notices, the about box and expulsion. Fake server on 127.0.0.17.
#include "conversations/chat.h"
#include "incoming/incoming.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "protocol/clock.h"
#include "protocol/wire.h"
#include "support/client_harness.h"
#include "support/client_test.h"
#include "support/fake_server.h"
#include "ui_admin.h"
#include "ui_chat.h"
#include "ui_login.h"
#include "ui_mess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

namespace {
const QString kAddress = QStringLiteral("127.0.0.17");
const QString sep = wire::FieldSeparator;
const QString red = QStringLiteral("#ff0000");
const QString blue = QStringLiteral("#0000ff");
const QString black = QStringLiteral("#000000");

QString panel(Chat *chat, int number)
{
    return chat->ui->stat->findChild<QLabel *>("panel" + QString::number(number))->text();
}
} // namespace

class TestChatRoom : public ClientTest {
    Q_OBJECT

public:
    TestChatRoom() : ClientTest(kAddress) {}

private:

    void logInAs(const QString &nickname)
    {
        QVERIFY(logIn(*program, *server, nickname));
        server->clearReceived();
    }

    QString history() { return program->chat()->ui->txtChat->toPlainText(); }

private Q_SLOTS:
    void theRoomStartsAsLaidOutAndItsClockRuns()
    {
        Chat *chat = program->chat();
        QVERIFY(!chat->isVisible());
        QVERIFY(chat->tmrTime.isActive());
        QCOMPARE(panel(chat, 1), QString());
        QCOMPARE(panel(chat, 2), QString());
        // After the first tick the panels show the time and date, and keep up, hidden or not.
        QTRY_VERIFY(!panel(chat, 1).isEmpty());
        QTRY_COMPARE(panel(chat, 1), clock_text::longTime());
        QCOMPARE(panel(chat, 2), clock_text::shortDate());
        // It ticks when the displayed second changes, not every millisecond.
        int ticks = 0;
        connect(&chat->tmrTime, &QTimer::timeout, this, [&] { ++ticks; });
        const QString shown = panel(chat, 1);
        QTRY_VERIFY_WITH_TIMEOUT(panel(chat, 1) != shown, 2500);
        QVERIFY2(ticks <= 2, qPrintable(QString::number(ticks)));
        QTRY_COMPARE(panel(chat, 1), clock_text::longTime());
    }

    void eachEnterSendsOneLineAndWritesIt()
    {
        logInAs("ana");
        Chat *chat = program->chat();
        chat->show();
        QTest::keyClick(chat->ui->txtSend, Qt::Key_Return); // empty: nothing
        QTest::keyClicks(chat->ui->txtSend, "hola");
        QTest::keyClick(chat->ui->txtSend, Qt::Key_Return);
        const QByteArray line = clientBytes("CHAT", {u"ana", u"hola"});
        QVERIFY(server->waitForBytes(line.size()));
        QCOMPARE(server->received(), line);
        QCOMPARE(piecesOf(chat->ui->txtChat->document()),
                 QList<Piece>({{"ana : ", red, true}, {"hola\n", black, false}}));
        QVERIFY(chat->ui->txtSend->text().isEmpty());

        // A line of blanks is a line.
        chat->ui->txtSend->setText("   ");
        chat->ui->cmdSend->click();
        const QByteArray blanks = clientBytes("CHAT", {u"ana", u"   "});
        QVERIFY(server->waitForBytes(line.size() + blanks.size()));
        QCOMPARE(server->received(), line + blanks);
        QCOMPARE(history(), QString("ana : hola\nana :    \n"));
    }

    void sendingWhileDisconnectedStillWritesTheLine()
    {
        Chat *chat = program->chat();
        chat->ui->txtSend->setText("hola");
        chat->ui->cmdSend->click();
        QCOMPARE(mess->statusLine(), QString("Status : Not Connected"));
        // Logged out, the nickname is empty: the line starts with " : ".
        QCOMPARE(history(), QString(" : hola\n"));
        QVERIFY(chat->ui->txtSend->text().isEmpty());
    }

    void closingLeavesTheRoomAndKeepsTheHistory()
    {
        logInAs("ana");
        mess->ui->cmdChat->click();
        mess->ui->cmdChat->click(); // already shown: nothing more
        Chat *chat = program->chat();
        QVERIFY(chat->isVisible());
        QCOMPARE(receivedUpToARefresh(*program, *server),
                 clientBytes("ENTER", {u"ana"}) + getUserBytes());
        program->incoming().handle("CHAT" + sep + "luis" + sep + "hola");

        server->clearReceived();
        chat->close();
        QVERIFY(!chat->isVisible());
        QCOMPARE(program->existingChat(), chat);
        QVERIFY(server->waitForBytes(clientBytes("LEAVE", {u"ana"}).size()));
        QCOMPARE(server->received(), clientBytes("LEAVE", {u"ana"}));

        server->clearReceived();
        mess->ui->cmdChat->click();
        QVERIFY(chat->isVisible());
        QCOMPARE(history(), QString("luis : hola\n"));
        QVERIFY(server->waitForBytes(clientBytes("ENTER", {u"ana"}).size()));
        QCOMPARE(server->received(), clientBytes("ENTER", {u"ana"}));

        // The menu only shows the room; leaving still says LEAVE.
        server->clearReceived();
        chat->close();
        QVERIFY(server->waitForBytes(clientBytes("LEAVE", {u"ana"}).size()));
        server->clearReceived();
        mess->ui->mnuChat->trigger();
        QVERIFY(chat->isVisible());
        chat->close();
        QVERIFY(server->waitForBytes(clientBytes("LEAVE", {u"ana"}).size()));
        QCOMPARE(server->received(), clientBytes("LEAVE", {u"ana"}));
    }

    void theRoomNeedsAConnection()
    {
        mess->ui->mnuChat->trigger();
        QCOMPARE(mess->statusLine(), QString("Status : No Conectado"));
        QVERIFY(!program->existingChat() || !program->existingChat()->isVisible());
    }

    void incomingRoomTrafficIsWrittenEvenWhileTheRoomIsClosed()
    {
        logInAs("ana");
        Incoming &incoming = program->incoming();
        incoming.handle("ENTER" + sep + "luis");
        incoming.handle("CHAT" + sep + "luis" + sep + "hola");
        incoming.handle("CHAT" + sep + "ana" + sep + "eco de lo mio");
        incoming.handle("ENTER" + sep + "ana");
        incoming.handle("LEAVE" + sep + "luis");
        incoming.handle("ENTER");
        QVERIFY(!program->chat()->isVisible());
        QCOMPARE(piecesOf(program->chat()->ui->txtChat->document()),
                 QList<Piece>({{"<luis Entro a la charla>\n", red, false},
                               {"luis : ", blue, true},
                               {"hola\n", black, false},
                               {"<ana Entro a la charla>\n<luis salio de la charla>\n"
                                "< Entro a la charla>\n",
                                red, false}}));
    }

    void noticesComeWithOneBoxPerWindow()
    {
        logInAs("ana");
        BoxCloser boxes;
        program->incoming().handle("MESSAGE" + sep + "primero");
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.lastText(), QString("Mensaje de Administrador Korvex"));
        QCOMPARE(boxes.lastIcon(), int(QMessageBox::NoIcon));
        Admin *admin = program->existingAdmin();
        QVERIFY(admin && admin->isVisible());
        QCOMPARE(admin->ui->txtMess->toPlainText(), QString("primero"));

        server->sendMessage({"MESSAGE", "<b>segundo</b>"});
        QTRY_COMPARE(admin->ui->txtMess->toPlainText(), QString("<b>segundo</b>"));
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(program->existingAdmin(), admin);
        QCOMPARE(admin->ui->lblTime->text(), "Time : " + clock_text::longTime());
        QCOMPARE(admin->ui->lblDate->text(), "Date : " + clock_text::shortDate());
        QCOMPARE(admin->ui->lblTime->textFormat(), Qt::PlainText);

        admin->close();
        QTRY_VERIFY(!program->existingAdmin());
        program->incoming().handle("MESSAGE");
        QCOMPARE(boxes.count(), 2);
        QCOMPARE(program->existingAdmin()->ui->txtMess->toPlainText(), QString());
        QVERIFY(program->existingAdmin()->isVisible());
    }

    // A notice that arrives while the first one's box is open stays the one shown.
    void aLaterNoticeIsNotOverwrittenByAnEarlierOne()
    {
        logInAs("ana");
        bool sent = false;
        QTimer poke;
        connect(&poke, &QTimer::timeout, this, [&] {
            if (!sent && QApplication::activeModalWidget()) {
                sent = true;
                program->incoming().handle("MESSAGE" + sep + "segundo");
            }
        });
        poke.start(5);
        BoxCloser boxes;
        program->incoming().handle("MESSAGE" + sep + "primero");
        QVERIFY(sent);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(program->existingAdmin()->ui->txtMess->toPlainText(), QString("segundo"));
    }

    void theAboutBoxComesOncePerWindow()
    {
        BoxCloser boxes;
        About *about = program->about();
        QCOMPARE(program->about(), about);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.lastText(), About::ContactLine);
        QCOMPARE(boxes.lastTextFormat(), int(Qt::PlainText));
        about->show();
        about->close();
        QTRY_VERIFY(!program->existingAbout());
        program->about();
        QCOMPARE(boxes.count(), 2);
    }

    void bootForSomeoneElseChangesNothing()
    {
        logInAs("ana");
        program->incoming().handle("NICK" + sep + "luis");
        BoxCloser boxes;
        program->incoming().handle("BOOT" + sep + "luis");
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(mess->userTree()->userCount(), 1);
        QCOMPARE(program->login()->WS().state(), 7);
    }

    void bootForTheOwnUserLogsOutAndClosesASecondLater()
    {
        logInAs("ana");
        program->incoming().handle("NICK" + sep + "luis");
        mess->show();
        BoxCloser boxes;
        // For an expulsion the list goes before the status is written, the nickname after.
        int rootsAtStatus = -1;
        QString nicknameAtStatus;
        connect(mess, &Mess::statusLineChanged, this, [&](const QString &text) {
            if (text == "Status : Logged Out") {
                rootsAtStatus = mess->userTree()->topLevelItemCount();
                nicknameAtStatus = program->ownNickname();
            }
        });
        QElapsedTimer clock;
        QTcpSocket *serverSide = server->client();
        qint64 logoutAt = -1;
        connect(serverSide, &QTcpSocket::readyRead, this, [&] {
            if (logoutAt < 0)
                logoutAt = clock.elapsed();
        });
        clock.start();
        server->sendMessage({"BOOT", "ana"});
        QVERIFY(server->waitForDisconnect(10000));
        const qint64 closedAt = clock.elapsed();

        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.lastTitle(), QString("Disconnection"));
        QCOMPARE(boxes.lastText(), QString("Fuistes Botado del Servidor por KORVEX admin"));
        QCOMPARE(boxes.lastIcon(), int(QMessageBox::Information));
        QCOMPARE(server->received(), clientBytes("LOGOUT", {u"ana"}));
        QCOMPARE(rootsAtStatus, 0);
        QCOMPARE(nicknameAtStatus, QString("ana"));
        QVERIFY(logoutAt >= 0);
        QVERIFY2(closedAt - logoutAt >= 900, qPrintable(QString::number(closedAt - logoutAt)));
        QCOMPARE(mess->userTree()->topLevelItemCount(), 0);
        QCOMPARE(mess->statusLine(), QString("Status : Logged Out"));
        QVERIFY(mess->ui->mnuLogin->isEnabled());
        QVERIFY(!mess->ui->mnuClose->isEnabled());
        QCOMPARE(program->ownNickname(), QString());
        QCOMPARE(mess->windowTitle(), QString("KORVEX Mensajero"));
        QVERIFY(program->login()->WS().state() != 7);
        QVERIFY(!program->login()->isVisible());
    }

    // Under the sanitizers: a BOOT or MESSAGE that comes while a NICK waits, and data that comes
    // while the BOOT box is open, break nothing and skip no step.
    void expulsionAndNoticesNestedInsideOtherHandlers()
    {
        logInAs("ana");
        BoxCloser boxes;
        bool sent = false;
        connect(mess->userTree()->model(), &QAbstractItemModel::rowsInserted, this, [&] {
            if (!sent) {
                sent = true;
                server->sendMessage({"MESSAGE", "durante la pausa"});
            }
        });
        server->sendMessage({"NICK", "luis"});
        QTRY_COMPARE(mess->statusLine(), QString("Status : 1 usuario(s)"));
        QVERIFY(program->existingAdmin());
        QCOMPARE(program->existingAdmin()->ui->txtMess->toPlainText(), QString("durante la pausa"));

        // While the BOOT box is open, another user arrives; the expulsion's steps all follow.
        QStringList statuses;
        connect(mess, &Mess::statusLineChanged, this,
                [&](const QString &text) { statuses.append(text); });
        bool poked = false;
        QTimer during;
        connect(&during, &QTimer::timeout, this, [&] {
            if (!poked && qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                poked = true;
                server->sendMessage({"NICK", "pepe"});
                // The box stays open until pepe is listed.
                QTRY_COMPARE(mess->userTree()->userCount(), 2);
                boxes.poll();
            }
        });
        during.start(1);
        boxes.setPaused(true);
        server->clearReceived();
        server->sendMessage({"BOOT", "ana"});
        QVERIFY(server->waitForDisconnect(10000));
        QVERIFY(poked);
        QCOMPARE(server->received(), clientBytes("LOGOUT", {u"ana"}));
        QCOMPARE(mess->userTree()->topLevelItemCount(), 0);
        QCOMPARE(mess->windowTitle(), QString("KORVEX Mensajero"));
        QCOMPARE(program->ownNickname(), QString());
        QCOMPARE(statuses.first(), QString("Status : 2 usuario(s)"));
        QCOMPARE(statuses.last(), QString("Status : Logged Out"));
    }

    void chatTextStaysPlain()
    {
        logInAs("ana");
        const QString markup = "<img src=file:///etc/passwd><b>x</b>";
        program->incoming().handle("CHAT" + sep + markup + sep + markup);
        QCOMPARE(history(), markup + " : " + markup + "\n");
    }
};

QTEST_MAIN(TestChatRoom)
#include "test_chat_room.moc"
