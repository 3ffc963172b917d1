#include "protocol/wire.h"
#include "support/script.h"

#include <QStringDecoder>
#include <QTest>

class TestWire : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Every byte decodes as the code page says (ICU's table, with the five undefined bytes as
    // the C1 control of the same number) and encodes back to itself.
    void everyByteIsItsCodePageCharacter()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        QStringDecoder reference("windows-1252");
        const QString expected = reference.decode(all);
        QVERIFY(reference.isValid() && !reference.hasError());
        QCOMPARE(wire::fromCodePage(all), expected);
        QCOMPARE(wire::toCodePage(expected), all);
    }

    void builtMessagesAreExactBytes_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("LOGIN") << wire::buildMessage(u"LOGIN", {u"Nuñez"})
                               << QByteArray::fromHex("4C4F47494EA4B6A3C64E75F1657A");
        QTest::newRow("GETUSER ends in a separator") << wire::buildMessage(u"GETUSER", {u""})
            << QByteArray::fromHex("47455455534552A4B6A3C6");
        QTest::newRow("PM") << wire::buildMessage(u"PM", {u"luis", u"ana", u"hola"})
            << QByteArray::fromHex("504DA4B6A3C66C756973A4B6A3C6616E61A4B6A3C6686F6C61");
        QTest::newRow("separators inside an argument are removed")
            << wire::buildMessage(u"CHAT", {u"ana", pipes("hola|BOOT||x")})
            << QByteArray::fromHex("43484154A4B6A3C6616E61A4B6A3C6686F6C61424F4F5478");
        QTest::newRow("a separator that removing one makes is removed too")
            << wire::buildMessage(u"X", {wire::fromCodePage(QByteArray::fromHex("61A4A4B6A3C6B6A3C662"))})
            << QByteArray::fromHex("58A4B6A3C66162");
        QTest::newRow("half a separator is text")
            << wire::buildMessage(u"PM", {wire::FieldSeparator.left(2)})
            << QByteArray::fromHex("504DA4B6A3C6A4B6");
        QTest::newRow("outside the code page: one ? per character")
            << wire::buildMessage(u"CHAT", {u"中😀", QString(QChar(0xD800))})
            << QByteArray::fromHex("43484154A4B6A3C63F3FA4B6A3C63F");
    }

    void builtMessagesAreExactBytes()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, bytes);
        QCOMPARE(wire::toCodePage(message), bytes);
    }

    // A message longer than allowed goes whole, to its terminator; the next reads as sent.
    void anOverlongMessageGoesWhole()
    {
        wire::FrameReader frames(4);
        QCOMPARE(frames.feed("ab"), QList<QByteArray>());
        QCOMPARE(frames.feed("cdef"), QList<QByteArray>());
        QVERIFY(frames.overflowed());
        QCOMPARE(frames.feed("gh"), QList<QByteArray>());
        QCOMPARE(frames.feed(QByteArrayView("i\0jk\0lmn", 8)), QList<QByteArray>({"jk"}));
        QVERIFY(!frames.overflowed());
        QCOMPARE(frames.feed(QByteArrayView("op\0q\0", 5)), QList<QByteArray>({"q"}));
        QVERIFY(frames.overflowed());
    }

    // Only NICK messages merged in one read are split, whatever the fields look like.
    void onlyMergedNicksSplit()
    {
        const auto split = [](const QString &read) {
            return wire::splitNickBurst(wire::Message(pipes(read)));
        };
        QCOMPARE(split("NICK|anaNICK|luis"), QStringList({"ana", "luis"}));
        QCOMPARE(split("CHAT|anaNICK|luis"), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestWire)
#include "test_wire.moc"
