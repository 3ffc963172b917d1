// Files through the server: offered, uploaded and fetched on transfer connections of their own,
// resumed after a break or a restart, kept for a claimed nickname away, and refused with a
// reason when they break a rule.
#include "relay_script.h"

#include <QCryptographicHash>

namespace {

// The limits a server with the defaults announces.
const QString kLimits = "FILES|2147483648|4294967296|4294967296|17179869184|0|0|7~";

QString sha(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace

class TestRelayFiles : public RelayScript {
    Q_OBJECT

public:
    TestRelayFiles() : RelayScript("127.0.0.33") {}

private Q_SLOTS:
    void init()
    {
        QDir(m_state.filePath("files")).removeRecursively();
        for (const QString &file : QDir(m_state.path()).entryList({"files.sqlite*"}))
            QFile::remove(m_state.filePath(file));
    }

    void transfers_data()
    {
        // bea and ana log in with their keys and take files; ana offers bea "hola mundo".
        const QString bea = "tls b; b> LOGIN|bea||$K~; b< TOKEN|$T~NICK|bea~; b> FILES|~; b< "
            + kLimits + "; ";
        const QString both = bea + "tls a; a> LOGIN|ana||$L~; a< TOKEN|$U~NICK|bea~NICK|ana~; "
                                   "b< NICK|ana~; a> FILES|~; a< " + kLimits + "; ";
        const QString offer = both + "a> SENDFILE|bea|$I|hola.txt|10|$H~; a< UPLOAD|$I|$V~; ";
        const QString uploaded = offer + "tls t; t> UPLOAD|$V~; t< FROM|0~; t>> hola mundo; "
                                         "t< STORED|10~; closed t; a< MARK|$I|kept~; "
                                         "b< FILE|bea|ana|$I|hola.txt|10|$H|$Z~; ";
        scriptRows({
            "offered, fetched, and forgotten once fetched => " + uploaded
                + "b> GETFILE|$I~; b< DOWNLOAD|$I|$W~; tls d; d> DOWNLOAD|$W|0~; "
                  "d< FROM|0~hola mundo; closed d; admin files; log 1 file waiting; "
                  "held 1; b> GOTFILE|$I~; a< MARK|$I|delivered~; admin files; "
                  "log 0 files waiting; held 0; b> GETFILE|$I~; quiet a b",
            "resumed from where the break left it, both ways => " + offer
                + "tls t; t> UPLOAD|$V~; t< FROM|0~; t>> hola ; hangup t; log ended: closed at 5 of 10 bytes; "
                  "a> SENDFILE|bea|$I|hola.txt|10|$H~; a< UPLOAD|$I|$X~; tls t2; "
                  "t2> UPLOAD|$X~; t2< FROM|5~; t2>> mundo; t2< STORED|10~; a< MARK|$I|kept~; "
                  "b< FILE|bea|ana|$I|hola.txt|10|$H|$Z~; b> GETFILE|$I~; b< DOWNLOAD|$I|$W~; "
                  "tls d; d> DOWNLOAD|$W|5~; d< FROM|5~mundo; closed d; "
                  "a> SENDFILE|bea|$I|hola.txt|10|$H~; a< MARK|$I|kept~; quiet a",
            "an upload goes on after a restart of the server => " + offer
                + "tls t; t> UPLOAD|$V~; t< FROM|0~; t>> hola ; hangup t; log ended: closed at 5 of 10 bytes; start; "
                  "tls a2; a2> LOGIN|ana||$L~; a2< TOKEN|$P~NICK|ana~; a2> FILES|~; a2< " + kLimits
                + "; a2> SENDFILE|bea|$I|hola.txt|10|$H~; a2< UPLOAD|$I|$X~; tls t2; "
                  "t2> UPLOAD|$X~; t2< FROM|5~; t2>> mundo; t2< STORED|10~; a2< MARK|$I|kept~",
            "kept for a claimed nickname away, offered at its log-in => " + bea
                + "b> LOGOUT|bea~; tls a; a> LOGIN|ana||$L~; a< TOKEN|$U~NICK|ana~; a> FILES|~; "
                  "a< " + kLimits + "; a> SENDFILE|bea|$I|hola.txt|10|$H~; a< UPLOAD|$I|$V~; "
                  "tls t; t> UPLOAD|$V~; t< FROM|0~; t>> hola mundo; t< STORED|10~; "
                  "a< MARK|$I|kept~; tls b2; b2> LOGIN|bea||$K~; b2< TOKEN|$W~NICK|ana~NICK|bea~; "
                  "b2> FILES|~; b2< " + kLimits + "FILE|bea|ana|$I|hola.txt|10|$H|$Z~; "
                  "b2> DROPFILE|$I~; a< NICK|bea~MARK|$I|failed|bea rechazó el archivo "
                  "hola.txt.~; admin files; log 0 files waiting",
            "refused: too big, to a plain client, to nobody, a bad name => "
                "start --max-file-size 9; " + QString(both).replace("|2147483648|", "|9|")
                + "luis> LOGIN|luis; "
                "luis< NICK|beaNICK|anaNICK|luis; a< NICK|luis~; b< NICK|luis~; "
                "a> SENDFILE|bea|$I|hola.txt|10|$H~; a< MARK|$I|failed|El archivo hola.txt no "
                "se envió: el servidor admite archivos de 1 byte a 9 bytes.~; "
                "a> SENDFILE|luis|$J|a.txt|5|$H~; a< MARK|$J|failed|El archivo a.txt no se "
                "envió: luis usa un programa que no recibe archivos.~; "
                "a> SENDFILE|nadie|$M|a.txt|5|$H~; a< MARK|$M|failed|El archivo a.txt no se "
                "envió: nadie no está conectado.~; a> SENDFILE|bea|$N|../a|5|$H~; "
                "a< MARK|$N|failed|El archivo  no se envió: su nombre no vale como nombre de "
                "archivo.~; quiet a",
            "a file longer than a turn, written at once, stored whole => " + both
                + "a> SENDFILE|bea|$I|x.txt|300000|$B~; a< UPLOAD|$I|$V~; tls t; t> UPLOAD|$V~; "
                  "t< FROM|0~; t>> #300000; t< STORED|300000~; a< MARK|$I|kept~",
            "a transfer that moves nothing is closed => start --stall-timeout 1000; " + offer
                + "tls t; t> UPLOAD|$V~; t< FROM|0~; t>> hola ; closed t; "
                  "log ended: closed at 5 of 10 bytes: nothing moved for a while",
            "a lying size, a wrong digest, a ticket used twice => " + both
                + "a> SENDFILE|bea|$I|hola.txt|5|$H~; a< UPLOAD|$I|$V~; tls t; t> UPLOAD|$V~; "
                  "t< FROM|0~; t>> hola mundo; t< REFUSED|file|Llegan más bytes de los que tiene "
                  "el archivo.~; closed t; tls t2; t2> UPLOAD|$V~; t2< REFUSED|file|Ese permiso "
                  "de transferencia no vale.~; closed t2; a> SENDFILE|bea|$J|hola.txt|10|$G~; "
                  "a< UPLOAD|$J|$X~; tls t3; t3> UPLOAD|$X~; t3< FROM|0~; t3>> hola mundo; "
                  "t3< REFUSED|file|El archivo no llegó entero al servidor: empieza de nuevo.~; "
                  "closed t3; a> SENDFILE|bea|$J|hola.txt|10|$G~; a< UPLOAD|$J|$Y~; tls t4; "
                  "t4> UPLOAD|$Y~; t4< FROM|0~; quiet b",
            "a full disk refuses new files and keeps the whole ones => " + uploaded
                + "disk full; a> SENDFILE|bea|$J|otro.txt|10|$G~; a< MARK|$J|failed|El archivo "
                  "otro.txt no se envió: el servidor no pudo apuntarlo.~; disk room; "
                  "b> GETFILE|$I~; b< DOWNLOAD|$I|$W~; tls d; d> DOWNLOAD|$W|0~; "
                  "d< FROM|0~hola mundo",
            "a full disk stops an upload, which goes on later => " + offer
                + "tls t; t> UPLOAD|$V~; t< FROM|0~; disk full; t>> hola mundo; t< REFUSED|file|"
                  "El servidor no pudo guardar el archivo.~; disk room; closed t; "
                  "a> SENDFILE|bea|$I|hola.txt|10|$H~; a< UPLOAD|$I|$X~; tls t2; t2> UPLOAD|$X~; "
                  "t2< FROM|0~; t2>> hola mundo; t2< STORED|10~; a< MARK|$I|kept~",
            "a download past the end, a cancel, a release => " + uploaded
                + "b> GETFILE|$I~; b< DOWNLOAD|$I|$W~; tls d; d> DOWNLOAD|$W|11~; "
                  "d< REFUSED|file|El archivo no tiene esa posición.~; closed d; "
                  "a> SENDFILE|bea|$J|hola.txt|10|$H~; a< MARK|$J|kept~; "
                  "b< FILE|bea|ana|$J|hola.txt|10|$H|$Z~; a> DROPFILE|$I~; b< MARK|$I|failed|ana "
                  "canceló el envío del archivo hola.txt.~; held 1; admin release bea; "
                  "log 0 kept lines dropped, 1 files; admin files; log 0 files waiting; held 0",
        });
    }

    void transfers()
    {
        QFETCH(QString, script);
        m_captured = {{"K", QString(32, 'a') + QString(32, 'b')}, {"L", QString(64, 'c')},
                      {"I", QString(32, 'd')}, {"J", QString(32, 'e')}, {"M", QString(32, 'f')},
                      {"N", QString(32, '8')}, {"H", sha("hola mundo")}, {"G", sha("hola mundx")},
                      {"B", sha(QByteArray(300'000, 'x'))}};
        run(script.startsWith("start") ? script : "start; " + script);
    }
};

QTEST_GUILESS_MAIN(TestRelayFiles)
#include "test_relay_files.moc"
