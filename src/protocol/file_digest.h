#pragma once

#include <QCryptographicHash>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

// The SHA-256 of a file's first bytes, read one piece per turn of the event loop: a file of
// gigabytes is hashed while the windows go on answering (a piece costs a few milliseconds).
class FileDigest : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 Piece = 1024 * 1024;

    // The first `length` bytes of the file at `path`.
    FileDigest(const QString &path, qint64 length, QObject *parent = nullptr);

    void start() { m_timer.start(); }
    qint64 done() const { return m_done; }
    // What has been read so far; whole once finished, and it may go on with more bytes.
    QCryptographicHash &hash() { return m_hash; }
    // As the wire writes it: lowercase hexadecimal digits.
    QString hex() const { return QString::fromLatin1(m_hash.result().toHex()); }

Q_SIGNALS:
    void progressed(qint64 done);
    // ok: every byte asked for was read; otherwise the file could not be read, or is shorter.
    void finished(bool ok);

private:
    void step();

    QFile m_file;
    qint64 m_length;
    qint64 m_done = 0;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    QTimer m_timer;
};
