// The chat room: who entered and has not left.
#include "relay_script.h"

class TestRoom : public RelayScript {
    Q_OBJECT

public:
    TestRoom() : RelayScript("127.0.0.23") {}

private Q_SLOTS:
    void relays_data()
    {
        scriptRows({
            "the room is who entered and has not left => login ana luis eva; ana> ENTER|eva; "
            "ana< ENTER|ana; luis> ENTER|luis; ana< ENTER|luis; luis< ENTER|luis; ana> ENTER|ana; "
            "eva> CHAT|eva|¿me oís?; ana> CHAT|ana|hola; ana< CHAT|ana|hola; luis< CHAT|ana|hola; "
            "luis> LEAVE|luis; ana< LEAVE|luis; luis< LEAVE|luis; eva> LEAVE|eva; "
            "quiet ana luis eva; nolog hola",
            "log-out and disconnection leave the room and the list => login ana luis eva; "
            "ana> ENTER|ana; luis> ENTER|luis; ana< ENTER|anaENTER|luis; luis< ENTER|luis; "
            "ana> LOGOUT|luis; luis< LEAVE|anaLOGOUT|ana; eva< LOGOUT|ana; close luis; "
            "eva< LOGOUT|luis; log @ana \"ana\" logged out\\n; "
            "log @luis disconnected: closed by the client\\n; eva> ENTER|eva; eva< ENTER|eva; "
            "quiet ana eva; ana> LOGIN|ana; ana< NICK|evaNICK|ana; eva< NICK|ana; quiet ana eva",
        });
    }

    void relays() { playRow(); }

};

QTEST_GUILESS_MAIN(TestRoom)
#include "test_room.moc"
