// What the client does with files, without a window: the names it saves them under, and files
// handed to it from the command line.
#include "core/download_names.h"
#include "core/hand_off.h"

#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestFiles : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
    }

    // The first client listens; a second one passes its files to it, and a client that
    // crashed leaves a socket the next one takes over.
    void handOff()
    {
        QVERIFY(!HandOff::pass({"ana", {"/tmp/a"}}, 200));
        {
            HandOff first;
            QVERIFY(first.listen());
            HandOff second;
            QVERIFY(!second.listen());
            QSignalSpy requested(&first, &HandOff::requested);
            const QStringList paths = {"/tmp/informe final.pdf", QString::fromUtf8("/tmp/año.png")};
            QVERIFY(HandOff::pass({"ana", paths}));
            QVERIFY(requested.wait());
            const auto request = requested.first().first().value<HandOff::Request>();
            QCOMPARE(request.nickname, "ana");
            QCOMPARE(request.paths, paths);
        }
        QFile stale(HandOff::socketName());
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        HandOff again;
        QVERIFY(again.listen());
    }

    void safeNames_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("saved");
        QTest::newRow("a plain name") << "foto de la cena.png" << "foto de la cena.png";
        QTest::newRow("a folder of this system") << "/home/ana/fotos/foto.png" << "foto.png";
        QTest::newRow("a folder of another one") << "C:\\Users\\ana\\foto.png" << "foto.png";
        QTest::newRow("a way out of the folder") << "../../.bashrc" << "bashrc";
        QTest::newRow("only a way out") << ".." << "archivo";
        QTest::newRow("a folder alone") << "fotos/" << "archivo";
        QTest::newRow("hidden") << ".config" << "config";
        QTest::newRow("blanks and dots around") << "  informe.pdf. . " << "informe.pdf";
        QTest::newRow("control characters") << "in\nfor\tme\x7f.pdf" << "informe.pdf";
        QTest::newRow("an extension disguised") << QString::fromUtf8("foto\u202Egnp.exe")
                                                << "fotognp.exe";
        QTest::newRow("an empty name") << "" << "archivo";
        QTest::newRow("letters of every kind") << QString::fromUtf8("año 🎉 ñandú.txt")
                                               << QString::fromUtf8("año 🎉 ñandú.txt");
    }

    // Whatever the sender names a file, it lands in the folder itself, shows, and is named as
    // the sender meant as far as that is safe.
    void safeNames()
    {
        QFETCH(QString, offered);
        QFETCH(QString, saved);
        QCOMPARE(downloads::safeName(offered), saved);
    }

    void longNames_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("ending");
        QTest::newRow("one byte a letter") << QString(300, u'a') + ".png" << "a.png";
        QTest::newRow("two bytes a letter") << QString(300, u'ñ') + ".png" << "ñ.png";
        QTest::newRow("four bytes a letter")
            << QString::fromUtf8("🎉").repeated(100) + ".png" << QString::fromUtf8("🎉.png");
        QTest::newRow("an extension too long to keep") << "a." + QString(300, u'b') << "bbb";
        QTest::newRow("hidden and too long") << ".p" + QString(300, u'n') << "nnn";
    }

    // A name too long for the file system is cut at a whole letter, its extension kept.
    void longNames()
    {
        QFETCH(QString, offered);
        QFETCH(QString, ending);
        const QString saved = downloads::safeName(offered);
        QVERIFY(saved.toUtf8().size() <= downloads::MostNameBytes);
        QVERIFY(saved.toUtf8().size() > downloads::MostNameBytes - 4);
        QVERIFY2(saved.endsWith(ending), qPrintable(saved));
        QCOMPARE(QString::fromUtf8(saved.toUtf8()), saved);
        QVERIFY(!saved.startsWith(u'.'));
    }

    void freeNames_data()
    {
        QTest::addColumn<QString>("safe");
        QTest::addColumn<QStringList>("taken");
        QTest::addColumn<QString>("free");
        QTest::newRow("nobody has it") << "foto.png" << QStringList{"otra.png"} << "foto.png";
        QTest::newRow("taken once") << "foto.png" << QStringList{"foto.png"} << "foto (2).png";
        QTest::newRow("taken thrice")
            << "foto.png" << QStringList{"foto.png", "foto (2).png", "foto (3).png"}
            << "foto (4).png";
        QTest::newRow("no extension") << "LEEME" << QStringList{"LEEME"} << "LEEME (2)";
        QTest::newRow("two dots") << "copia.tar.gz" << QStringList{"copia.tar.gz"}
                                  << "copia.tar (2).gz";
        QTest::newRow("as long as can be")
            << QString(251, u'a') + ".png" << QStringList{QString(251, u'a') + ".png"}
            << QString(247, u'a') + " (2).png";
    }

    // A file saved never replaces one the user has.
    void freeNames()
    {
        QFETCH(QString, safe);
        QFETCH(QStringList, taken);
        QFETCH(QString, free);
        const QSet<QString> used(taken.cbegin(), taken.cend());
        QCOMPARE(downloads::freeName(safe, [&](const QString &name) { return used.contains(name); }),
                 free);
    }

private:
    QTemporaryDir m_runtime;
};

QTEST_GUILESS_MAIN(TestFiles)
#include "test_files.moc"
