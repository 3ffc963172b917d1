// Private conversations: the window, its registry, opening from the main window, sending, and
// the incoming PM and IGNORE. Fake server on 127.0.0.16.
#include "conversations/history.h"
#include "conversations/pm.h"
#include "incoming/incoming.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/clock.h"
#include "protocol/wire.h"
#include "support/client_harness.h"
#include "support/client_test.h"
#include "support/fake_server.h"
#include "ui_mess.h"
#include "ui_pm.h"

#include <QTest>

namespace {
const QString kAddress = QStringLiteral("127.0.0.16");
const QString sep = wire::FieldSeparator;
const QString red = QStringLiteral("#ff0000");
const QString blue = QStringLiteral("#0000ff");
const QString black = QStringLiteral("#000000");
} // namespace

class TestPrivateMessages : public ClientTest {
    Q_OBJECT

public:
    TestPrivateMessages() : ClientTest(kAddress) {}

private:

    // Logged in as luis, with these users listed.
    void logInWithUsers(const QStringList &users)
    {
        QVERIFY(::logInWithUsers(*program, *server, "luis", users));
    }

    QTreeWidgetItem *node(const QString &text) const { return findNode(*program, text); }

    void openFromMainWindow(const QString &user)
    {
        mess->userTree()->setCurrentItem(node(user));
        mess->ui->cmdPm->click();
    }

    void receive(const QString &recipient, const QString &sender, const QString &text)
    {
        program->incoming().handle("PM" + sep + recipient + sep + sender + sep + text);
    }

    QList<PM *> windows() const
    {
        QList<PM *> found;
        for (int slot = 0; slot < program->PMWindows().NextPMSlot(); ++slot) {
            if (PM *window = program->PMWindows().window(slot))
                found.append(window);
        }
        return found;
    }

private Q_SLOTS:
    void sendingALineWritesTheWireAndTheHistory()
    {
        logInWithUsers({"ana"});
        openFromMainWindow("ana");
        PM *window = windows().value(0);
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->caption(), QString("Private Message -- ana"));
        QCOMPARE(window->ui->txtTo->text(), QString("ana"));
        QCOMPARE(window->ui->txtFrom->text(), QString("luis"));
        QVERIFY(!window->ui->txtTo->isReadOnly());
        QCOMPARE(server->received(), QByteArray()); // opening sends nothing

        QTest::keyClick(window->ui->txtSend, Qt::Key_Return); // empty: nothing at all
        QTest::keyClicks(window->ui->txtSend, "hola");
        QTest::keyClick(window->ui->txtSend, Qt::Key_Return);
        const QByteArray pm =
            QByteArray::fromHex("504DA4B6A3C6616E61A4B6A3C66C756973A4B6A3C6686F6C61");
        QVERIFY(server->waitForBytes(pm.size()));
        QCOMPARE(server->received(), pm);
        QCOMPARE(piecesOf(window->ui->txtChat->document()),
                 QList<Piece>({{"luis : ", red, true}, {"hola\n", black, false}}));
        QVERIFY(window->ui->txtSend->text().isEmpty());
        QVERIFY(window->ui->txtTo->isReadOnly());

        // The button does the same.
        window->ui->txtSend->setText("¿qué?");
        window->ui->cmdSend->click();
        QVERIFY(server->waitForBytes(pm.size() + 14));
        QVERIFY(server->received().endsWith(QByteArray("luis\xA4\xB6\xA3\xC6\xBFqu\xE9?")));
    }

    void sendingWhileDisconnectedStillWritesTheLine()
    {
        PM *window = program->PMWindows().openNew();
        window->ui->txtTo->setText("ana");
        window->ui->txtSend->setText("hola");
        window->ui->cmdSend->click();
        QCOMPARE(mess->statusLine(), QString("Status : Not Connected"));
        QCOMPARE(window->ui->txtChat->toPlainText(), QString(" : hola\n"));
        QVERIFY(window->ui->txtSend->text().isEmpty());
    }

    void aMessageForSomeoneElseIsIgnored()
    {
        logInWithUsers({});
        mess->setBlockList("bob\r\n");
        receive("pepe", "bob", "hola");
        receive("pepe", "ana", "hola");
        QCOMPARE(receivedUpToARefresh(*program, *server), getUserBytes());
        QCOMPARE(program->PMWindows().NextPMSlot(), 0);
    }

    void aBlockedSenderGetsIgnoreAndNothingShows()
    {
        logInWithUsers({});
        mess->setBlockList("bob\r\n");
        receive("luis", "bob", "hola");
        const QByteArray ignore = clientBytes("IGNORE", {u"luis", u"bob"});
        QVERIFY(server->waitForBytes(ignore.size()));
        QCOMPARE(server->received(), ignore);
        QCOMPARE(program->PMWindows().NextPMSlot(), 0);
        // Only whole entries block: bobby is not bob.
        receive("luis", "bobby", "hola");
        QCOMPARE(program->PMWindows().NextPMSlot(), 1);
    }

    void theFirstMessageOpensAWindowAndLaterOnesAppend()
    {
        logInWithUsers({});
        const QString date = clock_text::shortDate();
        receive("luis", "ana", "hola");
        QCOMPARE(program->PMWindows().NextPMSlot(), 1);
        PM *window = program->PMWindows().window(0);
        QVERIFY(window->isVisible());
        QCOMPARE(window->caption(), QString("Mensaje Privado -- ana"));
        QCOMPARE(window->ui->txtTo->text(), QString("ana"));
        QVERIFY(window->ui->txtTo->isReadOnly());
        QCOMPARE(window->ui->txtFrom->text(), QString("luis"));
        QCOMPARE(piecesOf(window->ui->txtChat->document()),
                 QList<Piece>({{"ana : ", blue, true}, {"hola\n", black, false}}));
        QVERIFY2(window->statusText().startsWith("Ultimo mensaje recivido " + date + " at "),
                 qPrintable(window->statusText()));
        QVERIFY(window->statusText().size() > QString("Ultimo mensaje recivido  at ").size()
                                                  + date.size());

        // The second one is appended where the first went; a hidden window stays hidden.
        window->hide();
        receive("luis", "ana", "¿sigues?");
        QCOMPARE(program->PMWindows().NextPMSlot(), 1);
        QVERIFY(!window->isVisible());
        QCOMPARE(window->ui->txtChat->toPlainText(), QString("ana : hola\nana : ¿sigues?\n"));
        QVERIFY(window->statusText().startsWith("Ult. Mensaje Recivido " + date + " at "));
        QCOMPARE(window->caption(), QString("Mensaje Privado -- ana"));
    }

    void aMessageReachesTheWindowOpenedFromTheMainWindow()
    {
        logInWithUsers({"ana"});
        openFromMainWindow("ana");
        receive("luis", "ana", "hola");
        QCOMPARE(program->PMWindows().NextPMSlot(), 1);
        PM *window = windows().value(0);
        QCOMPARE(window->caption(), QString("Private Message -- ana"));
        QCOMPARE(window->ui->txtChat->toPlainText(), QString("ana : hola\n"));
        QVERIFY(window->ui->txtTo->isReadOnly());
    }

    void oneWindowPerConversationFromTheMainWindow()
    {
        logInWithUsers({"ana", "pepe"});
        openFromMainWindow("ana");
        openFromMainWindow("ana");
        QCOMPARE(program->PMWindows().NextPMSlot(), 1);
        // A double-click on the node finds the same window.
        QTreeWidgetItem *ana = node("ana");
        QTest::mouseDClick(mess->userTree()->viewport(), Qt::LeftButton, {},
                           mess->userTree()->visualItemRect(ana).center());
        QCOMPARE(program->PMWindows().NextPMSlot(), 1);
        QTreeWidgetItem *pepe = node("pepe");
        QTest::mouseDClick(mess->userTree()->viewport(), Qt::LeftButton, {},
                           mess->userTree()->visualItemRect(pepe).center());
        QCOMPARE(program->PMWindows().NextPMSlot(), 2);
        QCOMPARE(windows().value(1)->caption(), QString("Private Message -- pepe"));

        // A conversation opened by an arriving message has the other caption: a second window.
        receive("luis", "rita", "hola");
        program->incoming().handle("NICK" + sep + "rita");
        openFromMainWindow("rita");
        QCOMPARE(program->PMWindows().NextPMSlot(), 4);
    }

    void everySlotIsSearchedAndNoneIsGivenTwice()
    {
        QStringList users;
        for (int i = 0; i < 40; ++i)
            users.append("u" + QString::number(i));
        logInWithUsers(users);
        for (const QString &user : users)
            openFromMainWindow(user);
        QCOMPARE(program->PMWindows().NextPMSlot(), 40);
        openFromMainWindow("u21");
        openFromMainWindow("u39");
        QCOMPARE(program->PMWindows().NextPMSlot(), 40);
        // Forty correspondents writing first: forty more windows, none lost.
        for (int i = 0; i < 40; ++i)
            receive("luis", "w" + QString::number(i), "hola");
        QCOMPARE(program->PMWindows().NextPMSlot(), 80);
        QCOMPARE(windows().size(), 80);
        QCOMPARE(program->PMWindows().window(79)->caption(), QString("Mensaje Privado -- w39"));
    }

    void aClosedWindowIsGoneAndTheNextOneIsFresh()
    {
        logInWithUsers({"ana"});
        receive("luis", "ana", "hola");
        QPointer<PM> first = program->PMWindows().window(0);
        first->close();
        QVERIFY(!program->PMWindows().window(0));
        QTRY_VERIFY(!first); // its memory is freed
        receive("luis", "ana", "otra vez");
        QCOMPARE(program->PMWindows().NextPMSlot(), 2);
        PM *second = program->PMWindows().window(1);
        QCOMPARE(second->ui->txtChat->toPlainText(), QString("ana : otra vez\n"));
        QVERIFY(second->statusText().startsWith("Ultimo mensaje recivido "));

        second->close();
        openFromMainWindow("ana");
        QCOMPARE(program->PMWindows().NextPMSlot(), 3);
        QVERIFY(program->PMWindows().window(2)->ui->txtChat->toPlainText().isEmpty());
    }

    void theIgnoreNoticeReachesEitherKindOfWindow()
    {
        logInWithUsers({"ana"});
        openFromMainWindow("ana");
        receive("luis", "rita", "hola");
        program->incoming().handle("IGNORE" + sep + "ana" + sep + "luis");
        program->incoming().handle("IGNORE" + sep + "rita" + sep + "luis");
        program->incoming().handle("IGNORE" + sep + "pepe" + sep + "luis"); // no window
        program->incoming().handle("IGNORE" + sep + "ana" + sep + "otro"); // not for us
        const QList<Piece> notice = {{"<Usuario te ha ignorado>\n", black, true}};
        QCOMPARE(piecesOf(windows().value(0)->ui->txtChat->document()), notice);
        QCOMPARE(piecesOf(windows().value(1)->ui->txtChat->document()).last(), notice.first());
        QCOMPARE(program->PMWindows().NextPMSlot(), 2);
        QVERIFY(windows().value(1)->statusText().startsWith("Ultimo"));
    }

    void openingRefusesTheWrongNodes()
    {
        logInWithUsers({"luis", "bob"});
        mess->userTree()->clearSelection();
        mess->ui->cmdPm->click();
        QCOMPARE(mess->statusLine(), QString("Status : Highlight User"));

        openFromMainWindow("luis");
        QCOMPARE(program->existingError()->errorText(),
                 QString("No te puedes mandar un mensaje privado a ti mismo."));

        mess->userTree()->setCurrentItem(node("bob"));
        mess->ui->mnuIggy->trigger();
        openFromMainWindow("bob (Ignored)");
        QCOMPARE(program->existingError()->errorText(),
                 QString("No se pudo mandar mensaje a bob porque lo tienes ignorado"));

        program->existingError()->setErrorText(QString());
        mess->setStatusLine(QString());
        mess->userTree()->setCurrentItem(mess->userTree()->root());
        mess->ui->cmdPm->click();
        QCOMPARE(mess->statusLine(), QString());
        QCOMPARE(program->existingError()->errorText(), QString());
        QCOMPARE(program->PMWindows().NextPMSlot(), 0);
    }

    // A window the user closes while a handler waits, and a message for it right after, crash
    // nothing (this runs under AddressSanitizer).
    void closingDuringAPauseIsSafe()
    {
        logInWithUsers({});
        receive("luis", "ana", "hola");
        QPointer<PM> window = program->PMWindows().window(0);
        bool done = false;
        connect(mess->userTree()->model(), &QAbstractItemModel::rowsInserted, this, [&] {
            if (done)
                return;
            done = true;
            window->close();
            server->sendMessage({"PM", "luis", "ana", "sigo aqui"});
        });
        server->sendMessage({"NICK", "pepe"});
        QTRY_COMPARE(program->PMWindows().NextPMSlot(), 2);
        QTRY_VERIFY(!window);
        QCOMPARE(program->PMWindows().window(1)->ui->txtChat->toPlainText(),
                 QString("ana : sigo aqui\n"));
        QTRY_COMPARE(mess->statusLine(), QString("Status : 1 usuario(s)"));
    }

    void remoteTextStaysPlain()
    {
        logInWithUsers({});
        const QString markup = "<img src=file:///etc/passwd><b>x</b>";
        receive("luis", markup, markup);
        PM *window = program->PMWindows().window(0);
        QCOMPARE(window->ui->txtChat->toPlainText(), markup + " : " + markup + "\n");
        QCOMPARE(window->windowTitle(), "Mensaje Privado -- " + markup);
        QCOMPARE(window->ui->txtTo->text(), markup);
    }
};

QTEST_MAIN(TestPrivateMessages)
#include "test_private_messages.moc"
