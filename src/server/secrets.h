#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <variant>

// The server's TLS identity: a private key and a self-signed certificate, kept in its state
// folder. Clients trust the certificate on first use and remember it, so it must outlive
// restarts and upgrades: it is made once, on the first start, and never replaced silently.
struct TlsIdentity {
    QSslKey key;
    QSslCertificate certificate;
    // What the session tickets are sealed with (80 random bytes, the server's alone): kept, so
    // that a client resumes its session after a restart of the server too.
    QByteArray ticketKey;
};

// Loads the identity from the folder, making it (and the folder) first if neither file is
// there, and the ticket key if it is not. The key files are readable by the server's user alone.
// On failure, why.
std::variant<TlsIdentity, QString> loadIdentity(const QString &folder);

// Why the state folder, its key or its certificate is no safe place for the identity, or empty:
// each must be writable by the server's user alone (or another could put their own key or
// certificate in), and the key readable by it alone. What is not there yet is made safe.
QString unsafeStateFolder(const QString &folder);

// The group's password: the file's first line. A file that others may read, or an empty one,
// is an error: the password would not be the group's secret.
std::variant<QByteArray, QString> readPasswordFile(const QString &path);

// Whether the text is that many lowercase hexadecimal digits, as keys and ids are written.
bool isHex(const QString &text, qsizetype digits);

// Whether two secrets are equal, in a time that says nothing about where they differ or how
// long either is.
bool sameSecret(QByteArrayView a, QByteArrayView b);
