// The windows of files against a fake server on 127.0.0.41, and two clients through the real
// server on 127.0.0.42: files sent from a private window, the rows' buttons as their state
// goes, the icon's count, the thumbnails' decode and the question before a program opens.
#include "conversations/pm.h"
#include "main_window/attention.h"
#include "file_windows/file_checks.h"
#include "file_windows/transfer_list.h"
#include "file_windows/transfer_row.h"
#include "main_window/tray_icon.h"
#include "main_window/user_tree.h"
#include "server/command_line.h"
#include "server/relay/relay_server.h"
#include "support/client_test.h"

#include <QBuffer>
#include <QClipboard>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTextStream>

class TestFilesUi : public ClientTest {
    Q_OBJECT

public:
    TestFilesUi() : ClientTest("127.0.0.41") {}

private:
    QString m_log;
    QTextStream m_logStream{&m_log};
    QList<QUrl> m_opened;

    QString made(const QString &name, const QByteArray &bytes)
    {
        QFile file(config->filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? file.fileName() : "";
    }
    static QByteArray png(int width, int height)
    {
        QBuffer buffer;
        return buffer.open(QIODevice::WriteOnly) && QImage(width, height, QImage::Format_RGB32).save(&buffer, "PNG")
            ? buffer.data() : QByteArray();
    }
    // The rows of a window: "name | state | buttons shown" each, newest first.
    static QString rows(const QWidget *window)
    {
        const auto *list = window->findChild<TransferList *>();
        QStringList shown;
        for (int i = 0; i < list->count(); ++i) {
            QStringList buttons;
            for (const auto *button : list->row(i)->findChildren<QPushButton *>())
                buttons << (button->isVisibleTo(list->row(i)) ? button->text() : "");
            shown << named<QLabel>(list->row(i), "lblName")->text() + " | "
                    + named<QLabel>(list->row(i), "lblState")->text() + " | "
                    + buttons.filter(QRegularExpression(".")).join(' ');
        }
        return shown.join('\n').replace(QRegularExpression("captura .*\\.png"), "captura FECHA.png");
    }
    static void press(const QWidget *window, const QString &button, int row = 0)
    {
        const TransferRow *shown = window->findChild<TransferList *>()->row(row);
        for (auto *each : shown->findChildren<QPushButton *>())
            each->text() == button && each->isVisibleTo(shown) ? each->click() : void();
    }
    static void drop(QWidget *target, QPoint at, const QString &path)
    {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, {});
        QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(target, &enter), QApplication::sendEvent(target, &dropped);
        QVERIFY(dropped.isAccepted());
    }
    void as(Program *who, const QString &script)
    {
        program = who, mess = who->mess();
        who->fileDesk().setOpener([this](const QUrl &url) { m_opened << url; });
        who->settings().setDownloadFolder(config->filePath("bajadas"));
        QTest::currentTestFailed() ? void() : play(script);
    }

private Q_SLOTS:
    void checks_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("program");
        QTest::addColumn<QSize>("thumbnail");
        const QByteArray huge = png(1, 1).left(16) + QByteArray::fromHex("000186a0000186a00806000000a8520bc8");
        QTest::newRow("a picture, scaled down") << "foto.png" << png(300, 150) << false << QSize(96, 48);
        QTest::newRow("a small picture") << "foto.png" << png(40, 30) << false << QSize(40, 30);
        QTest::newRow("a header claiming 100000x100000") << "foto.png" << huge << false << QSize(0, 0);
        QTest::newRow("text") << "nota.txt" << QByteArray("hola") << false << QSize(0, 0);
        QTest::newRow("a script by its name") << "instalar.sh" << QByteArray("echo") << true << QSize(0, 0);
        QTest::newRow("a script by its content") << "leeme" << QByteArray("#!/bin/sh\n") << true << QSize(0, 0);
        QTest::newRow("a launcher") << "juego.desktop" << QByteArray("[Desktop Entry]\n") << true << QSize(0, 0);
        QTest::newRow("a Windows program") << "foto.exe" << QByteArray("MZ") << true << QSize(0, 0);
    }

    void checks()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        const QString path = made(name, bytes);
        QTEST(files::isProgram(path), "program");
        QTEST(files::thumbnail(path).size(), "thumbnail");
        QVERIFY(QFile::setPermissions(made("datos", "x"), QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(files::isProgram(config->filePath("datos")));
    }

    void sending_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("shown");
        const QString failed = " | no entregado: este servidor no lleva archivos | ";
        QTest::newRow("the button, two files") << "button" << "a.txt" + failed + "\na.txt" + failed;
        QTest::newRow("Ctrl+Shift+A") << "shortcut" << "a.txt" + failed + "\na.txt" + failed;
        QTest::newRow("dropped onto the window") << "window" << "a.txt" + failed;
        QTest::newRow("dropped onto the user") << "list" << "a.txt" + failed;
        QTest::newRow("a picture pasted") << "paste" << "captura FECHA.png" + failed;
    }

    // Whichever way, the files go to the correspondent and show as rows below the conversation
    // and in "Transferencias".
    void sending()
    {
        QFETCH(QString, how);
        const QString path = made("a.txt", "hola");
        program->fileDesk().setChooser([&](QWidget *) { return QStringList{path, path}; });
        play("as luis ana; select ana; pm; look 0");
        PM *pm = program->PMWindows().window(0);
        const int plain = pm->height();
        UserTree *tree = mess->userTree();
        if (how == "button")
            named<QAbstractButton>(pm, "cmdFile")->click();
        else if (how == "shortcut")
            QTest::keyClick(pm->windowHandle(), Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
        else if (how == "window")
            drop(named(pm, "txtSend"), {4, 4}, path);
        else if (how == "list")
            drop(tree->viewport(), tree->visualRect(tree->model()->match(tree->model()->index(0, 0),
                 Qt::DisplayRole, "ana", 1, Qt::MatchExactly | Qt::MatchRecursive).first()).center(), path);
        else
            QApplication::clipboard()->setImage(QImage(8, 8, QImage::Format_RGB32)),
                QTest::keyClick(named(pm, "txtSend"), Qt::Key_V, Qt::ControlModifier);
        QFETCH(QString, shown);
        QTRY_COMPARE(rows(pm), shown);
        QCOMPARE(rows(program->transfersWindow()), shown);
        QVERIFY(pm->height() > plain && program->PMWindows().NextPMSlot() == 1);
    }

    void offers_data()
    {
        QTest::addColumn<QString>("accepted");
        QTest::addColumn<QString>("click");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("tip");
        // Each offer is told as a line is: two conversations unread.
        const QString tip = TrayIcon::Tip + "\n2 conversaciones sin leer",
                      one = tip + "\n1 transferencia en curso";
        QTest::newRow("Guardar") << "" << "Guardar" << "b.pdf | esperando tu respuesta | Guardar "
            "Rechazar\na.txt | recibiendo… 0% | Pausar Cancelar" << one;
        QTest::newRow("Rechazar") << "" << "Rechazar" << "b.pdf | esperando tu respuesta | Guardar "
            "Rechazar\na.txt | rechazado | " << tip;
        QTest::newRow("accepted without asking") << "bob,pepe" << "" << "b.pdf | esperando tu respuesta "
            "| Guardar Rechazar\na.txt | recibiendo… 0% | Pausar Cancelar" << one;
        QTest::newRow("a picture fetched for its preview") << "ana" << "" << "c.png | recibiendo… 0% | "
            "Pausar Cancelar\nb.pdf | recibiendo… 0% | Pausar Cancelar\na.txt | esperando tu respuesta "
            "| Guardar Rechazar" << tip + "\n2 transferencias en curso";
    }

    // Offered files as the server offers them, in "Transferencias"; the icon counts the moving.
    void offers()
    {
        QFETCH(QString, accepted);
        QFETCH(QString, click);
        program->settings().setAutoAccepted(accepted.split(','));
        program->settings().setDownloadFolder(config->filePath("bajadas"));
        play("as luis");
        const QString id = "0123456789abcdef0123456789abcde", sha = QString(64, 'a');
        play("read FILE|luis|pepe|" + id + "1|a.txt|5|" + sha + "|; read FILE|luis|ana|" + id + "2|b.pdf|5|"
             + sha + "|" + (accepted == "ana" ? "; read FILE|luis|pepe|" + id + "3|c.png|5|" + sha + "|" : ""));
        press(program->transfersWindow(), click, accepted == "ana" ? 2 : 1);
        QTEST(rows(program->transfersWindow()), "shown");
        QTEST(mess->trayIcon()->toolTip(), "tip");
    }

    void throughTheRealServer_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("click");
        QTest::addColumn<QString>("box");
        QTest::newRow("saved by hand, opened") << "informe.txt" << QByteArray("hola") << "Guardar" << "";
        QTest::newRow("a program asks first") << "instalar.sh" << QByteArray("echo") << "Guardar"
            << "Abrir: «instalar.sh» es un programa. ¿Abrirlo de todos modos?";
        QTest::newRow("a preview kept") << "foto.png" << png(300, 150) << "Guardar" << "";
        QTest::newRow("a preview rejected") << "foto.png" << png(300, 150) << "Rechazar" << "";
    }

    // A file from ana to luis: luis answers, and ana sees it delivered; a picture was fetched
    // for its thumbnail before he answered.
    void throughTheRealServer()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, click);
        m_opened.clear();
        RelayServer relay(parseCommandLine({"-", "--listen", "127.0.0.42", "--state-dir", config->filePath("server")})
                              .config, m_logStream);
        QVERIFY(relay.listen());
        const auto luis = std::make_unique<Program>();
        Program *const ana = program;
        const auto restore = qScopeGuard([&] { program = ana, mess = ana->mess(); });
        as(ana, "nick ana; host 127.0.0.42; go; nodes=ana");
        as(luis.get(), "nick luis; host 127.0.0.42; go; nodes=ana,luis");
        QSignalSpy notices(&luis->attention(), &Attention::notified);
        const QString path = made(name, bytes);
        ana->fileDesk().setChooser([&](QWidget *) { return QStringList{path}; });
        as(ana, "select luis; pm; look 0");
        named<QAbstractButton>(ana->PMWindows().window(0), "cmdFile")->click();
        QWidget *window = luis->transfersWindow();
        QTRY_COMPARE_WITH_TIMEOUT(rows(window), name + " | esperando tu respuesta | Guardar Rechazar", 10000);
        // Kept by the history too, listed below this run's rows.
        window->show();
        QCOMPARE(named<QListWidget>(window, "lstEarlier")->item(0)->text().section(", de ", 0, 0),
                 name + " (" + QLocale(QLocale::Spanish).formattedDataSize(bytes.size(), 1) + ")");
        const bool picture = bytes.startsWith("\x89PNG");
        QCOMPARE(named<QLabel>(window->findChild<TransferRow *>(), "picPreview")->pixmap().width() == 96, picture);
        press(window, click);
        QTRY_COMPARE(rows(ana->transfersWindow()), name + " | entregado | ");
        QTRY_COMPARE(rows(window).section(" | ", 1, 1), click == "Guardar" ? "recibido" : "rechazado");
        QFile saved(config->filePath("bajadas/" + name));
        QCOMPARE(saved.open(QIODevice::ReadOnly) ? saved.readAll() : "", click == "Guardar" ? bytes : "");
        // The offer is told as a line is; a file saved, once more.
        QCOMPARE(notices.value(0).value(0).toString() + ": " + notices.value(0).value(1).toString(),
                 "ana: Archivo: " + name + " (" + QLocale(QLocale::Spanish).formattedDataSize(bytes.size(), 1) + ")");
        QCOMPARE(notices.size() > 1 ? notices[1][0].toString() + ": " + notices[1][1].toString() : "",
                 click == "Guardar" && !picture ? "Archivo recibido: Ha llegado un archivo de ana: " + name : "");
        press(window, "Abrir");
        QTEST(boxes->last, "box");
        QCOMPARE(m_opened, boxes->last.isEmpty() && click == "Guardar" ? QList{QUrl::fromLocalFile(saved.fileName())}
                                                            : QList<QUrl>());
    }
};

QTEST_MAIN(TestFilesUi)
#include "test_files_ui.moc"
