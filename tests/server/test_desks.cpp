// A nickname on several desks: the holder's code lets another desk record its key, once and in
// time; one desk online at a time. And the server announced on the local network.
#include "relay_script.h"

#include <QCryptographicHash>
#include <QSslCertificate>
#include <QSysInfo>

// Writes down what the relay asks of its announcer.
struct FakeAnnouncer : LanAnnouncer {
    explicit FakeAnnouncer(QStringList &calls) : calls(calls) {}
    void publish(const QString &name, const QString &type, quint16 port,
                 const QStringList &txt) override
    {
        calls << QStringList{name, type, QString::number(port), txt.join(' ')}.join(' ');
    }
    void withdraw() override { calls << "withdraw"; }
    QStringList &calls;
};

class TestDesks : public RelayScript {
    Q_OBJECT

public:
    TestDesks() : RelayScript("127.0.0.34") {}

private Q_SLOTS:
    void desks_data()
    {
        const QString start = "start --refusal-delay 0 --password-delay 0 ", two =
            "tls a; a> LOGIN|bea||$K||casa~; a< TOKEN|$T~NICK|bea~; a> DESKCODE|~; "
            "a< DESKCODE|$C|$Z~; ", taken = "a< TAKEN|Has entrado desde otro equipo~; closed a; ";
        scriptRows({
            // The code never reaches the log; used once, it is refused the second time.
            "a second desk takes the nickname over => " + start + "; " + two + "nolog $C; "
            "luis> LOGIN|luis; luis< NICK|beaNICK|luis; a< NICK|luis~; tls b; b> LOGIN|bea||$L|$C|portátil~; " + taken +
            "b< TOKEN|$U~NICK|luis~NICK|bea~; luis< LOGOUT|beaNICK|bea; log @b adds the desk "
            "\"portátil\" to the claim on \"bea\"\\n; log @b takes \"bea\" to the desk "
            "\"portátil\" from @a\\n; b> DESKS|~; b< DESKS|portátil|casa|$Z|portátil|$Z~; tls c; "
            "c> LOGIN|bea||$O|$C|otro~; c< REFUSED|nickname|Ese código ya se ha usado. Pide otro "
            "en el equipo donde ya usas el apodo.~; closed c; quiet b luis",
            "only a holder makes codes => " + start + "; tls s; s> LOGIN|sam~; s< TOKEN|$T~NICK|"
            "sam~; s> DESKCODE|~; s< DESKCODE|||Solo se puede añadir otro equipo a un apodo "
            "reservado, desde un equipo que ya lo use.~; s> DESKS|~; s< DESKS|~; quiet s",
            "an expired code is refused => " + start + "--desk-code-time 0; " + two + "tls b; "
            "b> LOGIN|bea||$L|$C|x~; b< REFUSED|nickname|Ese código ha caducado. Pide otro en el "
            "equipo donde ya usas el apodo.~; closed b; quiet a",
            // Wrong codes lock their address out with the passwords; the code still serves
            // from elsewhere.
            "wrong codes count against the address => " + start + "--max-password-failures 2; "
            + two + "tls b; b> LOGIN|bea||$L|2222-2222-22|x~; b< REFUSED|nickname|El código para "
            "usar el apodo en este equipo no es correcto.~; tls c; c> LOGIN|bea||$L|K7QM|x~; "
            "c< REFUSED|nickname|El código para usar el apodo en este equipo no es correcto.~; "
            "log @b refused: a wrong code for a desk of \"bea\"; tls d; d> LOGIN|bea||$L|$C|x~; "
            "d< REFUSED|busy|Desde tu dirección se han probado demasiados códigos equivocados. "
            "Espera unos minutos antes de volver a intentarlo.~; tls e.5; e.5> LOGIN|bea||$L|$C|"
            "x~; " + taken + "e.5< TOKEN|$U~NICK|bea~",
            // Desks outlive a restart; the one in use is not dropped; release drops them all.
            "desks listed, dropped and released => " + start + "; " + two + "tls b; "
            "b> LOGIN|bea||$L|$C|casa~; " + taken + "b< TOKEN|$U~NICK|bea~; admin claims; "
            "log  - \"bea\" since ; log  -   desk \"casa\" since ; log  -   desk \"casa 2\" since "
            "; " + start + "; tls c; c> LOGIN|bea||$K~; c< TOKEN|$V~NICK|bea~; c> DROPDESK|casa~; "
            "c< DESKS|casa|casa|$Z|casa 2|$Z~; c> DROPDESK|casa 2~; c< DESKS|casa|casa|$Z~; "
            "tls d; d> LOGIN|bea||$L~; d< REFUSED|nickname|El apodo bea pertenece a otra "
            "persona. Elige otro apodo.~; c> LOGOUT|bea~; admin release bea; tls e; "
            "e> LOGIN|bea||$L~; e< TOKEN|$W~NICK|bea~; e> DESKS|~; e< DESKS|primer equipo|"
            "primer equipo|$Z~",
            // Lines kept for the claim go to whichever desk logs in next, once; those the desk
            // taken over left unanswered go to the desk that took it.
            "kept lines go to one desk once => " + start + "; " + two + "tls b; "
            "b> LOGIN|bea||$L|$C|x~; " + taken + "b< TOKEN|$U~NICK|bea~; luis> LOGIN|luis; "
            "luis< NICK|beaNICK|luis; b< NICK|luis~; luis> PM|bea|luis|uno; b< PM|bea|luis|uno|$P|$Z~; tls a2; "
            "a2> LOGIN|bea||$K~; b< TAKEN|Has entrado desde otro equipo~; closed b; "
            "a2< TOKEN|$V~NICK|luis~NICK|bea~PM|bea|luis|uno|$P|$Z~; a2> RECEIVED|luis|$P~; "
            "a2> LOGOUT|bea~; luis> PM|bea|luis|dos; tls b2; b2> LOGIN|bea||$L~; "
            "b2< TOKEN|$W~NICK|luis~NICK|bea~PM|bea|luis|dos|$Q|$Z~; b2> RECEIVED|luis|$Q~; "
            "b2> LOGOUT|bea~; tls a3; a3> LOGIN|bea||$K~; a3< TOKEN|$X~NICK|luis~NICK|bea~; "
            "quiet a3",
        });
    }
    void desks() { playRow(); }

    // Name, type, port and TXT as announced, then withdrawn as the server stops.
    void announces_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("published");
        QTest::newRow("named") << "--name Oficina"
                               << "Oficina _korvex._tcp 12584 features=frame,tls,keep,files fp=";
        QTest::newRow("host name") << "--password=x"
                                   << QSysInfo::machineHostName()
                + " _korvex._tcp 12584 features=frame,tls,keep,files,password fp=";
        QTest::newRow("in clear") << "--no-tls --name x" << "x _korvex._tcp 12584 features=frame";
        QTest::newRow("not announced") << "--no-announce" << "";
    }
    void announces()
    {
        QFETCH(QString, options);
        QFETCH(QString, published);
        QStringList calls;
        m_prepare = [&](RelayServer &s) { s.setAnnouncer(std::make_unique<FakeAnnouncer>(calls)); };
        run("start " + options);
        m_server.reset();
        m_prepare = nullptr;
        const QSslCertificate certificate =
            QSslCertificate::fromPath(m_state.filePath("tls-certificate.pem")).value(0);
        if (published.endsWith("fp="))
            published += certificate.digest(QCryptographicHash::Sha256).toHex().left(16);
        QCOMPARE(calls.join('\n'), published.isEmpty() ? "" : published + "\nwithdraw");
    }

    // The real announcer finds no daemon here: it says so once and the server serves on.
    void withoutDaemon()
    {
        run("start; tls a; a> LOGIN|ana~; a< TOKEN|$T~NICK|ana~; quiet a");
        QCOMPARE(m_log.count(" - not announced on the local network: "), 1);
    }
};

QTEST_MAIN(TestDesks)
#include "test_desks.moc"
