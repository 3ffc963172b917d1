#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

class IdleSource;
class Uplink;
class Outbox;
class Session;
class Settings;

// Whether the user is at their desk, as the user chose it and as the others are shown it. The
// chosen state and text last for the run only: each run starts available, with no text. While
// the user has chosen to be available, a screen locked or the desktop left alone for the minutes
// the settings say shows them away, with the text they chose, until the next input or unlock; a
// state chosen by hand is never changed by itself.
//
// What the others are shown goes to the server on a framed connection while logged in: after
// each LOGIN (unless available with no text) and at each change.
class Availability : public QObject {
    Q_OBJECT

public:
    enum State { Available, Away, Busy };
    static constexpr std::chrono::seconds PollEvery{5};

    // Sends on the uplink through the outbox while the session is logged in; the minutes before
    // away come from the settings.
    Availability(Settings &settings, const Session &session, Uplink &uplink, Outbox &outbox,
                 QObject *parent = nullptr);

    // "Disponible", "Ausente", "Ocupado"; and the word of the wire, and back.
    static QString name(State state);
    static QString word(State state);
    static std::optional<State> fromWord(const QString &word);
    // "Ausente: text", "Ocupado", "Disponible: text"; nothing for available with no text.
    static QString describe(State state, const QString &text);

    State chosen() const { return m_chosen; }
    State shown() const { return m_chosen == Available && m_idle ? Away : m_chosen; }
    QString text() const { return m_text; }
    // The text is kept as the others will read it (the code page, the server's cleaning).
    void choose(State state, const QString &text);

    // Asked every few seconds for the idle time and the lock; none: never away by itself.
    void setIdleSource(IdleSource *source);
    // Sends the state after a LOGIN where the others would not otherwise know it.
    void loggedIn();

Q_SIGNALS:
    void chosenChanged(Availability::State state, const QString &text);
    void shownChanged(Availability::State state, const QString &text);

private:
    void sampled(std::chrono::milliseconds idle, bool locked);
    void changed(State wasShown, const QString &wasText);
    void send();

    Settings &m_settings;
    const Session &m_session;
    Uplink &m_uplink;
    Outbox &m_outbox;
    QPointer<IdleSource> m_source;
    QTimer m_poll;
    State m_chosen = Available;
    QString m_text;
    // Away by itself: the screen locked, or the desktop left alone.
    bool m_idle = false;
};
