// Who may log in, as whom and when: nicknames online and claimed, encryption, the group's
// password, the limits per address and the deadlines of a connection nobody logs in on.
#include "relay_script.h"

class TestAdmission : public RelayScript {
    Q_OBJECT

public:
    TestAdmission() : RelayScript("127.0.0.21") {}

private Q_SLOTS:
    void relays_data()
    {
        scriptRows({
            // A nickname is one connection's, whatever the case; the refused is told why, in
            // a way it understands, and closed; nobody else notices.
            "a nickname online is refused => login ana luis; ANA> LOGIN|ANA; "
            "ANA< MESSAGE|Ya hay alguien conectado como ana. Elige otro apodo.; closed ANA; "
            "log @ANA refused: nickname \"ANA\" is online at @ana\\n; "
            "f> ACCEPT|frame~LOGIN|ana~; f< ACCEPTED|frame~REFUSED|nickname|Ya hay alguien "
            "conectado como ana. Elige otro apodo.~; closed f; luis> PM|ana|luis|hola; "
            "ana< PM|ana|luis|hola; empty ANA f; quiet ana luis; ana> LOGIN|anita; "
            "ana< NICK|luisNICK|anita; "
            "luis< LOGOUT|anaNICK|anita; N> LOGIN|ana~; N< MESSAGE|El apodo no puede empezar ni "
            "acabar en blanco, ni llevar caracteres invisibles. Elige otro apodo.; closed N; "
            "quiet ana luis",
            // A client back after a loss takes the nickname from its old connection, which the
            // server may not have seen go, with the secret of its last log-in; nobody else can.
            "the secret of a log-in takes the nickname back => login luis; tls a; "
            "a> LOGIN|ana~; a< TOKEN|$T~NICK|luis~NICK|ana~; luis< NICK|ana; x> LOGIN|ana|$T0; "
            "closed x; f> ACCEPT|frame~LOGIN|ana|$T~; f< ACCEPTED|frame~REFUSED|nickname|Ya hay "
            "alguien conectado como ana. Elige otro apodo.~; closed f; tls b; b> LOGIN|ana|$T~; "
            "b< TOKEN|$U~NICK|luis~NICK|ana~; closed a; luis< LOGOUT|anaNICK|ana; "
            "log @b takes \"ana\" back from @a\\n; tls y; y> LOGIN|ANA|$T~; "
            "y< REFUSED|nickname|Ya hay alguien conectado como ana. Elige otro apodo.~; "
            "z> LOGIN|ana; closed z; luis> PM|ana|luis|¿sigues?; "
            "b< PM|ana|luis|¿sigues?~; quiet luis b; nolog $U",
            // A key claims a nickname: from then on it is taken only with that key, online or
            // not, a token too. A key travels only encrypted.
            "a claimed nickname is its holder's => start --refusal-delay 0 --claims-per-hour 1; "
            "tls a; a> LOGIN|ana||$K~; a< TOKEN|$T~NICK|ana~; log @a claims \"ana\"\\n; tls b; "
            "b> LOGIN|ANA|$T~; b< REFUSED|nickname|El apodo ANA pertenece a otra persona. Elige "
            "otro apodo.~; x> LOGIN|ana; x< MESSAGE|El apodo ana pertenece a otra persona. Elige "
            "otro apodo.; closed x; tls c; c> LOGIN|ana|$T|$L~; c< REFUSED|nickname|El apodo ana "
            "pertenece a otra persona. Elige otro apodo.~; "
            "log @c refused: nickname \"ana\" is claimed with another key\\n; a> LOGOUT|ana~; "
            "tls d; d> LOGIN|anA||$L~; d< REFUSED|nickname|El apodo anA pertenece a otra persona. "
            "Elige otro apodo.~; tls e; e> LOGIN|ana||$K~; e< TOKEN|$U~NICK|ana~; "
            "f> LOGIN|eva||$K; f< MESSAGE|La clave de un apodo solo se admite en una conexión "
            "cifrada.; tls g; g> LOGIN|eva||ABC~; g< REFUSED|nickname|La clave del apodo eva no "
            "es válida.~; tls h; h> LOGIN|eva||$L~; h< TOKEN|$V~NICK|ana~NICK|"
            "eva~; e< NICK|eva~; log @h \"eva\" left unclaimed: more than 1 claims in an hour; "
            "admin claims; log  - 1 claim\\n; log  - \"ana\" since 2; quiet e h",
            // Encryption when the client takes it; a client that ignores the offer talks in
            // clear, unless the server requires encryption.
            "encryption offered => tls a; a> LOGIN|ana~; a< TOKEN|$T~NICK|ana~; luis> LOGIN|luis; "
            "luis< NICK|anaNICK|luis; a< NICK|luis~; luis> PM|ana|luis|hola; a< PM|ana|luis|hola~; "
            "admin users; log @a \"ana\" encrypted\\n; log @luis \"luis\"\\n; quiet a luis; "
            "f> ACCEPT|frame|tls~LOGIN|f~; closed f; log @f disconnected: data before the "
            "encryption; g> ACCEPT|frame~LOGIN|gil~; g< ACCEPTED|frame~NICK|ana~NICK|luis~NICK|gil~",
            "encryption required => start --require-tls --stall-timeout 300; x> LOGIN|x; "
            "x< MESSAGE|Este servidor solo admite conexiones cifradas.; closed x; "
            "f> ACCEPT|frame~LOGIN|f~; f< ACCEPTED|frame~REFUSED|tls|Este servidor solo admite "
            "conexiones cifradas.~; closed f; tls a; a> LOGIN|ana~; a< TOKEN|$T~NICK|ana~; "
            "log @x refused: not encrypted; quiet a; h> ACCEPT|frame|tls~; "
            "h< ACCEPTED|frame|tls~; closed h; log @h disconnected: no TLS handshake",
            "the group's password => start --password=Ábrete, sésamo; tls a; a> LOGIN|ana~; "
            "a< REFUSED|password|Este servidor pide la contraseña del grupo para entrar.~; "
            "closed a; tls b; b> PASSWORD|ábrete, sésamo~; b< REFUSED|password|La contraseña del "
            "grupo no es correcta.~; closed b; c> LOGIN|c; c< MESSAGE|Este servidor pide la "
            "contraseña del grupo para entrar.; closed c; "
            "f> ACCEPT|frame~PASSWORD|Ábrete, sésamo~LOGIN|f~; f< ACCEPTED|frame~REFUSED|password|"
            "Este servidor pide la contraseña del grupo para entrar.~; tls d; "
            "d> PASSWORD|Ábrete, sésamo~LOGIN|ana~; d< TOKEN|$T~NICK|ana~; quiet d; "
            "log @b refused: wrong password; nolog sésamo",
            "log-in again switches the name => login ana luis; ana> ENTER|ana; luis> ENTER|luis; "
            "ana< ENTER|anaENTER|luis; luis< ENTER|luis; ana> LOGIN|anita; "
            "luis< LEAVE|anaLOGOUT|anaNICK|anita; ana< NICK|luisNICK|anita; luis> CHAT|luis|hola; "
            "luis< CHAT|luis|hola; ana> LOGIN|; ana> LOGIN; "
            "log @ana \"ana\" logged in again as \"anita\"\\n; quiet ana luis",
            "nobody is anybody before logging in => login ana; x> PM|ana|x|hola; "
            "x> IGNORE|x|ana; x> ENTER|x; x> CHAT|x|hola; x> LEAVE|x; x> GETUSER|; x> LOGOUT|x; "
            "x> LOGIN|; x> LOGIN; admin msg hola; ana< MESSAGE|hola; quiet ana x; x> LOGIN|x; "
            "x< NICK|anaNICK|x; ana< NICK|x; close y; log @y disconnected; quiet ana x",
            "a connection on which nobody logs in is closed => start --login-timeout 600 "
            "--hello-timeout 300; login luis; x> PM|luis|x|hola; a> LOGIN|ana; "
            "a< NICK|luisNICK|ana; luis< NICK|ana; a> LOGOUT|ana; luis< LOGOUT|ana; closed x; "
            "closed a; log @x disconnected: neither a password nor a log-in for 300 ms\\n; "
            "log @a disconnected: nobody logged in for 600 ms\\n; quiet luis",
            // Whatever the letter case, I, l and 1 look alike, and so do O and 0.
            "a nickname that looks like one online is refused => login alice bob; x> LOGIN|aIice; "
            "x< MESSAGE|El apodo aIice se confunde con el de alice, que ya está conectado. Elige "
            "otro apodo.; closed x; y> ACCEPT|frame~LOGIN|b0b~; y< ACCEPTED|frame~REFUSED|nickname|"
            "El apodo b0b se confunde con el de bob, que ya está conectado. Elige otro apodo.~; "
            "log @x refused: nickname \"aIice\" looks like \"alice\", online at @alice\\n; "
            "z> LOGIN|alina; z< NICK|aliceNICK|bobNICK|alina; alice< NICK|alina; bob< NICK|alina; "
            "quiet alice bob z",
            // Every newcomer is sent every nickname: none past the bound, whenever it comes.
            "nicknames have a longest length => login luis; x> LOGIN|#31; x< MESSAGE|El apodo no "
            "puede tener más de 30 caracteres. Elige otro apodo.; closed x; log @x refused: a "
            "nickname of 31 characters, \"" + QString(31, 'x') + "\"\\n; y> LOGIN|#30; "
            "y< NICK|luisNICK|#30; luis< NICK|#30; f> ACCEPT|frame~LOGIN|f~; f< ACCEPTED|frame~"
            "NICK|luis~NICK|#30~NICK|f~; luis< NICK|f; y< NICK|f; f> LOGIN|#5000~; "
            "f< REFUSED|nickname|El apodo no puede tener más de 30 caracteres. Elige otro "
            "apodo.~; closed f; luis< LOGOUT|f; y< LOGOUT|f; log @f refused: a nickname of 5000 "
            "characters, \"" + QString(64, 'x') + "\"... (5000 characters)\\n; quiet luis y",
            "quoted fields escape quotes and backslashes => login luis; q> LOGIN|a\"b\\c; "
            "q< NICK|luisNICK|a\"b\\c; luis< NICK|a\"b\\c; admin users; "
            "log @q \"a\\\"b\\\\c\"\\n; quiet luis",
            // Loopback is no exception; another address is another count.
            "connections from one address => start --max-connections-per-address 3; login a b c; "
            "d> LOGIN|d; closed d; log @d refused: more than 3 connections from its address\\n; "
            "e> LOGIN|e; closed e; x.5> LOGIN|x; x.5< NICK|aNICK|bNICK|cNICK|x; a< NICK|x; "
            "quiet a x.5; nolog @e",
            "connections not logged in from one address => start "
            "--max-not-logged-in-per-address 2; "
            "login a; x> ; y> ; z> ; closed z; "
            "log @z refused: more than 2 connections not logged in from its address\\n; "
            "x> LOGIN|x; x< NICK|aNICK|x; w> LOGIN|w; w< NICK|aNICK|xNICK|w; a< NICK|xNICK|w; "
            "x< NICK|w; "
            "quiet a x w",
            "log-ins from one address => start --max-logins-per-address 3; login a b c; "
            "d> ACCEPT|frame~LOGIN|d~; d< ACCEPTED|frame~REFUSED|busy|Desde tu dirección se ha "
            "entrado demasiadas veces en el último minuto. Espera un momento antes de volver a "
            "intentarlo.~; closed d; log @d refused: too many log-ins from its address\\n; "
            "e.6> LOGIN|e; e.6< NICK|aNICK|bNICK|cNICK|e; a< NICK|e; quiet a e.6",
            "a long message before log-in => start --max-message-before-login 64; "
            "f> ACCEPT|frame~LOGIN|#100; closed f; "
            "log @f disconnected: flood: a message of more than 64 bytes\\n; "
            "g> ACCEPT|frame~LOGIN|g~; g< ACCEPTED|frame~NICK|g~; g> PM|g|g|#100~; "
            "g< PM|g|g|#100~; g> LOGOUT|g~; g> #100~; closed g; "
            "log @g disconnected: flood: a message of more than 64 bytes\\n; "
            // A long line read together with the LOGIN before it comes after the log-in.
            "h> ACCEPT|frame~LOGIN|h~PM|h|h|#100~; h< ACCEPTED|frame~NICK|h~PM|h|h|#100~",
            "log-ins a minute => start --max-logins 3; login ana; f> LOGIN|f1; ana< NICK|f1; "
            "f> LOGIN|f2; ana< LOGOUT|f1NICK|f2; f> LOGIN|f3; ana< LOGOUT|f2NICK|f3; f> LOGIN|f4; "
            "closed f; log @f disconnected: flood: more than 3 log-ins in a minute\\n; "
            "ana< LOGOUT|f3; quiet ana",
        });
    }

    void relays() { playRow(); }

    // Each wrong password from an address is refused later than the one before, and the next
    // is checked no sooner; after enough of them the address is locked out, the right password
    // refused too, while another address is not. Only the first refusal has a line of its own.
    void wrongPasswordsWaitLonger()
    {
        run("start --password-delay 200 --max-password-failures 3 --log-summary-interval 1000 "
            "--password=sésamo");
        QElapsedTimer clock;
        for (const auto &[who, delay] : {std::pair{"a", 200}, {"b", 400}, {"c", 800}}) {
            run(QString("tls %1; %1> PASSWORD|mal~").arg(who));
            clock.start();
            run(QString("%1< REFUSED|password|La contraseña del grupo no es correcta.~; closed %1")
                    .arg(who));
            QVERIFY2(clock.elapsed() >= delay * 9 / 10 && clock.elapsed() < delay + 3000,
                     qPrintable(QString::number(clock.elapsed())));
        }
        run("tls d; d> PASSWORD|sésamo~LOGIN|d~; d< REFUSED|busy|Desde tu dirección se han "
            "probado demasiadas contraseñas equivocadas. Espera unos minutos antes de volver a "
            "intentarlo.~; closed d; tls e.8; e.8> PASSWORD|sésamo~LOGIN|e~; "
            "e.8< TOKEN|$T~NICK|e~; "
            "log @a refused: wrong password\n; log @d refused: too many wrong passwords\n; "
            "nolog @b; nolog @c refused");
        // b's and c's, in one line or two as the minute (here a second) falls.
        const QRegularExpression summary(" 127.0.0.1 [12] more wrong passwords\n");
        QVERIFY(waitUntil([&] { return m_log.contains(summary); }));
        // Any other refusal waits as well, the connection handling nothing meanwhile.
        clock.start();
        run("f.9> LOGIN|f; f.9< MESSAGE|Este servidor pide la contraseña del grupo para entrar.; "
            "closed f.9");
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
    }
    // Guesses from one address that come together take turns: each is checked once the delay
    // the wrong one before it earned has passed, so the waits go on doubling.
    void guessesTogetherWaitLongerEachTime()
    {
        run("start --password-delay 100 --password=sésamo; tls a; tls b; tls c; tls d");
        QElapsedTimer clock;
        clock.start();
        for (const QString who : {"a", "b", "c", "d"})
            run(who + ">> PASSWORD|mal~");
        // In whatever order the server took them: each refusal's time as it comes.
        QList<qint64> refused;
        QStringList answered;
        while (answered.size() < 4) {
            const qsizetype before = answered.size();
            QVERIFY(waitUntil([&] {
                for (const QString who : {"a", "b", "c", "d"}) {
                    if (!answered.contains(who) && peer(who).buffer.contains("REFUSED")) {
                        answered << who;
                        refused << clock.elapsed();
                    }
                }
                return answered.size() > before;
            }));
        }
        for (const QString who : {"a", "b", "c", "d"})
            run(who + "< REFUSED|password|La contraseña del grupo no es correcta.~");
        // About 100, 300, 700 and 1500 ms after they came.
        QVERIFY2(refused[2] - refused[1] >= 360 && refused[3] - refused[2] >= 720,
                 qPrintable(QString("%1 %2 %3 %4").arg(refused[0]).arg(refused[1])
                                .arg(refused[2]).arg(refused[3])));
    }
};

QTEST_GUILESS_MAIN(TestAdmission)
#include "test_admission.moc"
