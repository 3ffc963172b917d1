// The program's life: splash, notification icon, close, log-out and exit, the menus and the
// help window. Fake server on 127.0.0.18.
#include "incoming/incoming.h"
#include "main_window/tray_icon.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "support/client_harness.h"
#include "support/client_test.h"
#include "support/fake_server.h"
#include "ui_help.h"
#include "ui_intro.h"
#include "ui_login.h"
#include "ui_mess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTest>
#include <QTimer>

namespace {
const QString kAddress = QStringLiteral("127.0.0.18");
const QString sep = wire::FieldSeparator;

// Runs the application's event loop until the program ends it; returns how long that took.
qint64 runUntilTheProgramEnds(const std::function<void()> &action)
{
    QElapsedTimer clock;
    QTimer::singleShot(0, qApp, [&] {
        clock.start();
        action();
    });
    // A safety net that goes with this run, so it cannot end a later test's event loops.
    QTimer safetyNet;
    safetyNet.setSingleShot(true);
    QObject::connect(&safetyNet, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    safetyNet.start(10'000);
    const int code = QApplication::exec();
    return code == 0 ? clock.elapsed() : -1;
}

// Runs a function when a widget receives its show event.
class ShowWatcher : public QObject {
public:
    ShowWatcher(QWidget *widget, std::function<void()> onShow) : m_onShow(std::move(onShow))
    {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            m_onShow();
        return false;
    }

private:
    std::function<void()> m_onShow;
};

} // namespace

class TestLifecycle : public ClientTest {
    Q_OBJECT

public:
    TestLifecycle() : ClientTest(kAddress) {}

private:

    void showMess()
    {
        mess->show();
        mess->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mess));
    }

private Q_SLOTS:
    void theSplashRunsItsBarThenShowsTheMainWindow()
    {
        // A client whose main window the splash creates, as at a real start.
        delete program;
        program = new Program;
        mess = nullptr;
        QElapsedTimer clock;
        QList<int> values;
        qint64 shownAfter = -1;
        int valueWhenShown = -1;
        bool splashChecked = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            Intro *intro = program->existingIntro();
            if (intro && !splashChecked) {
                splashChecked = true;
                QVERIFY(intro->isVisible());
                QVERIFY(intro->windowFlags() & Qt::FramelessWindowHint);
                connect(intro->ui->prog, &QProgressBar::valueChanged, this,
                        [&](int value) { values.append(value); });
            }
        });
        ShowWatcher shown(program->mess(), [&] {
            shownAfter = clock.elapsed();
            Intro *intro = program->existingIntro();
            valueWhenShown = intro ? intro->ui->prog->value() : -1;
        });
        watch.start(1);
        clock.start();
        program->start();
        QVERIFY(splashChecked);
        QVERIFY(program->mess()->isVisible());
        QCOMPARE(valueWhenShown, 100);
        QVERIFY2(shownAfter >= 2020, qPrintable(QString::number(shownAfter)));
        QCOMPARE(values.size(), 100);
        QCOMPARE(values.first(), 1);
        QCOMPARE(values.last(), 100);
        QVERIFY(std::is_sorted(values.begin(), values.end()));
        QVERIFY(!program->existingIntro());
    }

    void theIconShowsTheWindowOrItsMenu()
    {
        TrayIcon *icon = mess->trayIcon();
        QCOMPARE(icon->toolTip(), QString("Dravonet Mensajero - By Dravo"));
        QCOMPARE(TrayIcon::Id, 1);
        QCOMPARE(icon->parent(), mess);
        QVERIFY(!mess->isVisible());
        Q_EMIT icon->activated(QSystemTrayIcon::Trigger);
        QVERIFY(mess->isVisible());
        mess->hide();
        Q_EMIT icon->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(mess->isVisible());
        mess->hide();
        Q_EMIT icon->activated(QSystemTrayIcon::Context);
        QTRY_VERIFY(mess->ui->mnuFile->isVisible());
        QVERIFY(!mess->isVisible());
        QVERIFY(!mess->ui->mnuClose->isEnabled()); // the menu as it stands
        mess->ui->mnuFile->close();
    }

    void theCloseBoxOnlyHides()
    {
        QVERIFY(logIn(*program, *server, "ana"));
        program->incoming().handle("NICK" + sep + "luis");
        mess->setBlockList("bob\r\n");
        showMess();
        mess->close();
        QVERIFY(!mess->isVisible());
        QCOMPARE(program->mess(), mess);
        QCOMPARE(program->login()->WS().state(), 7);
        QCOMPARE(mess->userTree()->userCount(), 1);
        QCOMPARE(mess->blockList(), QString("bob\r\n"));
        QVERIFY(mess->trayIcon());
    }

    void logOutSendsLogoutAndClosesASecondLater()
    {
        QVERIFY(logIn(*program, *server, "ana"));
        program->incoming().handle("NICK" + sep + "luis");
        server->clearReceived();
        // The status is written second: the list and the nickname go only after it.
        int usersAtStatus = -1;
        QString nicknameAtStatus;
        connect(mess, &Mess::statusLineChanged, this, [&](const QString &text) {
            if (text == "Status : Logged Out") {
                usersAtStatus = mess->userTree()->userCount();
                nicknameAtStatus = program->ownNickname();
            }
        });
        QElapsedTimer clock;
        clock.start();
        mess->ui->mnuClose->trigger();
        const qint64 returnedAfter = clock.elapsed();
        QVERIFY(server->waitForDisconnect());
        QCOMPARE(server->received(), clientBytes("LOGOUT", {u"ana"}));
        QCOMPARE(usersAtStatus, 1);
        QCOMPARE(nicknameAtStatus, QString("ana"));
        QVERIFY2(returnedAfter >= 1000, qPrintable(QString::number(returnedAfter)));
        QCOMPARE(mess->userTree()->topLevelItemCount(), 0);
        QCOMPARE(mess->windowTitle(), QString("Dravonet Mensajero"));
        QCOMPARE(mess->statusLine(), QString("Status : Logged Out"));
        QVERIFY(mess->ui->mnuLogin->isEnabled());
        QVERIFY(!mess->ui->mnuClose->isEnabled());
        QCOMPARE(program->ownNickname(), QString());
        QVERIFY(program->login()->WS().state() != 7);
    }

    void exitingWhileLoggedOutEndsTheLoopASecondLater()
    {
        QStringList statuses;
        connect(mess, &Mess::statusLineChanged, this,
                [&](const QString &text) { statuses.append(text); });
        const qint64 took = runUntilTheProgramEnds([&] { mess->ui->mnuExit->trigger(); });
        QVERIFY2(took >= 1000 && took < 3000, qPrintable(QString::number(took)));
        QCOMPARE(statuses, QStringList({"Status : Not Connected", "Status : Logged Out",
                                        "Status : Closing"}));
        QVERIFY(!mess->trayIcon()->isVisible());
        QVERIFY(program->isEnding());
    }

    void exitingWithTheRoomOpenSendsNoLeave()
    {
        QVERIFY(logIn(*program, *server, "ana"));
        mess->ui->cmdChat->click();
        QVERIFY(server->waitForBytes(loginBytes("ana").size() + clientBytes("ENTER", {u"ana"}).size()));
        server->clearReceived();
        QVERIFY(runUntilTheProgramEnds([&] { mess->ui->mnuExit->trigger(); }) > 0);
        QVERIFY(server->waitForDisconnect());
        QCOMPARE(server->received(), clientBytes("LOGOUT", {u"ana"}));
        QVERIFY(program->chat()->isVisible()); // no close handler ran
    }

    // A handler that was waiting when the user chose "Salir" sends nothing more.
    void exitingDuringAnExpulsionSendsNothingMore()
    {
        QVERIFY(logIn(*program, *server, "ana"));
        server->clearReceived();
        bool chosen = false;
        QTimer during;
        connect(&during, &QTimer::timeout, this, [&] {
            if (!chosen && QApplication::activeModalWidget()) {
                chosen = true;
                mess->ui->mnuExit->trigger();
            }
        });
        during.start(5);
        QVERIFY(runUntilTheProgramEnds([&] { program->incoming().handle("BOOT" + sep + "ana"); })
                > 0);
        QVERIFY(chosen);
        QVERIFY(server->waitForDisconnect());
        // The exit's own LOGOUT only: the expulsion, resumed after the box, sent nothing.
        QCOMPARE(server->received(), clientBytes("LOGOUT", {u"ana"}));
    }

    void shortcutsActOnlyWhileTheirItemIsEnabled()
    {
        showMess();
        mess->setStatusLine("Status : antes");
        QTest::keyClick(mess, Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(mess->statusLine(), QString("Status : antes")); // "&Abandonar" is greyed
        QTest::keyClick(mess, Qt::Key_O, Qt::ControlModifier);
        QVERIFY(program->login()->isVisible());

        QVERIFY(logIn(*program, *server, "ana"));
        showMess();
        server->clearReceived();
        QTest::keyClick(mess, Qt::Key_O, Qt::ControlModifier);
        QVERIFY(!program->login()->isVisible()); // "Entrar" is greyed now
        QTest::keyClick(mess, Qt::Key_C, Qt::ControlModifier);
        QVERIFY(program->chat()->isVisible());
        showMess();
        QTest::keyClick(mess, Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(mess->statusLine(), QString("Status : Logged Out"));
        QCOMPARE(server->received(), clientBytes("LOGOUT", {u"ana"})); // Charlar sent nothing

        const qint64 took = runUntilTheProgramEnds(
            [&] { QTest::keyClick(mess, Qt::Key_Q, Qt::ControlModifier); });
        QVERIFY(took >= 1000);
    }

    void helpAndAboutWorkWithoutAConnection()
    {
        BoxCloser boxes;
        mess->ui->mnuNeedhelp->trigger();
        QVERIFY(program->existingHelp() && program->existingHelp()->isVisible());
        mess->ui->mnuAbout->trigger();
        QCOMPARE(boxes.count(), 1);
        QVERIFY(program->existingAbout()->isVisible());
    }

    void helpTopics_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "Help - Error de coneccion"
                           << "Error En Coneccion: \nesta es la ayuda...por escribirla.";
        QTest::newRow("1") << 1 << "Help - " << "ayuda 2: \nayuda 2";
        for (int row = 2; row <= 5; ++row)
            QTest::newRow(qPrintable(QString::number(row))) << row << "Help - " << " \n";
        QTest::newRow("6") << 6 << "Help - Dravo" << "dravo: \n";
    }

    void helpTopics()
    {
        QFETCH(int, row);
        QFETCH(QString, caption);
        QFETCH(QString, text);
        mess->ui->mnuNeedhelp->trigger();
        Help *help = program->existingHelp();
        QCOMPARE(help->ui->lstError->count(), 7);
        help->ui->lstError->setCurrentRow(row);
        QCOMPARE(help->windowTitle(), caption);
        QCOMPARE(help->ui->txtINfo->toPlainText(), text);
    }

    void helpFollowsTheKeysAndStartsFreshAfterClosing()
    {
        mess->ui->mnuNeedhelp->trigger();
        Help *help = program->existingHelp();
        QCOMPARE(help->windowTitle(), QString("Dravo's Mensajero - Ayuda"));
        QVERIFY(help->ui->lstError->selectedItems().isEmpty());
        QVERIFY(help->ui->txtINfo->toPlainText().isEmpty());
        QCOMPARE(help->ui->lstError->item(0)->text(), QString("Error de coneccion"));
        QCOMPARE(help->ui->lstError->item(6)->text(), QString("Dravo"));
        QCOMPARE(help->size(), QSize(258, 259));

        help->ui->lstError->setFocus();
        help->ui->lstError->setCurrentRow(0);
        QTest::keyClick(help->ui->lstError, Qt::Key_Down);
        QCOMPARE(help->windowTitle(), QString("Help - "));
        QCOMPARE(help->ui->txtINfo->toPlainText(), QString("ayuda 2: \nayuda 2"));
        QTest::keyClick(help->ui->lstError, Qt::Key_Up);
        QCOMPARE(help->windowTitle(), QString("Help - Error de coneccion"));
        QTest::keyClick(help->ui->lstError, Qt::Key_End);
        QCOMPARE(help->ui->txtINfo->toPlainText(), QString("dravo: \n"));

        // Choosing the item again keeps the window as it is.
        mess->ui->mnuNeedhelp->trigger();
        QCOMPARE(program->existingHelp(), help);
        QCOMPARE(help->windowTitle(), QString("Help - Dravo"));

        help->close();
        QTRY_VERIFY(!program->existingHelp());
        mess->ui->mnuNeedhelp->trigger();
        QCOMPARE(program->existingHelp()->windowTitle(), QString("Dravo's Mensajero - Ayuda"));
        QVERIFY(program->existingHelp()->ui->txtINfo->toPlainText().isEmpty());
    }
};

QTEST_MAIN(TestLifecycle)
#include "test_lifecycle.moc"
