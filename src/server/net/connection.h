#pragma once

#include "protocol/wire.h"
#include "server/net/presence.h"
#include "server/net/stream.h"
#include "server/server_config.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QStringList>

#include <list>

class Announcements;
class TlsContext;
class TimerQueue;
class Turn;

// What the server offers a client as it connects (docs/PROTOCOL.md, "The offer"), the command
// aside: framing unless it is switched off, then encryption and what goes with it where the
// server has its identity.
QStringList offeredFeatures(const ServerConfig &config, bool tls);

// One client's TCP connection as the relay sees it. A plain client's reads are one message
// each, and what it is sent goes out one message per write, paced; a client that accepts the
// framing offer (docs/PROTOCOL.md) is framed both ways and written to without pauses, and
// encrypted if it accepts that too. What a framed client with nothing waiting is sent in one
// turn of the event loop goes out in one write at its end: a log-in among thousands of users
// is then one write to each, not one per message. A client that floods the server or stops
// reading is closed here, without the server waiting on it.
class Connection : public QObject, private Stream::Events {
public:
    // What a message counts for against what a client may send in a second: as a message and
    // its bytes, its bytes alone, or nothing. The relay's business.
    enum class Charge { Message, Bytes, Nothing };

    // What the relay is told of its connections, each call about the one that makes it; it
    // outlives them all. One object for all, not signals: a connection's signal connections
    // took 1.8 KB of its 20 KB at rest.
    class Events {
    public:
        // What a message read counts for.
        virtual Charge charge(const Connection &connection, const QByteArray &message) = 0;
        virtual void messageRead(Connection &connection, const QByteArray &bytes) = 0;
        // A message has been handed on, and handled: this many bytes of the client's stream.
        virtual void taken(Connection &connection, qint64 bytes) = 0;
        // Posted, never called from inside a call into the connection, so that whoever sends
        // to many connections in a loop never sees one of them vanish on the way.
        virtual void closed(Connection &connection, const QString &reason) = 0;
        // Messages from the connection with that id pile up at this one past its share of the
        // queue; and, later, half of its share has gone (also when this connection closes).
        virtual void pilingUp(Connection &connection, quint64 from) = 0;
        virtual void relieved(Connection &connection, quint64 from) = 0;

    protected:
        ~Events() = default;
    };

    // Takes the connected descriptor over; offers framing at once, and encryption with this
    // identity when there is one. The configuration outlives the connection. A plain client's
    // messages leave the pacer's gap apart (it is told gapPassed() under this connection's id);
    // what an idle framed client is sent goes out at the end of the turn.
    Connection(qintptr descriptor, const ServerConfig &config, quint64 id, TimerQueue &pacer,
               Turn &turn, Events &events, const TlsContext *tls, QObject *parent = nullptr);
    ~Connection() override;

    quint64 id() const { return m_id; }
    // The peer's address and port as the log shows them.
    QString peer() const { return m_peer; }
    bool isFramed() const { return m_framedOut; }
    bool isEncrypted() const { return m_encrypted; }
    // Nothing waits for the client, nor is on its way: what is sent now leaves in this turn.
    bool isIdle() const { return m_queue.empty() && !m_inFlight; }

    // Queues one message, sent by the connection with this id (0: the server itself), about
    // the user with that nickname; a change of presence that undoes the last message about that
    // user still waiting cancels it, and one that repeats it is dropped. False when a message
    // from another connection finds the queue full: it was not queued. Nothing happens once the
    // connection is closing.
    bool send(const QByteArray &message, quint64 from = 0, const QString &about = {},
              Presence presence = Presence::None);
    // Framed messages, each with its terminator, in blocks shared with other connections:
    // sent together when the client is framed and idle; false, and nothing sent, otherwise.
    bool sendTogether(const QList<QByteArray> &framed);
    // The turn's events are handled: what it was sent in the turn goes out, in one write.
    void turnEnded();
    // The pacer's gap after its last plain message has passed: the next may go.
    void gapPassed();
    // It hears who comes and goes from now on, each before anything else it is sent; until it
    // stops, having heard all that was said before.
    void listen(Announcements &announcements);
    void stopListening();
    // Sends what was announced since this client last heard, as if sent then.
    void hear();
    // Closes at once, discarding what is queued; the events hear `closed`, with the reason.
    void drop(const QString &reason);
    // Reads nothing more, sends what is queued, then closes; the events hear `closed`, with the
    // reason.
    void closeAfterSending(const QString &reason);
    // From inside `messageRead`: an encrypted client with nothing else read, written or waiting
    // gives its stream up, for another owner to take over at once (Stream::handTo); this
    // connection is closed without it (`closed` follows, with that reason). Null, and nothing
    // changed, when it cannot.
    Stream *handOver(const QString &reason);
    // Before log-in a framed client may only send short messages: nobody has said who holds
    // what it sends.
    void setLoggedIn(bool loggedIn);
    // While held (as often as released), what the client sends is not read: the kernel, then
    // the client, keep it.
    void hold();
    void release();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    struct Outgoing {
        QByteArray bytes;
        bool framed;
        quint64 from;
        // The server's marker for encryption: the handshake follows it.
        bool startsTls = false;
        QString about;
        Presence presence = Presence::None;
    };
    using Queue = std::list<Outgoing>;
    struct Waiting {
        int messages = 0;
        qint64 bytes = 0;
    };

    void streamReadable() override { read(); }
    void streamProgressed() override { written(); }
    void streamEncrypted() override { encryptionStarted(); }
    void streamClosed(const QString &reason) override { socketClosed(reason); }

    void read();
    // Finds the client's marker in the read, if it is there: what precedes it is kept as the
    // last plain message and removed with the marker. False if the connection was dropped.
    bool acceptMarker(QByteArray &bytes);
    // Counts one message as it is read (a message held back is not a burst when it is handed on
    // later). Past the bound the connection is dropped and this returns false.
    bool countMessage();
    void keep(const QByteArray &message, qint64 bytes);
    void handOn();
    void tooLongBeforeLogIn();
    void written();
    void checkProgress();
    void writeNext();
    bool deliver(const QByteArray &message, quint64 from, const QString &about,
                 Presence presence);
    // What this connection was sent goes out at the end of the turn; a message framed there.
    void writeAtTurnsEnd();
    void gather(const QByteArray &message);
    // Adds a message about someone to it, unless it is no news next to the last one.
    void gatherAbout(const QByteArray &message, const QString &about, Presence presence);
    void writeBatch();
    // After handing bytes to the stream: what the kernel took at once is done with.
    void handedOn();
    void encryptionStarted();
    void socketClosed(const QString &reason);
    void finish();
    void refill();
    void enqueue(Outgoing message);
    // Takes the message out of the queue, its sender relieved if its share allows.
    void unqueue(Queue::iterator message);
    // Whether the presence change is news to the client; if it undoes one waiting, both go.
    bool isNews(const QString &about, Presence presence);
    // What one sender may have waiting here: the bounds shared among those with messages
    // waiting, so that however many write to one reader, it is they who wait.
    qsizetype shareOfMessages() const;
    qint64 shareOfBytes() const;
    // What the peer has taken of all the kernel was given: it grows while the client reads,
    // even when the kernel's buffer stays too full for Qt to write more.
    qint64 takenByPeer() const;
    std::chrono::milliseconds pollInterval() const;
    void resume();

    Stream *m_stream;
    quint64 m_id;
    QString m_peer;
    const ServerConfig &m_config;
    // What sending to an idle client looks at, together.
    Queue m_queue;
    // Written to the socket and not yet gone from it; whether it was a plain message.
    bool m_inFlight = false;
    bool m_plainInFlight = false;
    bool m_framedOut = false;
    bool m_handshaking = false;
    int m_handshakeTimer = 0;
    // Closing once what is queued has gone.
    bool m_closeWhenSent = false;
    bool m_closing = false;
    // What this turn has sent the idle client, framed, to be written at the turn's end; whether
    // it is in the list of those.
    QList<QByteArray> m_blocks;
    QByteArray m_batch;
    bool m_listed = false;
    // Where the last message about someone in the batch starts, and what it tells: a change
    // that undoes it right behind it cancels it, as in the queue.
    struct Mark {
        qsizetype at = -1;
        Presence presence = Presence::None;
        QString about;
    };
    Mark m_last;
    // The announcements it hears, and its place among their readers.
    Announcements *m_announcements = nullptr;
    qsizetype m_place = -1;

    qint64 m_queuedBytes = 0;
    QHash<quint64, Waiting> m_waitingFrom;
    // For each nickname, the messages about it in the queue, oldest first; its state waiting,
    // which is none of those.
    QHash<QString, QList<Queue::iterator>> m_about;
    QHash<QString, Queue::iterator> m_states;
    // The senders told they pile up here, and not yet relieved.
    QSet<quint64> m_pilingUp;
    TimerQueue &m_pacer;
    // A plain message has gone and the gap after it has not passed.
    bool m_paced = false;
    Turn &m_turn;
    Events &m_events;
    // Runs while something waits for the client (a timer's id, or 0); the client last took
    // something then; what it had taken at the last look.
    int m_stallTimer = 0;
    QElapsedTimer m_lastProgress;
    qint64 m_taken = 0;
    const TlsContext *m_tls;
    bool m_encrypted = false;

    bool m_framedIn = false;
    bool m_loggedIn = false;
    wire::FrameReader m_frames;
    // Messages read and not yet handed on, each with the bytes of the stream it took.
    QQueue<std::pair<QByteArray, qint64>> m_inbox;
    int m_holds = 0;
    // Held since the allowances were last refilled: what the client sent meanwhile waited in
    // the kernel, and counts as sent over that time, not as a burst now.
    bool m_wasHeld = false;

    QElapsedTimer m_clock;
    qint64 m_lastRefillNs = 0;
    double m_byteAllowance;
    double m_messageAllowance;

    bool m_finished = false;
    QString m_reason;
};
