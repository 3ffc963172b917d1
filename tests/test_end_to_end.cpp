// The real relay server and real clients, in one process: what one user does reaches the
// others as they would see it. Server on 127.0.0.19.
#include "conversations/chat.h"
#include "conversations/pm.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "server/relay_server.h"
#include "support/client_harness.h"
#include "ui_admin.h"
#include "ui_chat.h"
#include "ui_login.h"
#include "ui_mess.h"
#include "ui_pm.h"

#include <QTest>
#include <QTextStream>

namespace {
const QString kAddress = QStringLiteral("127.0.0.19");

QString chatOf(Program &program)
{
    return program.chat()->ui->txtChat->toPlainText();
}
} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    QString serverLog;
    QTextStream logStream{&serverLog};
    RelayServer *server = nullptr;
    Program *ana = nullptr;
    Program *luis = nullptr;

    bool logInAs(Program &program, const QString &nickname)
    {
        Login *login = program.login();
        login->ui->txtUser->setText(nickname);
        login->ui->Text1->setText(kAddress);
        login->ui->cmdLogin->click();
        return QTest::qWaitFor([&] { return userNames(program).contains(nickname); }, 5000);
    }

private Q_SLOTS:
    void init()
    {
        ServerConfig config;
        config.listenAddress = QHostAddress(kAddress);
        config.bootGrace = std::chrono::milliseconds(3000);
        server = new RelayServer(config, logStream);
        QVERIFY(server->listen());
        ana = new Program;
        luis = new Program;
        QVERIFY(logInAs(*ana, "ana"));
        QVERIFY(logInAs(*luis, "luis"));
    }

    void cleanup()
    {
        delete ana;
        delete luis;
        delete server;
        serverLog.clear();
    }

    void everyoneSeesEveryoneListed()
    {
        QTRY_COMPARE(userNames(*ana), QStringList({"ana", "luis"}));
        QTRY_COMPARE(userNames(*luis), QStringList({"ana", "luis"}));
        QTRY_COMPARE(ana->mess()->statusLine(), QString("Status : 2 usuario(s)"));

        Program pepe;
        QVERIFY(logInAs(pepe, "pepe"));
        QTRY_COMPARE(userNames(pepe), QStringList({"ana", "luis", "pepe"}));
        QTRY_COMPARE(userNames(*ana), QStringList({"ana", "luis", "pepe"}));

        // A refresh lists the same users again.
        ana->mess()->ui->Command1->click();
        QTRY_COMPARE(userNames(*ana), QStringList({"ana", "luis", "pepe"}));
    }

    void aPrivateMessageOpensTheConversationOnTheOtherSide()
    {
        QTRY_VERIFY(findNode(*ana, "luis"));
        ana->mess()->userTree()->setCurrentItem(findNode(*ana, "luis"));
        ana->mess()->ui->cmdPm->click();
        PM *mine = ana->PMWindows().window(0);
        QVERIFY(mine);
        mine->ui->txtSend->setText("hola luis, ¿qué tal?");
        QTest::keyClick(mine->ui->txtSend, Qt::Key_Return);

        QTRY_VERIFY(luis->PMWindows().window(0));
        PM *theirs = luis->PMWindows().window(0);
        QTRY_COMPARE(theirs->ui->txtChat->toPlainText(), QString("ana : hola luis, ¿qué tal?\n"));
        QCOMPARE(theirs->caption(), QString("Mensaje Privado -- ana"));
        QVERIFY(theirs->isVisible());

        // The answer lands in the window ana opened.
        QTest::keyClicks(theirs->ui->txtSend, "bien");
        QTest::keyClick(theirs->ui->txtSend, Qt::Key_Return);
        QTRY_COMPARE(mine->ui->txtChat->toPlainText(),
                     QString("ana : hola luis, ¿qué tal?\nluis : bien\n"));
        QVERIFY(!serverLog.contains("bien")); // private text is never logged
    }

    void blockingTellsTheWriterNothingGetsThrough()
    {
        QTRY_VERIFY(findNode(*luis, "ana"));
        luis->mess()->userTree()->setCurrentItem(findNode(*luis, "ana"));
        luis->mess()->ui->mnuIggy->trigger();
        QVERIFY(luis->mess()->isBlocked("ana"));

        QTRY_VERIFY(findNode(*ana, "luis"));
        ana->mess()->userTree()->setCurrentItem(findNode(*ana, "luis"));
        ana->mess()->ui->cmdPm->click();
        PM *mine = ana->PMWindows().window(0);
        mine->ui->txtSend->setText("¿me lees?");
        mine->ui->cmdSend->click();
        QTRY_COMPARE(mine->ui->txtChat->toPlainText(),
                     QString("ana : ¿me lees?\n<Usuario te ha ignorado>\n"));
        QCOMPARE(luis->PMWindows().NextPMSlot(), 0);
    }

    void theChatRoomReachesEveryMember()
    {
        ana->mess()->ui->cmdChat->click();
        QTRY_COMPARE(chatOf(*ana), QString("<ana Entro a la charla>\n"));
        luis->mess()->ui->cmdChat->click();
        QTRY_COMPARE(chatOf(*ana), QString("<ana Entro a la charla>\n<luis Entro a la charla>\n"));
        QTRY_COMPARE(chatOf(*luis), QString("<luis Entro a la charla>\n"));

        Chat *room = ana->chat();
        QTest::keyClicks(room->ui->txtSend, "hola sala");
        QTest::keyClick(room->ui->txtSend, Qt::Key_Return);
        QTRY_COMPARE(chatOf(*luis), QString("<luis Entro a la charla>\nana : hola sala\n"));

        luis->chat()->close();
        QTRY_COMPARE(chatOf(*ana), QString("<ana Entro a la charla>\n<luis Entro a la charla>\n"
                                           "ana : hola sala\n<luis salio de la charla>\n"));
        // ana's own line was written once, when she sent it.
        QCOMPARE(chatOf(*ana).count("hola sala"), 1);
        QVERIFY(!serverLog.contains("hola sala"));
    }

    void administratorNoticesAndExpulsion()
    {
        BoxCloser boxes;
        server->admin("msg Reunion a las 8");
        QTRY_VERIFY(ana->existingAdmin() && luis->existingAdmin());
        QTRY_COMPARE(ana->existingAdmin()->ui->txtMess->toPlainText(), QString("Reunion a las 8"));
        QTRY_COMPARE(luis->existingAdmin()->ui->txtMess->toPlainText(),
                     QString("Reunion a las 8"));

        server->admin("boot luis");
        QTRY_COMPARE_WITH_TIMEOUT(luis->mess()->statusLine(), QString("Status : Logged Out"), 5000);
        QCOMPARE(boxes.lastTitle(), QString("Disconnection"));
        QCOMPARE(luis->mess()->windowTitle(), QString("KORVEX Mensajero"));
        QTRY_COMPARE(ana->mess()->statusLine(), QString("Status : Usuario Salio del servidor"));
        QTRY_VERIFY_WITH_TIMEOUT(luis->login()->WS().state() != 7, 5000);
        QVERIFY(serverLog.contains("booted"));
        QVERIFY(serverLog.contains("\"luis\" logged out"));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
