#include "protocol/wire.h"

#include <QTest>

using wire::Message;

class TestWire : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void separatorIsTheFourWireBytes()
    {
        QCOMPARE(wire::toCodePage(wire::FieldSeparator), QByteArray("\xA4\xB6\xA3\xC6"));
        QCOMPARE(wire::FieldSeparator.size(), 4);
    }

    void everyByteSurvivesARoundTrip()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        const QString text = wire::fromCodePage(all);
        QCOMPARE(text.size(), 256);
        QCOMPARE(wire::toCodePage(text), all);
    }

    void codePageCharacters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("n tilde") << QStringLiteral("ñ") << QByteArray("\xF1");
        QTest::newRow("euro") << QStringLiteral("€") << QByteArray("\x80");
        QTest::newRow("quotes") << QStringLiteral("“x”") << QByteArray("\x93x\x94");
        QTest::newRow("undefined 81") << QStringLiteral("\u0081") << QByteArray("\x81");
        QTest::newRow("not in page") << QStringLiteral("a中b") << QByteArray("a?b");
        QTest::newRow("beyond 16 bits is one char") << QStringLiteral("a😀b") << QByteArray("a?b");
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << QByteArray("?");
        QTest::newRow("CR LF and NUL pass")
            << QString(QStringLiteral("a\r\nb") + QChar(0)) << QByteArray("a\r\nb\0", 5);
    }

    void codePageCharacters()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(wire::toCodePage(text), bytes);
    }

    void builtMessagesAreExactBytes_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("LOGIN ana") << wire::buildMessage(u"LOGIN", {u"ana"})
                                   << QByteArray::fromHex("4C4F47494EA4B6A3C6616E61");
        QTest::newRow("GETUSER") << wire::buildMessage(u"GETUSER", {u""})
                                 << QByteArray::fromHex("47455455534552A4B6A3C6");
        QTest::newRow("PM ana to luis")
            << wire::buildMessage(u"PM", {u"luis", u"ana", u"hola"})
            << QByteArray::fromHex("504DA4B6A3C66C756973A4B6A3C6616E61A4B6A3C6686F6C61");
        QTest::newRow("IGNORE luis bob") << wire::buildMessage(u"IGNORE", {u"luis", u"bob"})
                                         << QByteArray("IGNORE\xA4\xB6\xA3\xC6luis\xA4\xB6\xA3\xC6" "bob");
        QTest::newRow("CHAT ana hola") << wire::buildMessage(u"CHAT", {u"ana", u"hola"})
                                       << QByteArray("CHAT\xA4\xB6\xA3\xC6" "ana\xA4\xB6\xA3\xC6hola");
        QTest::newRow("ENTER ana") << wire::buildMessage(u"ENTER", {u"ana"})
                                   << QByteArray("ENTER\xA4\xB6\xA3\xC6" "ana");
        QTest::newRow("LEAVE ana") << wire::buildMessage(u"LEAVE", {u"ana"})
                                   << QByteArray("LEAVE\xA4\xB6\xA3\xC6" "ana");
        QTest::newRow("LOGOUT ana") << wire::buildMessage(u"LOGOUT", {u"ana"})
                                    << QByteArray("LOGOUT\xA4\xB6\xA3\xC6" "ana");
        QTest::newRow("no arguments") << wire::buildMessage(u"X", {}) << QByteArray("X");
    }

    void builtMessagesAreExactBytes()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, bytes);
        QCOMPARE(wire::toCodePage(message), bytes);
    }

    void separatorsInsideAnArgumentAreRemoved()
    {
        const QString sep = wire::FieldSeparator;
        const QString forged = QStringLiteral("hola") + sep + QStringLiteral("BOOT") + sep
            + sep + QStringLiteral("x");
        const QString message = wire::buildMessage(u"CHAT", {u"ana", forged});
        QCOMPARE(message, QStringLiteral("CHAT") + sep + QStringLiteral("ana") + sep
                     + QStringLiteral("holaBOOTx"));
        const Message parsed(message);
        QCOMPARE(parsed.fieldCount(), 3);
        // Half a separator is ordinary text and stays.
        const QString half = sep.left(2);
        QCOMPARE(wire::buildMessage(u"PM", {half}), QStringLiteral("PM") + sep + half);
    }

    void parsingReadsFieldsAndEmptiesTheMissingOnes()
    {
        const QString sep = wire::FieldSeparator;
        const Message pm(QStringLiteral("PM") + sep + QStringLiteral("luis") + sep
                         + QStringLiteral("ana") + sep + QStringLiteral("hola") + sep
                         + QStringLiteral("extra"));
        QCOMPARE(pm.command(), QStringLiteral("PM"));
        QCOMPARE(pm.field(1), QStringLiteral("luis"));
        QCOMPARE(pm.field(3), QStringLiteral("hola"));
        QCOMPARE(pm.field(4), QStringLiteral("extra"));
        QCOMPARE(pm.field(9), QString());

        const Message lone(QStringLiteral("NICK"));
        QCOMPARE(lone.command(), QStringLiteral("NICK"));
        QCOMPARE(lone.field(1), QString());

        const Message empty{QString()};
        QCOMPARE(empty.command(), QString());

        // Separators at the edges give empty fields.
        const Message edges(sep + QStringLiteral("a") + sep);
        QCOMPARE(edges.command(), QString());
        QCOMPARE(edges.field(1), QStringLiteral("a"));
        QCOMPARE(edges.field(2), QString());
        QCOMPARE(edges.fieldCount(), 3);
    }

    void mergedNickBurstsSplitIntoUsers_data()
    {
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<QStringList>("users");
        QTest::newRow("two merged") << QStringList{"NICK", "anaNICK", "luis"}
                                    << QStringList{"ana", "luis"};
        QTest::newRow("three merged") << QStringList{"NICK", "aNICK", "bNICK", "c"}
                                      << QStringList{"a", "b", "c"};
        QTest::newRow("empty name inside") << QStringList{"NICK", "NICK", "luis"}
                                           << QStringList{"", "luis"};
        QTest::newRow("name ending in NICK") << QStringList{"NICK", "bobNICKNICK", "x"}
                                             << QStringList{"bobNICK", "x"};
        QTest::newRow("single message is no burst") << QStringList{"NICK", "anaNICK"}
                                                    << QStringList{};
        QTest::newRow("middle piece not NICK") << QStringList{"NICK", "ana", "luis"}
                                               << QStringList{};
        QTest::newRow("lower case word") << QStringList{"NICK", "anaNick", "luis"}
                                         << QStringList{};
        QTest::newRow("other command") << QStringList{"PM", "aNICK", "b"} << QStringList{};
        QTest::newRow("chat text forging NICK") << QStringList{"CHAT", "aNICK", "BOOT"}
                                                << QStringList{};
    }

    void mergedNickBurstsSplitIntoUsers()
    {
        QFETCH(QStringList, pieces);
        QFETCH(QStringList, users);
        const Message message(pieces.join(wire::FieldSeparator));
        QCOMPARE(wire::splitNickBurst(message), users);
    }

    void hugeInputsParse()
    {
        QString many = QStringLiteral("X");
        for (int i = 0; i < 100'000; ++i)
            many += wire::FieldSeparator + QStringLiteral("y");
        QCOMPARE(Message(many).fieldCount(), 100'001);

        const QByteArray big(16 * 1024 * 1024, 'z');
        const QString text = wire::fromCodePage(big);
        QCOMPARE(Message(text).fieldCount(), 1);
    }
};

QTEST_GUILESS_MAIN(TestWire)
#include "test_wire.moc"
