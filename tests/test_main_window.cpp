// The main window's user list and block list, against a fake server on 127.0.0.15.
#include "incoming/incoming.h"
#include "main_window/block_list.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/wire.h"
#include "support/client_harness.h"
#include "support/client_test.h"
#include "support/fake_server.h"
#include "conversations/chat.h"
#include "ui_mess.h"

#include <QTest>

namespace {
const QString kAddress = QStringLiteral("127.0.0.15");
const QString sep = wire::FieldSeparator;
} // namespace

class TestMainWindow : public ClientTest {
    Q_OBJECT

public:
    TestMainWindow() : ClientTest(kAddress) {}

private:
    UserTree *tree = nullptr;

    // Logged in as luis, with these users listed.
    void logInWithUsers(const QStringList &users)
    {
        QVERIFY(::logInWithUsers(*program, *server, "luis", users));
    }

    QTreeWidgetItem *user(const QString &text) const { return findNode(*program, text); }

    void click(QTreeWidgetItem *node)
    {
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                          tree->visualItemRect(node).center());
    }

    // Selects a node without a click, so the block button keeps its caption.
    void select(QTreeWidgetItem *node) { tree->setCurrentItem(node); }

    void prepare() override
    {
        tree = mess->userTree();
    }

private Q_SLOTS:
    void layoutAsCreated()
    {
        QCOMPARE(mess->ui->SSTab1->count(), 2);
        QCOMPARE(mess->ui->SSTab1->tabText(0), QString("Online"));
        QCOMPARE(mess->ui->SSTab1->tabText(1), QString("block  List"));
        QCOMPARE(mess->ui->SSTab1->currentIndex(), 0);
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Bloquear"));
        QCOMPARE(mess->blockList(), QString());
        QVERIFY(!mess->ui->mnuUnIggy->isVisible());
        QVERIFY(mess->ui->mnuIggy->isVisible());
        // The tab pages' controls sit where the layout puts them within the tab control.
        mess->show();
        QVERIFY(QTest::qWaitForWindowExposed(mess));
        QCOMPARE(mess->ui->lstUsers->mapTo(mess->ui->SSTab1, QPoint()), QPoint(8, 32));
        QCOMPARE(mess->ui->Command1->mapTo(mess->ui->SSTab1, QPoint()), QPoint(32, 264));
        QCOMPARE(mess->ui->cmdIggy->size(), QSize(65, 41));
        QCOMPARE(mess->centralWidget()->size(), QSize(225, 306));
    }

    void refreshAsksForTheListAndKeepsOnlyTheRoot()
    {
        logInWithUsers({"ana", "pepe"});
        mess->ui->Command1->click();
        mess->ui->Command1->click();
        const QByteArray getuser = QByteArray::fromHex("47455455534552A4B6A3C6");
        QVERIFY(server->waitForBytes(22));
        QCOMPARE(server->received(), getuser + getuser);
        QCOMPARE(tree->topLevelItemCount(), 1);
        QCOMPARE(tree->root()->childCount(), 0);
        QCOMPARE(tree->root()->text(0), QString("Online - luis"));
        QVERIFY(tree->root()->isExpanded());
    }

    void refreshAndChatNeedAConnection()
    {
        mess->ui->Command1->click();
        QCOMPARE(mess->statusLine(), QString("Status : No Conectado"));
        mess->setStatusLine(QString());
        mess->ui->cmdChat->click();
        QCOMPARE(mess->statusLine(), QString("Status : No Conectado"));
        QCOMPARE(tree->topLevelItemCount(), 0);
    }

    void clicksOnTheRootFoldAndUnfoldIt()
    {
        logInWithUsers({"ana"});
        QTreeWidgetItem *root = tree->root();
        QList<int> images;
        for (int i = 0; i < 4; ++i) {
            click(root);
            images.append(UserTree::image(root));
            QCOMPARE(root->isExpanded(), i % 2 == 1);
            QCOMPARE(root->data(0, UserTree::SelectedImageRole).toInt(), 2);
        }
        QCOMPARE(images, QList<int>({3, 2, 3, 2}));
        // A click on empty space acts on the selected node: the root again.
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                          QPoint(5, tree->viewport()->height() - 5));
        QVERIFY(!root->isExpanded());
        QCOMPARE(tree->selectedNode(), root);
        // The button's caption is not the root's business.
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Bloquear"));
    }

    void userClicksSetTheBlockButtonsCaption()
    {
        logInWithUsers({"ana", "bob (Ignored)", "xIgnoredx"});
        click(user("ana"));
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Iggy"));
        click(user("bob (Ignored)"));
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Un-Iggy"));
        click(user("ana"));
        click(user("xIgnoredx"));
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Un-Iggy"));
    }

    void blockAndUnblockWithTheButton()
    {
        logInWithUsers({"bob"});
        click(user("bob"));
        mess->ui->cmdIggy->click();
        QCOMPARE(mess->blockList(), QString("bob\r\n"));
        QVERIFY(user("bob (Ignored)"));
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Un-Iggy"));
        QVERIFY(mess->isBlocked("bob"));

        mess->ui->cmdIggy->click();
        QVERIFY(user("bob"));
        QCOMPARE(mess->blockList(), QString());
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Iggy"));
        QVERIFY(!mess->isBlocked("bob"));
        QCOMPARE(receivedUpToARefresh(*program, *server), getUserBytes());
    }

    void unblockingRemovesOnlyExactEntries()
    {
        logInWithUsers({"bob"});
        mess->setBlockList("Bob\r\nbob\r\njimbob\r\nbob\r\n");
        click(user("bob"));
        mess->ui->cmdIggy->click(); // Iggy: adds a third bob
        mess->ui->cmdIggy->click(); // Un-Iggy
        QCOMPARE(mess->blockList(), QString("Bob\r\njimbob\r\n"));
        QVERIFY(!mess->isBlocked("bob"));
        QVERIFY(mess->isBlocked("Bob"));
    }

    void menuBlockOnAMarkedNodeAddsASecondMark()
    {
        logInWithUsers({"bob"});
        click(user("bob"));
        mess->ui->mnuIggy->trigger();
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Iggy")); // the menu leaves it alone
        mess->ui->mnuIggy->trigger();
        QCOMPARE(mess->blockList(), QString("bob\r\nbob (Ignored)\r\n"));
        QVERIFY(user("bob (Ignored) (Ignored)"));
        // Unblocking takes both marks off and leaves no line for bob.
        click(user("bob (Ignored) (Ignored)"));
        mess->ui->cmdIggy->click();
        QVERIFY(user("bob"));
        QCOMPARE(mess->blockList(), QString("bob (Ignored)\r\n"));
        QVERIFY(!mess->isBlocked("bob"));
    }

    void nobodyBlocksThemselves()
    {
        logInWithUsers({"luis", "ana"});
        click(user("luis"));
        mess->ui->cmdIggy->click();
        QCOMPARE(program->existingError()->errorText(), QString("No te puedes Ignorar tu mismo."));
        mess->ui->mnuIggy->trigger();
        QCOMPARE(program->existingError()->errorText(), QString("no te puedes autoignorar."));
        QCOMPARE(mess->blockList(), QString());
        QVERIFY(user("luis"));
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Iggy"));
    }

    void withoutASelectionNothingIsBlocked()
    {
        logInWithUsers({"ana"});
        tree->clearSelection();
        mess->ui->mnuIggy->trigger();
        QCOMPARE(mess->statusLine(), QString("Status : Highlight User"));
        QCOMPARE(mess->blockList(), QString());

        mess->ui->cmdIggy->setText("Iggy");
        mess->setStatusLine(QString());
        mess->ui->cmdIggy->click();
        QCOMPARE(mess->statusLine(), QString("Status : Highlight User"));
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Un-Iggy"));
        mess->ui->cmdIggy->click();
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Iggy"));
        QCOMPARE(mess->blockList(), QString());
    }

    void theButtonDoesNothingBeforeAnyUserWasClicked()
    {
        logInWithUsers({"ana"});
        select(user("ana"));
        mess->ui->cmdIggy->click();
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Bloquear"));
        QCOMPARE(mess->blockList(), QString());
        QVERIFY(user("ana"));
        // Logged out (empty nickname) with nothing selected, the self test catches the click.
        Program fresh;
        fresh.mess()->ui->cmdIggy->click();
        QCOMPARE(fresh.existingError()->errorText(), QString("No te puedes Ignorar tu mismo."));
    }

    void nicknamesWithAParenthesisKeepTheirName()
    {
        logInWithUsers({"a (b)"});
        click(user("a (b)"));
        mess->ui->cmdIggy->click();
        QCOMPARE(mess->blockList(), QString("a (b)\r\n"));
        QVERIFY(user("a (b) (Ignored)"));
        mess->ui->cmdIggy->click();
        QVERIFY(user("a (b)"));
        QCOMPARE(mess->blockList(), QString());
    }

    void emptyingTheListKeepsTheMarks()
    {
        logInWithUsers({"bob"});
        click(user("bob"));
        mess->ui->cmdIggy->click();
        mess->ui->mnuUnIggy->trigger();
        QCOMPARE(mess->blockList(), QString());
        QVERIFY(user("bob (Ignored)"));
        QCOMPARE(mess->ui->cmdIggy->text(), QString("Un-Iggy"));
    }

    void typedLinesBlockLikeAnyOther()
    {
        QTest::keyClicks(mess->ui->txtIggy, "carl");
        QVERIFY(mess->isBlocked("carl"));
        // Blocking puts the next entry on a line of its own.
        logInWithUsers({"dan"});
        click(user("dan"));
        mess->ui->cmdIggy->click();
        QCOMPARE(mess->blockList(), QString("carl\r\ndan\r\n"));
        QVERIFY(mess->isBlocked("carl"));
        QVERIFY(mess->isBlocked("dan"));
    }

    void unusualNicknamesBlockOnlyThemselves()
    {
        const QString noBreak = QString("bob") + QChar(0xA0) + "x";
        const QString twoLines = "x\r\nana";
        logInWithUsers({noBreak, twoLines, "ana"});
        click(user(noBreak));
        mess->ui->cmdIggy->click();
        click(user(twoLines));
        mess->ui->cmdIggy->click();
        QVERIFY(mess->isBlocked(noBreak));
        QVERIFY(!mess->isBlocked("bob x"));
        QVERIFY(mess->isBlocked(twoLines));
        QVERIFY(!mess->isBlocked("ana"));
        QVERIFY(!mess->isBlocked("x"));
        QVERIFY(mess->blockList().contains(QChar(0xA0)));

        click(user(twoLines + block_list::Mark));
        mess->ui->cmdIggy->click();
        QVERIFY(!mess->isBlocked(twoLines));
        QVERIFY(mess->isBlocked(noBreak));
    }

    void ctrlCInTheBlockListCopiesOnlyASelection()
    {
        logInWithUsers({});
        mess->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mess));
        mess->ui->SSTab1->setCurrentIndex(1);
        mess->setBlockList("bob\r\n");
        mess->ui->txtIggy->setFocus();
        QTest::keyClick(mess->ui->txtIggy, Qt::Key_C, Qt::ControlModifier);
        QVERIFY(program->chat()->isVisible()); // "Charlar"
        program->chat()->hide();

        mess->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mess));
        mess->ui->txtIggy->setFocus();
        mess->ui->txtIggy->selectAll();
        QTest::keyClick(mess->ui->txtIggy, Qt::Key_C, Qt::ControlModifier);
        QVERIFY(!program->chat()->isVisible());
    }

    void membershipIsByWholeEntry_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("nickname");
        QTest::addColumn<bool>("blocked");
        QTest::newRow("exact") << "bob\r\n" << "bob" << true;
        QTest::newRow("inside a longer name") << "jimbob\r\n" << "bob" << false;
        QTest::newRow("other case") << "Bob\r\n" << "bob" << false;
        QTest::newRow("empty name") << "bob\r\n" << "" << false;
        QTest::newRow("empty list") << "" << "bob" << false;
        QTest::newRow("blank line") << "\r\n\r\n" << "" << false;
        QTest::newRow("last line without break") << "ana\r\nbob" << "bob" << true;
        QTest::newRow("line feeds only") << "ana\nbob\n" << "ana" << true;
        QTest::newRow("across lines") << "bo\r\nb\r\n" << "bo\r\nb" << false;
    }

    void membershipIsByWholeEntry()
    {
        QFETCH(QString, list);
        QFETCH(QString, nickname);
        QFETCH(bool, blocked);
        QCOMPARE(block_list::contains(list, nickname), blocked);
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
