#include "support/client_test.h"

#include "conversations/chat.h"
#include "conversations/history.h"
#include "conversations/pm.h"
#include "core/dispatcher.h"
#include "main_window/attention.h"
#include "main_window/tray_icon.h"
#include "main_window/user_tree.h"
#include "core/availability.h"
#include "core/conversations.h"
#include "core/user_list.h"
#include "protocol/client_socket.h"
#include "core/session.h"

#include <QActionGroup>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTextBlock>
#include <QWindow>

#include <map>

QString styled(const QTextDocument *document)
{
    QString text, style;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            const QColor c = format.foreground().color();
            QString now = c == Qt::red ? "red" : c == Qt::blue ? "blue" : c.name();
            now = now.replace("#000000", "black");
            now += format.fontWeight() > QFont::Normal ? "*" : "";
            text += (now == std::exchange(style, now) ? "" : '[' + now + ']');
            text += it.fragment().text();
        }
        text += block.next().isValid() ? "\n" : "";
    }
    return text;
}

namespace {

// Runs the application's event loop until the program ends it; returns how long that took.
qint64 runUntilTheProgramEnds(const std::function<void()> &action)
{
    QElapsedTimer clock;
    QTimer::singleShot(0, qApp, [&] { clock.start(), action(); });
    QTimer safetyNet;
    QObject::connect(&safetyNet, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    safetyNet.start(10'000);
    return QApplication::exec() == 0 ? clock.elapsed() : -1;
}
} // namespace

void ClientTest::watchNotices()
{
    m_notices = 0;
    m_lastNotice.clear();
    connect(&program->attention(), &Attention::notified, this,
            [this](const QString &title, const QString &text) {
                ++m_notices;
                m_lastNotice = title + ": " + text;
            });
}

QStringList ClientTest::userNames() const
{
    QStringList names;
    const UserList &users = program->core().users();
    for (int i = 0; i < users.rowCount(users.root()); ++i)
        names.append(users.index(i, 0, users.root()).data().toString());
    return names;
}

QByteArray ClientTest::sent()
{
    ClientSocket &ws = program->WS();
    if (!QTest::qWaitFor([&] { return program->isConnected(); }))
        return "(not connected)";
    named<QAbstractButton>(mess, "Command1")->click();
    const QByteArray getUser = bytes(ws.sendsFramed() ? "GETUSER|~" : "GETUSER|");
    // Everything the client wrote has come.
    if (!QTest::qWaitFor([&] { return !ws.waiting() && server->total == ws.sentBytes(); })
        || !server->received.endsWith(getUser))
        return server->received + "(no GETUSER)";
    return std::exchange(server->received, {}).chopped(getUser.size());
}

void ClientTest::play(const QString &script)
{
    Script{[this](const QString &verb, const QString &arg) { act(verb, arg); },
           [this](const QString &what, const QString &nickname) {
               // blocked=NICK, free=NICK: whether the block list refuses that user
               if (what == "blocked" || what == "free")
                   return mess->isBlocked(nickname) == (what == "blocked") ? nickname : what;
               return seen(what);
           },
           [this] { return sent(); }}
        .play(script);
}

void ClientTest::act(const QString &verb, const QString &arg)
{
    UserTree *tree = mess->userTree();
    Login *login = program->login();
    const auto found = arg.isEmpty() ? QModelIndexList()
        : tree->model()->match(tree->model()->index(0, 0), Qt::DisplayRole, arg, 1,
                               Qt::MatchExactly | Qt::MatchRecursive);
    const QPoint at = found.isEmpty() ? QPoint() : tree->visualRect(found.first()).center();
    PM *pm = program->PMWindows().window(arg.left(1).toInt());
    QWidget *talk = arg.startsWith("room") ? program->chat() : static_cast<QWidget *>(pm);
    QLineEdit *box = talk ? named<QLineEdit>(talk, "txtSend") : nullptr;
    const auto click = [&](const char *button) { named<QAbstractButton>(mess, button)->click(); };
    const auto choose = [&](const char *item) { named<QAction>(mess, item)->trigger(); };
    const auto exitProgram = [&] { choose("mnuExit"); };
    const std::map<QString, std::function<void()>> verbs = {
        // as NICKNAME USER,USER: logged in as a user would, with these users listed
        {"as", [&] {
             const QString nickname = arg.section(' ', 0, 0);
             play("nick " + nickname + "; host SERVER; go; sent=LOGIN|" + nickname);
             for (const QString &user : arg.section(' ', 1).split(',', Qt::SkipEmptyParts))
                 program->incoming().handle(pipes("NICK|" + user));
             mess->show();
             QVERIFY(QTest::qWaitForWindowExposed(mess));
         }},
        {"read", [&] { program->incoming().handle(pipes(arg)); }},
        {"serve", [&] { server->send(bytes(arg)); }},
        {"click", [&] { QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at); }},
        {"dclick", [&] { QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at); }},
        {"select", [&] {
             found.isEmpty() ? tree->clearSelection() : tree->setCurrentIndex(found.first());
         }},
        {"iggy", [&] { click("cmdIggy"); }},
        {"block", [&] { choose("mnuIggy"); }},
        {"unblockAll", [&] { choose("mnuUnIggy"); }},
        {"list", [&] { mess->setBlockList(arg); }},
        {"type", [&] { QTest::keyClicks(named(mess, "txtIggy"), arg); }},
        {"pm", [&] { click("cmdPm"); }},
        {"refresh", [&] { click("Command1"); }},
        {"chat", [&] { click("cmdChat"); }},
        {"room", [&] { choose("mnuChat"); }},
        // say N TEXT, or say room TEXT: typed into the window's box, then Enter
        {"say", [&] { box->setText(arg.section(' ', 1)), QTest::keyClick(box, Qt::Key_Return); }},
        {"close", [&] { arg == "room" ? program->chat()->close() : pm->close(); }},
        {"hide", [&] { mess->close(); }},
        {"tray", [&] {
             Q_EMIT mess->trayIcon()->activated(QSystemTrayIcon::ActivationReason(arg.toInt()));
         }},
        {"nick", [&] { login->setNickname(arg); }},
        {"host", [&] { named<QLineEdit>(login, "Text1")->setText(arg == "SERVER" ? server->address : arg); }},
        {"go", [&] { named<QAbstractButton>(login, "cmdLogin")->click(); }},
        {"enter", [&] { QTest::keyClick(named(login, "txtUser"), Qt::Key_Return); }},
        {"logout", [&] { choose("mnuClose"); }},
        // look N, look room, look main: the user brings that window to the front
        {"look", [&] {
             QWidget *window = arg == "room" ? program->chat()
                 : arg == "main"             ? static_cast<QWidget *>(mess)
                                             : pm;
             window->show();
             window->activateWindow();
             QVERIFY(QTest::qWaitForWindowActive(window));
         }},
        {"avisos", [&] { named<QMenu>(mess, "mnuOptions")->actions().last()->trigger(); }},
        // estado N: the state chosen in the main window's box (0 Disponible, 1 Ausente, 2 Ocupado)
        {"estado", [&, box = named<QComboBox>(mess, "cboState")] { box->setCurrentIndex(arg.toInt()), Q_EMIT box->activated(arg.toInt()); }},
        // texto TEXT: the state's text, as "Texto del estado…" sets it
        {"texto", [&] { program->core().availability().choose(program->core().availability().chosen(), arg); }},
        // popup N: the item N of the menu open
        {"popup", [&] { qobject_cast<QMenu *>(QApplication::activePopupWidget())->actions().at(arg.toInt())->trigger(); }},
        // restart: the program ends, as at "Salir", and starts again
        {"restart", [&] {
             delete program;
             program = new Program;
             mess = program->mess();
             watchNotices();
         }},
        {"entrar", [&] { choose("mnuLogin"); }},
        // the server ends the connection
        {"drop", [&] { server->client()->disconnectFromHost(); }},
        // onbox VERB ARG: done when the next box opens, instead of dismissing it
        {"onbox", [&] {
             boxes->instead = [this, step = arg] {
                 act(step.section(' ', 0, 0), step.section(' ', 1));
             };
         }},
        // exit, or exit READ: "Salir" in a running program, or chosen in the box READ opens
        {"exit", [&] {
             boxes->instead = exitProgram;
             m_exitTook = runUntilTheProgramEnds([&] {
                 arg.isEmpty() ? exitProgram() : program->incoming().handle(pipes(arg));
             });
         }},
    };
    QVERIFY2(verbs.count(verb), qPrintable("unknown step " + verb));
    verbs.at(verb)();
}

QString ClientTest::seen(const QString &what)
{
    // Titles as the window system gets them, placeholders resolved.
    const auto title = [](QWidget *w) { return w->winId(), w->windowHandle()->title(); };
    PM *pm = program->PMWindows().window(QString(what).remove(QRegularExpression("\\D")).toInt());
    const QModelIndex root = program->core().users().root();
    const Admin *admin = program->existingAdmin();
    const Error *error = program->existingError();
    const auto on = [&](const char *item) { return named<QAction>(mess, item)->isEnabled(); };
    const std::map<QString, std::function<QString()>> checks = {
        {"nodes", [&] { return userNames().join(','); }},
        // root: text, picture, + unfolded or - folded
        {"root", [&] {
             return !root.isValid() ? "" : root.data().toString() + ' '
                     + root.data(UserList::ImageRole).toString()
                     + (mess->userTree()->isExpanded(mess->userTree()->model()->index(0, 0)) ? '+' : '-');
         }},
        {"status", [&] { return mess->statusLine().remove(0, QString("Status : ").size()); }},
        {"error", [&] { return error ? error->errorText() : ""; }},
        {"list", [&] { return mess->blockList(); }},
        {"button", [&] { return named<QAbstractButton>(mess, "cmdIggy")->text(); }},
        {"caption", [&] { return title(mess); }},
        {"nick", [&] { return program->ownNickname(); }},
        // "Entrar" and "&Abandonar": + enabled, - disabled
        {"menus", [&] { return QString(on("mnuLogin") ? "+" : "-") + (on("mnuClose") ? "+" : "-"); }},
        // the windows shown, by class name, and the menu popped up
        {"open", [&] {
             QStringList open;
             for (const QWidget *window : QApplication::topLevelWidgets())
                 open << (window->isVisible() ? window->metaObject()->className() : "");
             open.sort();
             return open.filter(QRegularExpression(".")).join(' ');
         }},
        {"slots", [&] { return QString::number(program->PMWindows().NextPMSlot()); }},
        {"lines", [&] { return QString::number(program->core().conversations().unread(pm ? pm->slot() : -1)); }},
        {"pm", [&] { return pm ? styled(pm->history()->document()) : "(none)"; }},
        {"title", [&] { return pm ? title(pm) : "(none)"; }},
        {"room", [&] { return styled(program->chat()->history()->document()); }},
        {"notice", [&] { return admin ? named<QPlainTextEdit>(admin, "txtMess")->toPlainText() : "(none)"; }},
        {"boxes", [&] { return QString::number(boxes->count) + ' ' + boxes->last; }},
        {"connected", [&] { return QString::number(server->client() != nullptr); }},
        {"session", [&] { return QStringList{"out", "connecting", "in", "lost"}.at(int(program->session().state())); }},
        {"box", [&] { return pm ? named<QLineEdit>(pm, "txtSend")->text() : "(none)"; }},
        {"roombox", [&] { return named<QLineEdit>(program->chat(), "txtSend")->text(); }},
        // gone: what the client sent before it closed, and whether it waited a second
        {"gone", [&] {
             (void)QTest::qWaitFor([&] { return server->quietBeforeClose >= 0; });
             return wire::fromCodePage(server->received).replace(wire::FieldSeparator, "|")
                 + (server->quietBeforeClose >= 900 ? ", closed a second later" : ", closed");
         }},
        {"unread", [&] {
             const TrayIcon *tray = mess->trayIcon();
             return QString::number(program->attention().unread())
                 + (tray->isMarked() ? " marked" : "") + " | " + tray->toolTip();
         }},
        // the box's state and the menu's
        {"estado", [&] {
             const QAction *checked = named<QAction>(mess, "mnuBusy")->actionGroup()->checkedAction();
             return named<QComboBox>(mess, "cboState")->currentText() + '/' + checked->text().remove('&');
         }},
        // the users' tips as the user reads them, and the state in a private window's status line
        {"tips", [&] {
             QStringList tips;
             const QAbstractItemModel *list = mess->userTree()->model();
             for (int i = 0; i < list->rowCount(list->index(0, 0)); ++i) {
                 QTextDocument tip;
                 tip.setHtml(list->index(i, 0, list->index(0, 0)).data(Qt::ToolTipRole).toString());
                 tips << tip.toPlainText();
             }
             return tips.join(',');
         }},
        {"state", [&] {
             const QLabel *state = pm ? pm->findChild<QLabel *>("panel2") : nullptr;
             return !state ? "(none)" : state->isVisibleTo(pm) ? state->text() : "";
         }},
        {"notices", [&] { return QString::number(m_notices) + ' ' + m_lastNotice; }},
        {"avisos", [&] { return QString(named<QMenu>(mess, "mnuOptions")->actions().last()->isChecked() ? "on" : "off"); }},
        {"loginboxes", [&] { return program->login()->nickname() + ' ' + named<QLineEdit>(program->login(), "Text1")->text(); }},
        {"ended", [&] {
             return m_exitTook < 0 ? "no" : m_exitTook < 1000 ? "at once"
                 : m_exitTook < 1800                            ? "after a second"
                                                                : "later";
         }},
    };
    const QString key = QString(what).remove(QRegularExpression("\\d"));
    return checks.count(key) ? checks.at(key)() : "(unknown check " + what + ")";
}
