#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>

class FileDigest;
class QSslSocket;

// One transfer of a file's bytes, as the client's list of transfers drives it: started once,
// it tells its progress and ends once, with how it ended. Stopped, it says nothing more.
class Transfer : public QObject {
    Q_OBJECT

public:
    enum class Direction { Upload, Download };
    // Lost: the connection or the server failed, or the ticket was refused (REFUSED|file|text):
    // a new ticket may do. Damaged: the bytes downloaded are not the file announced. Failed:
    // nothing to try again (the file on this disk, another certificate).
    enum class End { Done, Lost, Refused, Damaged, Failed };

    struct Job {
        Direction direction = Direction::Upload;
        QString ticket;
        // Upload: the file sent. Download: the partial file, appended to from its size.
        QString path;
        qint64 size = 0;
        // Download: the SHA-256 announced, lowercase hexadecimal.
        QString sha256;
    };

    using QObject::QObject;
    virtual void start() = 0;
    virtual void stop() {}

Q_SIGNALS:
    // Bytes of the file on their way (upload: handed to the connection; download: written),
    // and those the server says are on its disk (download: the same).
    void progressed(qint64 done, qint64 stored);
    void ended(Transfer::End end, const QString &reason);
};

// A transfer connection (docs/PROTOCOL.md, "Files"): to the chat connection's host and port,
// the server's offer (`tls` and `files`), the ACCEPT|frame|tls marker and the server's, TLS
// with the very certificate the chat connection was checked against, then one framed
// UPLOAD|ticket or DOWNLOAD|ticket|offset. The server answers FROM|offset; an upload then
// sends the file's raw bytes from there and reads STORED|offset until STORED|size, a download
// appends the raw bytes to the partial file up to the size and checks its SHA-256. Whatever
// the server sends out of bounds (an offset past the size, a message too long, bytes past the
// size) ends the transfer with a reason; nothing is ever written past the size.
class TransferSocket : public Transfer {
    Q_OBJECT

public:
    // Bytes handed to the connection and not yet on the wire: enough to keep a fast link busy,
    // little enough that a pause or a cancel takes effect at once.
    static constexpr qint64 MostWaiting = 1024 * 1024;
    static constexpr qint64 Piece = 256 * 1024;
    // The server's messages here are a few dozen bytes.
    static constexpr qsizetype MaxMessage = 1024;
    // Nothing read nor written for so long: the server sends STORED at least every 4 MiB and
    // checks a whole file in seconds.
    static constexpr std::chrono::seconds StallLimit{60};

    // fingerprint: the certificate's SHA-256 as certificateFingerprint() writes it.
    TransferSocket(const QString &host, quint16 port, const QString &fingerprint, Job job,
                   QObject *parent = nullptr);
    ~TransferSocket() override;

    void start() override;
    void stop() override;

private:
    enum class Phase { Offer, Marker, Handshake, Answer, Bytes, Over };

    void socketFailed();
    void readAvailable();
    void encrypted();
    // The server's framed messages, and the raw bytes behind FROM for a download.
    void readMessages();
    void message(const QByteArray &bytes);
    void from(qint64 offset);
    void stored(qint64 offset);
    void pump();
    void receive(QByteArray bytes);
    void end(End end, const QString &reason);
    void request();

    QString m_host;
    quint16 m_port;
    QString m_fingerprint;
    Job m_job;
    QSslSocket *m_socket = nullptr;
    Phase m_phase = Phase::Offer;
    QByteArray m_read;
    QFile m_file;
    // Download: the digest of the partial file's bytes, then of every byte appended.
    std::unique_ptr<FileDigest> m_digest;
    qint64 m_offset = 0;
    qint64 m_done = 0;
    qint64 m_stored = 0;
    QTimer m_stall;
};
