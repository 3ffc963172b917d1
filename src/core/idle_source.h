#pragma once

#include <QObject>
#include <QString>

#include <chrono>

// Where the client learns how long the user has left the keyboard alone and whether the screen
// is locked: the desktop's own services, or a fake in tests. A source answers each sample()
// with sampled(), at once or later; it may also report a change of the lock by itself.
class IdleSource : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // What it reads, for the log and the options ("" when it can read nothing here).
    virtual QString name() const = 0;
    // Asks for the idle time and the lock; the answer comes as sampled(). A source that cannot
    // tell (the service gone) answers nothing.
    virtual void sample() = 0;

Q_SIGNALS:
    // The time since the user's last input anywhere on the desktop, and whether the screen is
    // locked now.
    void sampled(std::chrono::milliseconds idle, bool locked);
};
