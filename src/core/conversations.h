#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include "core/history_store.h"

#include <optional>
#include <vector>

class Uplink;
class Outbox;
class Session;
class Settings;

// The conversations as data: one private conversation per window, each in a slot of its own,
// and the room. Slots are handed out in order and never twice, so that no conversation is lost
// for lack of one; a closed conversation's slot holds nothing and matches no lookup.
//
// Every line and notice of a conversation passes through here; the windows show what the
// signals say.
class Conversations : public QObject {
    Q_OBJECT

public:
    // The slot that stands for the room in the signals; no lookup ever answers it.
    static constexpr int Room = -2;

    // Who opened a conversation: the user (from the list, a search), or a line that arrived.
    enum class Origin { User, Arrival };

    struct Private {
        // Whom the conversation is with (the window's recipient box), and as whom the user writes.
        QString correspondent;
        QString own;
        Origin origin = Origin::User;
        QString statusText;
        // After the first line sent or received, the correspondent cannot be changed.
        bool locked = false;
        // Lines from the correspondent since the user last looked at the conversation.
        int unread = 0;
        // Its window has not been closed.
        bool open = true;
        // Ids of lines from the correspondent not yet looked at.
        QStringList unseen = {};
    };

    static inline const QString NotSent = QStringLiteral("<No enviado: no hay conexión>");

    // Lines go out through the outbox on the uplink, as the session allows, and are kept in the
    // history as the settings say.
    Conversations(Uplink &uplink, Outbox &outbox, const Session &session, HistoryStore &history,
                  Settings &settings, QObject *parent = nullptr);

    // The slot the next new conversation takes.
    int NextPMSlot() const { return int(m_slots.size()); }
    // The conversation in a slot; nullptr for an empty or closed one.
    const Private *at(int slot) const;
    // A new conversation in the next slot; its window is made hidden.
    int open(const QString &correspondent, const QString &own, Origin origin);
    // Its window has closed: from now on the slot is empty.
    void close(int slot);
    // Brings the conversation's window on screen.
    void show(int slot) { Q_EMIT shown(slot); }

    // The first open conversation, in slot order, with this correspondent (and opened so, when
    // said); -1 for none.
    int findByCorrespondent(const QString &nickname,
                            std::optional<Origin> origin = std::nullopt) const;

    // The user changed the recipient in the window, before the first line.
    void setCorrespondent(int slot, const QString &nickname);
    void setStatusText(int slot, const QString &text);
    // A private line from the correspondent, to the own nickname; with its id and the time the
    // server took it where the server keeps lines.
    void lineArrived(int slot, const QString &sender, const QString &own, const QString &text,
                     const QString &ref = {}, const QDateTime &at = {});
    // The user's line: sent and shown, or, without a connection, a notice that it was not; the
    // line then stays with the user. Where the server keeps lines, it goes with an id and is
    // marked as it moves on.
    bool send(int slot, const QString &text);
    // The server's mark on the user's line with this id; a failure's text goes to its
    // conversation as a notice. false when the history holds no line of the user with this id.
    bool markOwn(const QString &ref, history::Mark mark, const QString &text);
    // A line with an id came from this writer: the server is told once the line is on disk
    // (`stored`), or at once for a line not stored at all (a blocked writer's).
    void acknowledge(const QString &from, const QString &ref, bool stored = true);
    // At a log-in with the nickname's key: the user's lines that no mark has reached yet go
    // again, with their ids, a few at a time (see sendNextAgain). A server that lost them
    // relays them; one that has them, and the recipient, drop them by id.
    void sendAgain();
    // The ref of a file's line: its id behind a prefix no line's id on the wire has, so that
    // it is never sent again as a line.
    static QString fileRef(const QString &id) { return QStringLiteral("file:") + id; }
    static bool isFileRef(const QString &ref) { return ref.startsWith(u"file:"); }
    // A file sent or offered, as a line of its conversation (opened for it, and told as a line
    // is, when it comes from the correspondent): its name and size, searchable like any line.
    // The user's own carries the file's id and is marked as the file moves on.
    void fileLine(const QString &peer, const QString &own, bool mine, const QString &text,
                  const QString &ref);
    // A line about the conversation rather than in it.
    void notice(int slot, const QString &text);
    // Someone else's line has been shown: counted unread, and told for the signs of new lines.
    void noteArrival(int slot, const QString &from, const QString &text);
    // Lines from others since the user last looked at the conversation (or the room).
    int unread(int slot) const;
    // The user is looking at it: where the user chose to tell, the lines with an id in it are
    // reported seen, once.
    void markRead(int slot);

    // Whether the room's window is shown: notices for every conversation go there too.
    bool isRoomShown() const { return m_roomShown; }
    void setRoomShown(bool shown) { m_roomShown = shown; }
    bool sendToRoom(const QString &text);
    void roomLine(const QString &writer, const QString &text);
    void roomNotice(const QString &text);

    // A notice in every open conversation, and in the room if its window is shown.
    void tellAll(const QString &text);
    // A notice of the administrator, for the history.
    void administratorNotice(const QString &text);

    // Whose history a slot's lines go to.
    history::Conversation historyOf(int slot) const;

Q_SIGNALS:
    void opened(int slot);
    void shown(int slot);
    // The recipient, caption, lock or status text changed.
    void changed(int slot);
    // A line of the conversation, kept in its history (the room's slot is Room).
    void lineAdded(int slot, const history::Line &line);
    // Someone else's line came: for the signs of new lines.
    void arrived(int slot, const QString &from, const QString &text);
    // The mark of the user's line with this id moved on.
    void markChanged(int slot, const QString &ref, history::Mark mark);
    // A refusal for the Error window: lines the disk did not take.
    void errorShown(const QString &text);

private:
    struct Acknowledgement {
        QString command;
        QString from;
        QString ref;
        bool stored = true;
    };

    Private *slot(int index);
    void add(int slot, history::Kind kind, const QString &writer, const QString &text,
             const QString &ref = {}, history::Mark mark = history::Mark::None,
             const QDateTime &at = {});
    void queue(const QString &command, const QString &from, const QString &ref,
               bool stored = true);
    // At the next turn of the event loop: the history on disk, then the server told.
    void sendAcknowledgements();
    void sendNextAgain();

    Uplink &m_uplink;
    Outbox &m_outbox;
    const Session &m_session;
    HistoryStore &m_history;
    Settings &m_settings;
    std::vector<Private> m_slots;
    int m_roomUnread = 0;
    bool m_roomShown = false;
    QList<Acknowledgement> m_acknowledgements;
    bool m_toldUnstored = false;
    // The user's lines still to go again, oldest first, and the pace they go at.
    QList<history::Hit> m_again;
    QTimer m_againTimer;
};
