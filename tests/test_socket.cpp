// The connection and the four shared procedures, against a fake server on 127.0.0.12.
#include "program.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "support/client_harness.h"
#include "support/fake_server.h"
#include "ui_error.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <ctime>

namespace {
const QString kAddress = QStringLiteral("127.0.0.12");

double cpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}
} // namespace

class TestSocket : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(FakeServer(kAddress).isListening()); }

    void connectsSendsAndReadsCodePageText()
    {
        FakeServer server(kAddress);
        ClientSocket ws;
        QCOMPARE(ws.state(), int(ClientSocket::Closed));
        QSignalSpy connected(&ws, &ClientSocket::connected);
        ws.connectTo(kAddress, wire::ServerPort);
        QVERIFY(connected.wait());
        QCOMPARE(ws.state(), 7);

        ws.sendData(QStringLiteral("año"));
        QVERIFY(server.waitForBytes(3));
        QCOMPARE(server.received(), QByteArray("a\xF1o"));

        QSignalSpy arrived(&ws, &ClientSocket::dataArrival);
        server.send(QByteArray("\xA4\xB6\xA3\xC6\x80"));
        QVERIFY(arrived.wait());
        QCOMPARE(arrived.first().first().toLongLong(), 5);
        QCOMPARE(ws.getData(), wire::FieldSeparator + QStringLiteral("€"));
        QCOMPARE(ws.getData(), QString());

        ws.close();
        QVERIFY(ws.state() != 7);
        ws.close(); // harmless twice
        QVERIFY(server.waitForDisconnect());
    }

    void refusedAndUnparsableAddressesReportAnError_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("refused") << QStringLiteral("127.0.0.13");
        QTest::newRow("unparsable") << QStringLiteral("no es una direccion!");
        QTest::newRow("empty") << QString();
    }

    void refusedAndUnparsableAddressesReportAnError()
    {
        QFETCH(QString, host);
        ClientSocket ws;
        QSignalSpy failed(&ws, &ClientSocket::error);
        QSignalSpy connected(&ws, &ClientSocket::connected);
        ws.connectTo(host, wire::ServerPort);
        QVERIFY(failed.wait(10000));
        QCOMPARE(connected.count(), 0);
        QVERIFY(ws.state() != 7);
    }

    void peerClosingIsNotAnError()
    {
        FakeServer server(kAddress);
        ClientSocket ws;
        QSignalSpy connected(&ws, &ClientSocket::connected);
        ws.connectTo(kAddress, wire::ServerPort);
        QVERIFY(connected.wait());
        QVERIFY(server.waitForClient());
        QSignalSpy failed(&ws, &ClientSocket::error);
        QSignalSpy closed(&ws, &ClientSocket::closedByPeer);
        server.client()->disconnectFromHost();
        QVERIFY(closed.wait());
        QCOMPARE(failed.count(), 0);
        QVERIFY(ws.state() != 7);
    }

    void localAddressIsDottedDecimal()
    {
        ClientSocket ws;
        QVERIFY(QHostAddress(ws.localIP()).protocol() == QAbstractSocket::IPv4Protocol);
        QCOMPARE(ws.localIP().count(QLatin1Char('.')), 3);
    }

    // A handler that pauses inside a data-arrival event still sees later data at once, nested.
    void dataArrivingDuringAPauseIsDeliveredNested()
    {
        FakeServer server(kAddress);
        Program program;
        ClientSocket ws;
        QSignalSpy connected(&ws, &ClientSocket::connected);
        ws.connectTo(kAddress, wire::ServerPort);
        QVERIFY(connected.wait());
        QVERIFY(server.waitForClient());

        QStringList handled;
        int deepest = 0;
        connect(&ws, &ClientSocket::dataArrival, this, [&] {
            const QString data = ws.getData();
            handled.append(data);
            deepest = std::max(deepest, ws.nesting());
            if (data == QLatin1String("first")) {
                server.send("second");
                program.Pause(0.5);
                // The nested event ran inside the pause.
                QCOMPARE(handled.size(), 2);
            }
        });
        server.send("first");
        QTRY_COMPARE(handled.size(), 2);
        QCOMPARE(handled, (QStringList{"first", "second"}));
        QCOMPARE(deepest, 2);
    }

    // Past the nesting bound, data waits for the stack to unwind, and none is lost.
    void nestingIsBoundedAndNothingIsLost()
    {
        FakeServer server(kAddress);
        Program program;
        ClientSocket ws;
        QSignalSpy connected(&ws, &ClientSocket::connected);
        ws.connectTo(kAddress, wire::ServerPort);
        QVERIFY(connected.wait());
        QVERIFY(server.waitForClient());

        const int messages = ClientSocket::MaxNesting + 20;
        QByteArray received;
        int deepest = 0;
        int sent = 1;
        connect(&ws, &ClientSocket::dataArrival, this, [&] {
            received += wire::toCodePage(ws.getData());
            deepest = std::max(deepest, ws.nesting());
            if (sent < messages) {
                server.send(QByteArray::number(sent++) + ',');
                program.Pause(0.03);
            }
        });
        server.send("0,");
        QTRY_VERIFY_WITH_TIMEOUT(received.count(',') == messages, 20000);
        QCOMPARE(deepest, ClientSocket::MaxNesting);
        QByteArray expected;
        for (int i = 0; i < messages; ++i)
            expected += QByteArray::number(i) + ',';
        QCOMPARE(received, expected);
        QTRY_COMPARE(ws.nesting(), 0);
    }

    void sendCommandWhileNotConnectedDropsTheMessage()
    {
        FakeServer server(kAddress);
        Program program;
        program.SendCommand(QStringLiteral("LOGIN"));
        QCOMPARE(program.mess()->statusLine(), QStringLiteral("Status : Not Connected"));
        // Dropped, not queued: after a log-in the first bytes are the new LOGIN alone.
        QVERIFY(logIn(program, server, QStringLiteral("ana")));
        QCOMPARE(server.received(), loginBytes(QStringLiteral("ana")));
    }

    void setStatusKeepsItsPrefix()
    {
        Program program;
        QCOMPARE(program.mess()->statusLine(), QStringLiteral("Status : Idle"));
        program.SetStatus(QString());
        QCOMPARE(program.mess()->statusLine(), QStringLiteral("Status : "));
        program.SetStatus(QStringLiteral("<b>x</b>"));
        QCOMPARE(program.mess()->statusLine(), QStringLiteral("Status : <b>x</b>"));
    }

    void showErrorUsesOneWindow()
    {
        Program program;
        program.ShowError(QStringLiteral("uno"));
        Error *first = program.existingError();
        QVERIFY(first && first->isVisible());
        program.ShowError(QStringLiteral("<b>dos</b>"));
        QCOMPARE(program.existingError(), first);
        QCOMPARE(first->errorText(), QStringLiteral("<b>dos</b>"));
        QCOMPARE(first->ui->lblNewError->textFormat(), Qt::PlainText);
        QCOMPARE(first->windowTitle(), QStringLiteral("Dravo'sKorvex Mensajero ERROR Estatus"));
        QCOMPARE(first->ui->lblError->text(), QStringLiteral("Error :"));

        // Closing destroys it; the next error comes in a fresh window.
        first->close();
        QTRY_VERIFY(!program.existingError());
        program.ShowError(QStringLiteral("tres"));
        QVERIFY(program.existingError());
        QCOMPARE(program.existingError()->errorText(), QStringLiteral("tres"));
    }

    void pauseWaitsHandlingEventsWithoutSpinning()
    {
        Program program;
        bool ticked = false;
        QTimer::singleShot(5, this, [&] { ticked = true; });
        QElapsedTimer clock;
        clock.start();
        program.Pause(0.02);
        QVERIFY(clock.nsecsElapsed() >= 20'000'000);
        QVERIFY(ticked);

        const double cpuBefore = cpuSeconds();
        clock.restart();
        program.Pause(0.5);
        QVERIFY(clock.elapsed() >= 500);
        // A wait, not a busy loop: a spinning pause would burn about half a second here.
        QVERIFY2(cpuSeconds() - cpuBefore < 0.15, "Pause used the CPU while waiting");
    }

    void pauseOfZeroDoesNotYield()
    {
        Program program;
        bool ran = false;
        QTimer::singleShot(0, this, [&] { ran = true; });
        program.Pause(0);
        program.Pause(-1);
        QVERIFY(!ran);
        QTRY_VERIFY(ran);
    }
};

QTEST_MAIN(TestSocket)
#include "test_socket.moc"
