#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

// Files handed to the running client from the command line (--send FILE… --to NICK): the first
// client of a user listens on a local socket of that user's; a later one passes its request
// there and ends, rather than log in a second time.
class HandOff : public QObject {
    Q_OBJECT

public:
    struct Request {
        // Whom to send to; empty: the user chooses.
        QString nickname;
        // Absolute paths.
        QStringList paths;
    };

    // A request is at most this long on the socket: a few thousand paths.
    static constexpr qint64 MostBytes = 1024 * 1024;

    // The socket's name: the user's alone, in the user's runtime folder.
    static QString socketName();
    // Hands the request to the client listening; false when none does.
    static bool pass(const Request &request, int timeoutMs = 2000);

    explicit HandOff(QObject *parent = nullptr);
    // Listens, unless another client of the user does; whether it does.
    bool listen();

Q_SIGNALS:
    void requested(const HandOff::Request &request);

private:
    QLocalServer m_server;
};

Q_DECLARE_METATYPE(HandOff::Request)
