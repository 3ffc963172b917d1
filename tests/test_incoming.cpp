// The data-arrival handler: dispatch, NICK and LOGOUT, and hostile input. Fake server on
// 127.0.0.14.
#include "incoming/incoming.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "support/client_harness.h"
#include "support/client_test.h"
#include "support/fake_server.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

namespace {
const QString kAddress = QStringLiteral("127.0.0.14");
const QString sep = wire::FieldSeparator;

} // namespace

class TestIncoming : public ClientTest {
    Q_OBJECT

public:
    TestIncoming() : ClientTest(kAddress) {}

private:
    int probes = 0;

    // Sends NICK probes until one is listed: whatever came before was handled and the
    // client still answers.
    bool nextMessageIsHandled()
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const QString probe = "probe" + QString::number(++probes);
            server->sendMessage({"NICK", probe});
            if (QTest::qWaitFor([&] { return userNames(*program).contains(probe); }, 500))
                return true;
        }
        return false;
    }

    void prepare() override
    {
        QVERIFY(logIn(*program, *server, "ana"));
    }

private Q_SLOTS:
    void nickListsAUserAndCountsThem()
    {
        server->sendMessage({"NICK", "ana"});
        QTRY_COMPARE(program->mess()->statusLine(), QString("Status : 1 usuario(s)"));
        UserTree *tree = program->mess()->userTree();
        QCOMPARE(tree->topLevelItemCount(), 1);
        QCOMPARE(tree->root()->text(0), QString("Online - ana"));
        QCOMPARE(tree->root()->childCount(), 1);
        QTreeWidgetItem *user = tree->root()->child(0);
        QCOMPARE(user->text(0), QString("ana"));
        QCOMPARE(UserTree::image(user), 1);
        QCOMPARE(user->data(0, UserTree::SelectedImageRole).toInt(), 1);
        QVERIFY(user->data(0, UserTree::KeyRole).isNull());
    }

    void duplicatesAndEmptyNamesAreListedAndLowerCaseIsIgnored()
    {
        Incoming &incoming = program->incoming();
        incoming.handle("NICK" + sep + "luis");
        incoming.handle("NICK" + sep + "luis");
        incoming.handle("NICK" + sep);
        incoming.handle("NICK");
        incoming.handle("nick" + sep + "pepe");
        incoming.handle(" NICK" + sep + "pepe");
        QCOMPARE(userNames(*program), QStringList({"luis", "luis", "", ""}));
        QCOMPARE(program->mess()->statusLine(), QString("Status : 4 usuario(s)"));
    }

    void logoutOnlySaysSo()
    {
        program->incoming().handle("NICK" + sep + "luis");
        server->sendMessage({"LOGOUT", "luis"});
        QTRY_COMPARE(program->mess()->statusLine(), QString("Status : Usuario Salio del servidor"));
        QCOMPARE(userNames(*program), QStringList({"luis"}));
    }

    void aNickDuringAnotherNicksPauseIsHandledNested()
    {
        QStringList statuses;
        connect(program->mess(), &Mess::statusLineChanged, this,
                [&](const QString &text) { statuses.append(text); });
        // As soon as the first user is listed (its handler is about to pause), the next
        // message leaves the server.
        bool sentSecond = false;
        connect(program->mess()->userTree()->model(), &QAbstractItemModel::rowsInserted, this,
                [&] {
                    if (!sentSecond) {
                        sentSecond = true;
                        server->sendMessage({"NICK", "luis"});
                    }
                });
        server->sendMessage({"NICK", "pepe"});
        QTRY_COMPARE(statuses.size(), 2);
        QCOMPARE(userNames(*program), QStringList({"pepe", "luis"}));
        QCOMPARE(statuses,
                 QStringList({"Status : 2 usuario(s)", "Status : 2 usuario(s)"}));
    }

    void aMergedBurstListsEachUserOnce()
    {
        server->send(messageBytes({"NICK", "ana"}) + messageBytes({"NICK", "luis"})
                     + messageBytes({"NICK", "Nuñez"}));
        QTRY_COMPARE(program->mess()->statusLine(), QString("Status : 3 usuario(s)"));
        QCOMPARE(userNames(*program), QStringList({"ana", "luis", "Nuñez"}));
    }

    void readsNotShapedLikeABurstStayOneMessage()
    {
        Incoming &incoming = program->incoming();
        // A later piece that does not end in NICK: one user, named by field 1.
        incoming.handle("NICK" + sep + "xNICK" + sep + "BOOT" + sep + "ana");
        // A chat line ending in NICK lists nobody.
        incoming.handle("CHAT" + sep + "holaNICK" + sep + "bob");
        QCOMPARE(userNames(*program), QStringList({"xNICK"}));
    }

    void nickWithoutARootAddsNothingAndCountsZero()
    {
        program->mess()->userTree()->clear();
        program->incoming().handle("NICK" + sep + "luis");
        QCOMPARE(program->mess()->userTree()->topLevelItemCount(), 0);
        QCOMPARE(program->mess()->statusLine(), QString("Status : 0 usuario(s)"));
    }

    void hostileReadsCrashNothing()
    {
        Incoming &incoming = program->incoming();
        incoming.handle(QString());
        incoming.handle(sep);
        incoming.handle(sep + sep + sep);

        QString pieces = "X";
        for (int i = 0; i < 100'000; ++i)
            pieces += sep + "y";
        server->send(wire::toCodePage(pieces));
        QVERIFY(nextMessageIsHandled());

        server->send(QByteArray(16 * 1024 * 1024, 'z'));
        QVERIFY(nextMessageIsHandled());

        QByteArray noise(1024 * 1024, Qt::Uninitialized);
        QRandomGenerator generator(12584);
        for (char &byte : noise)
            byte = char(generator.bounded(256));
        server->send(noise);
        QVERIFY(nextMessageIsHandled());

        server->send(QByteArray("NICK\xA4\xB6\xA3\xC6" "a\0b", 11));
        QTRY_VERIFY(userNames(*program).contains(QString::fromLatin1("a\0b", 3)));
        QVERIFY(nextMessageIsHandled());
    }
};

QTEST_MAIN(TestIncoming)
#include "test_incoming.moc"
