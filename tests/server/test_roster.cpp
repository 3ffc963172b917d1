// Who is online and in what state: the list a newcomer gets, who comes and goes, and the
// states, each as state rather than history for a reader that is slow.
#include "relay_script.h"

class TestRoster : public RelayScript {
    Q_OBJECT

public:
    TestRoster() : RelayScript("127.0.0.22") {}

private Q_SLOTS:
    void relays_data()
    {
        // What a writer to a reader that has gone is told, once a minute.
        const QString gone = "Tu mensaje para sordo no se entregó: sordo no está conectado.";
        scriptRows({

            "log-in lists everyone and announces the newcomer => ana> LOGIN|ana; ana< NICK|ana; "
            "luis> LOGIN|luis; luis< NICK|anaNICK|luis; ana< NICK|luis; luis> GETUSER|; "
            "luis< NICK|anaNICK|luis; luis> GETUSER; luis< NICK|anaNICK|luis; "
            "nino> LOGIN|Niño €; nino< NICK|anaNICK|luisNICK|Niño €; luis< NICK|Niño €; "
            "ana< NICK|Niño €; log @luis logged in as \"luis\"\\n; quiet ana luis nino",
            // To a framed reader with nothing waiting, the old connection's going and the new
            // one's coming, in one turn, cancel out: the user stays where it is in its list.
            "a nickname taken back is no news to an idle reader => tls a; a> LOGIN|ana~; "
            "a< TOKEN|$T~NICK|ana~; l> LOGIN|luisACCEPT|frame~; "
            "l< ACCEPTED|frame~NICK|ana~NICK|luis~; a< NICK|luis~; tls b; b> LOGIN|ana|$T~; "
            "b< TOKEN|$U~NICK|luis~NICK|ana~; closed a; l< STATE|ana|available|~; quiet l b",
            // Who comes is told before what it says, in the same read.
            "a newcomer is heard of before its first line => l> LOGIN|luisACCEPT|frame~; "
            "l< ACCEPTED|frame~NICK|luis~; a> LOGIN|anaACCEPT|frame~PM|luis|ana|hola~; "
            "a< ACCEPTED|frame~NICK|luis~NICK|ana~; l< NICK|ana~PM|luis|ana|hola~; quiet a l",
            // Who is online and in the room waits for a slow reader as state, not history: a
            // change that undoes one still waiting cancels it, the lines said stay.
            "comings and goings wait as state => start --gap 500 --max-logins 60; login r; "
            "r> ENTER|r; r< ENTER|r; x> LOGIN|ana; x> ENTER|ana; x> LOGOUT|ana; x> LOGIN|ana; "
            "x> ENTER|ana; x> CHAT|ana|hola; x> LOGOUT|ana; x> LOGIN|Ana; x> LOGOUT|Ana; "
            "x> LOGIN|ana; r< NICK|anaENTER|anaCHAT|ana|holaLEAVE|ana; quiet r",
            "a reader under re-log-ins on new connections => start --gap 500 --max-queue 8; "
            "login r w; c1> LOGIN|u; w> PM|r|w|1; close c1; log @c1 disconnected; c2> LOGIN|u; "
            "w> PM|r|w|2; close c2; log @c2 disconnected; c3> LOGIN|u; w> PM|r|w|3; close c3; "
            "log @c3 disconnected; c4> LOGIN|u; w> PM|r|w|4; "
            "r< PM|r|w|1PM|r|w|2PM|r|w|3NICK|uPM|r|w|4; w< NICK|u; quiet r w",
            // Who is at their desk: to framed clients only, the sender too, and after the list.
            "states go to framed clients, after the list => login p; "
            "e> ACCEPT|frame~LOGIN|eva~; e< ACCEPTED|frame~NICK|p~NICK|eva~; p< NICK|eva; "
            "e> STATE|away| \t en\x01la \u0081reunión  ~; e< STATE|eva|away|en la  reunión~; "
            "e> STATE|busy|  #90 ~; e< STATE|eva|busy|#80~; e> STATE|busy|<b>x</b>~; "
            "e> STATE|fuera|x~; e> STATE|Away~; p> STATE|away|x; x> ACCEPT|frame~STATE|away|x~; "
            "e< STATE|eva|busy|<b>x</b>~; a> ACCEPT|frame~LOGIN|ana~; a< ACCEPTED|frame~NICK|p~"
            "NICK|eva~NICK|ana~STATE|eva|busy|<b>x</b>~; e< NICK|ana~; p< NICK|ana; "
            "a> STATE|away|~; e< STATE|ana|away|~; a< STATE|ana|away|~; a> GETUSER~; "
            "a< NICK|p~NICK|eva~NICK|ana~STATE|eva|busy|<b>x</b>~STATE|ana|away|~; "
            "p> GETUSER; p< NICK|pNICK|evaNICK|ana; e> LOGOUT|eva~; a< LOGOUT|eva~; p< LOGOUT|eva; e> LOGIN|eva~; "
            "e< NICK|p~NICK|ana~NICK|eva~STATE|ana|away|~; a< NICK|eva~; p< NICK|eva; "
            "a> GETUSER~; a< NICK|p~NICK|ana~NICK|eva~STATE|ana|away|~; quiet p e a",
            "state changes past the bound wait, the latest passed on => start "
            "--states-per-minute 2 window=1500; e> ACCEPT|frame~LOGIN|eva~; e< ACCEPTED|frame~"
            "NICK|eva~; e> STATE|away|1~; e> STATE|away|2~; e> STATE|away|3~; e> STATE|busy|4~; "
            "e< STATE|eva|away|1~STATE|eva|away|2~; a> ACCEPT|frame~LOGIN|ana~; "
            "a< ACCEPTED|frame~NICK|eva~NICK|ana~STATE|eva|away|2~; e< NICK|ana~; empty e; "
            "e< STATE|eva|busy|4~; a< STATE|eva|busy|4~; quiet e a",
            "a state not sent yet goes with its user => start gather=0; e> ACCEPT|frame~LOGIN|"
            "eva~; e< ACCEPTED|frame~NICK|eva~; a> ACCEPT|frame~LOGIN|ana~; a< ACCEPTED|frame~"
            "NICK|eva~NICK|ana~; e< NICK|ana~; a> STATE|away|x~LOGOUT|ana~; e< LOGOUT|ana~; quiet e",
            // Held up by its handshake, a reader's queue holds one state per user, none once
            // that user has gone.
            "states wait for a slow reader as state => r> LOGIN|rACCEPT|frame|tls~; "
            "r< ACCEPTED|frame|tls~; e> ACCEPT|frame~LOGIN|eva~; e< ACCEPTED|frame~NICK|r~NICK|"
            "eva~; e> STATE|away|1~; e> STATE|busy|2~; e< STATE|eva|away|1~STATE|eva|busy|2~; "
            "a> ACCEPT|frame~LOGIN|ana~; a< ACCEPTED|frame~NICK|r~NICK|eva~NICK|ana~STATE|eva|"
            "busy|2~; e< NICK|ana~; a> STATE|away|3~; a< STATE|ana|away|3~; a> LOGOUT|ana~; "
            "e< STATE|ana|away|3~LOGOUT|ana~; handshake r; r< NICK|r~NICK|eva~STATE|eva|busy|2~; "
            "r> PM|r|r|x~; r< PM|r|r|x~; quiet e",
        });
    }

    void relays() { playRow(); }

};

QTEST_GUILESS_MAIN(TestRoster)
#include "test_roster.moc"
