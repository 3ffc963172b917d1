// Logging in through the login window, against a fake server on 127.0.0.11.
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "support/client_harness.h"
#include "support/fake_server.h"
#include "ui_login.h"
#include "ui_mess.h"

#include <QDir>
#include <QImage>
#include <QSignalSpy>
#include <QWindow>
#include <QTest>

namespace {
const QString kAddress = QStringLiteral("127.0.0.11");
}

class TestLogin : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(FakeServer(kAddress).isListening()); }

    // Pictures are SVG: without Qt's SVG plugin they would load as null, silently.
    void everyPictureLoads()
    {
        const QStringList names = QDir(QStringLiteral(":/pictures")).entryList();
        QVERIFY(names.size() >= 18);
        for (const QString &name : names)
            QVERIFY2(!QImage(QStringLiteral(":/pictures/") + name).isNull(), qPrintable(name));
    }

    void windowsStartAsLaidOut()
    {
        Program program;
        Mess *mess = program.mess();
        QCOMPARE(mess->windowTitle(), QStringLiteral("Korvex Mensajero por Dravo"));
        QCOMPARE(mess->statusLine(), QStringLiteral("Status : Idle"));
        QCOMPARE(mess->userTree()->topLevelItemCount(), 0);
        QVERIFY(mess->ui->mnuLogin->isEnabled());
        QVERIFY(!mess->ui->mnuClose->isEnabled());
        QVERIFY(!mess->isVisible());

        Login *login = program.login();
        QVERIFY(!login->isVisible());
        QVERIFY(!login->ui->txtHost->text().isEmpty());

        // "Entrar" shows the one login window.
        mess->ui->mnuLogin->trigger();
        mess->ui->mnuLogin->trigger();
        QCOMPARE(program.login(), login);
        QVERIFY(login->isVisible());
    }

    void loggingInPutsLoginOnTheWireAndTheMainWindowInItsLoggedInState()
    {
        FakeServer server(kAddress);
        Program program;
        program.mess()->ui->mnuLogin->trigger();
        QVERIFY(logIn(program, server, QStringLiteral("ana")));
        QCOMPARE(server.received(), QByteArray::fromHex("4C4F47494EA4B6A3C6616E61"));

        Login *login = program.login();
        QVERIFY(!login->isVisible());
        QCOMPARE(login->ui->txtHost->text(), kAddress);
        QCOMPARE(login->WS().state(), 7);
        Mess *mess = program.mess();
        QCOMPARE(mess->statusLine(), QStringLiteral("Status : Logged In"));
        UserTree *tree = mess->userTree();
        QCOMPARE(tree->topLevelItemCount(), 1);
        QTreeWidgetItem *root = tree->topLevelItem(0);
        QCOMPARE(root->data(0, UserTree::KeyRole).toString(), QStringLiteral("MAIN"));
        QCOMPARE(root->text(0), QStringLiteral("Online - ana"));
        QCOMPARE(UserTree::image(root), 2);
        QCOMPARE(root->data(0, UserTree::SelectedImageRole).toInt(), 2);
        QVERIFY(root->isExpanded());
        QCOMPARE(mess->windowTitle(), QStringLiteral("ana"));
        QVERIFY(!mess->ui->mnuLogin->isEnabled());
        QVERIFY(mess->ui->mnuClose->isEnabled());
    }

    void nicknameGoesOutInTheCodePage()
    {
        FakeServer server(kAddress);
        Program program;
        QVERIFY(logIn(program, server, QStringLiteral("Nuñez")));
        QCOMPARE(server.received(), QByteArray("LOGIN\xA4\xB6\xA3\xC6Nu\xF1" "ez"));
    }

    void markupInANicknameStaysLiteral()
    {
        FakeServer server(kAddress);
        Program program;
        const QString nickname = QStringLiteral("<b>x</b>[*]");
        QVERIFY(logIn(program, server, nickname));
        program.mess()->show();
        QVERIFY(QTest::qWaitForWindowExposed(program.mess()));
        // What the window system is given, placeholders resolved.
        QCOMPARE(program.mess()->windowHandle()->title(), nickname);
        QCOMPARE(program.mess()->userTree()->topLevelItem(0)->text(0),
                 QStringLiteral("Online - ") + nickname);
    }

    void emptyBoxesAreRefusedWithoutTouchingTheSocket()
    {
        FakeServer server(kAddress);
        Program program;
        Login *login = program.login();
        login->ui->cmdLogin->click();
        QCOMPARE(program.existingError()->errorText(),
                 QStringLiteral("Debes de Escribir un Nickname para entrar."));
        QCOMPARE(login->WS().state(), 0);

        login->ui->txtHost->setText(QStringLiteral("10.0.0.1"));
        login->ui->txtUser->setText(QStringLiteral("ana"));
        login->ui->cmdLogin->click();
        QCOMPARE(program.existingError()->errorText(),
                 QStringLiteral("Debes de introducir el ip del Dravonet Korvex a conectarte."));
        QCOMPARE(login->ui->txtHost->text(), QStringLiteral("10.0.0.1"));
        QCOMPARE(login->WS().state(), 0);
        // The refused attempts opened nothing: the first connection is the one made now.
        login->ui->Text1->setText(kAddress);
        login->ui->cmdLogin->click();
        QVERIFY(server.waitForClient());
        QVERIFY(server.waitForBytes(loginBytes(QStringLiteral("ana")).size()));
        QCOMPARE(server.connectionCount(), 1);
    }

    void failedConnectionsSetTheStatus_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("refused") << QStringLiteral("127.0.0.13");
        QTest::newRow("unparsable") << QStringLiteral("no es una direccion!");
    }

    void failedConnectionsSetTheStatus()
    {
        QFETCH(QString, host);
        Program program;
        Login *login = program.login();
        login->show();
        login->ui->txtUser->setText(QStringLiteral("ana"));
        login->ui->Text1->setText(host);
        login->ui->cmdLogin->click();
        QTRY_COMPARE_WITH_TIMEOUT(program.mess()->statusLine(),
                                  QStringLiteral("Status : Error al conectar"), 10000);
        QVERIFY(login->isVisible());
        QVERIFY(program.mess()->ui->mnuLogin->isEnabled());
    }

    void twoQuickClicksMakeOneConnection()
    {
        FakeServer server(kAddress);
        Program program;
        Login *login = program.login();
        QSignalSpy connected(&login->WS(), &ClientSocket::connected);
        login->ui->txtUser->setText(QStringLiteral("ana"));
        login->ui->Text1->setText(kAddress);
        login->ui->cmdLogin->click();
        login->ui->cmdLogin->click();
        QVERIFY(server.waitForBytes(loginBytes(QStringLiteral("ana")).size()));
        // A refresh goes out behind anything else the client sent on this connection.
        program.mess()->ui->Command1->click();
        const QByteArray getuser = QByteArray::fromHex("47455455534552A4B6A3C6");
        QVERIFY(server.waitForBytes(loginBytes(QStringLiteral("ana")).size() + getuser.size()));
        QCOMPARE(server.received(), loginBytes(QStringLiteral("ana")) + getuser);
        QCOMPARE(connected.count(), 1);
        QCOMPARE(program.mess()->userTree()->topLevelItemCount(), 1);
    }

    void enterInTheNicknameBoxActsAsTheButton()
    {
        FakeServer server(kAddress);
        Program program;
        Login *login = program.login();
        login->show();
        login->ui->Text1->setText(kAddress);
        QTest::keyClicks(login->ui->txtUser, QStringLiteral("luis"));
        // Enter in the address box does nothing; the one in the nickname box logs in.
        QSignalSpy connected(&login->WS(), &ClientSocket::connected);
        QTest::keyClick(login->ui->Text1, Qt::Key_Return);
        QCOMPARE(login->WS().state(), 0);
        QTest::keyClick(login->ui->txtUser, Qt::Key_Return);
        QVERIFY(server.waitForBytes(loginBytes(QStringLiteral("luis")).size()));
        QCOMPARE(server.received(), loginBytes(QStringLiteral("luis")));
        QCOMPARE(server.connectionCount(), 1);
        QCOMPARE(connected.count(), 1);
        QCOMPARE(login->nickname(), QStringLiteral("luis"));
    }

    void localAddressButtonFillsTheAddressBox()
    {
        Program program;
        Login *login = program.login();
        login->ui->Text1->setText(QStringLiteral("escrito"));
        login->ui->Command1->click();
        QCOMPARE(login->ui->Text1->text(), login->WS().localIP());
    }

    void closingTheLoginWindowDiscardsItAndItsConnection()
    {
        FakeServer server(kAddress);
        Program program;
        Login *login = program.login();
        login->show();
        login->ui->txtUser->setText(QStringLiteral("ana"));
        login->ui->Text1->setText(kAddress);
        login->ui->cmdLogin->click();
        login->close();
        QTRY_VERIFY(!program.existingLogin());
        QVERIFY(program.login()->nickname().isEmpty());
        QCOMPARE(program.login()->WS().state(), 0);
    }
};

QTEST_MAIN(TestLogin)
#include "test_login.moc"
