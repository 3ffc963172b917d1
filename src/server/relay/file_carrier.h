#pragma once

#include "server/net/stream.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class DiskQueue;
class FileStore;
struct evp_md_ctx_st;
class QFile;

// One transfer connection, once its ticket has named the file (docs/PROTOCOL.md, "Files"): the
// raw bytes of an upload, written to the store from what it already holds and acknowledged as
// they reach the disk; or those of a whole file, sent from where the client says it is. The
// stream is the transfer's from the chat protocol's connection on.
class FileCarrier : public QObject, private Stream::Events {
public:
    // The SHA-256 of an upload's bytes so far, kept between its transfer connections so that a
    // resumed upload is not read back from the disk. OpenSSL's, which uses the processor's SHA
    // instructions: 1.7 GB/s on our server's machine, against Qt's 214 MB/s.
    class Running {
    public:
        Running();
        ~Running();
        Running(const Running &) = delete;
        Running &operator=(const Running &) = delete;
        void reset();
        void add(QByteArrayView bytes);
        // The digest so far; adding may go on.
        QByteArray result() const;
        // How many bytes it covers.
        qint64 at = 0;

    private:
        evp_md_ctx_st *m_context;
    };
    struct Job {
        bool upload = false;
        QString id;
        qint64 size = 0;
        QByteArray digest;
        // Where a download starts.
        qint64 offset = 0;
    };
    // Told once as it ends: nothing wrong, or what was (for the log), and whether the upload
    // is whole and checked.
    using Ended = std::function<void(FileCarrier &, const QString &problem, bool whole)>;

    // What is received past this many bytes is acknowledged once on the disk.
    static constexpr qint64 AckEvery = 4 * 1024 * 1024;

    // Takes the stream over; the store and the disk's queue outlive it, and the running digest
    // is the queue's to touch. A transfer that moves nothing for `stall` (its client neither
    // sends nor reads) is closed. It begins on the next turn of its thread's loop, which may be
    // another's by then: moved before that, it lives there.
    FileCarrier(Stream *stream, QString peer, FileStore &store, DiskQueue &disk,
                std::shared_ptr<Running> running, Job job, std::chrono::milliseconds stall,
                Ended ended);
    ~FileCarrier() override;

    const Job &job() const { return m_job; }
    QString peer() const { return m_peer; }
    // What the server has received of the upload, or sent of the download.
    qint64 done() const { return m_done; }
    // Ends it now, refused with a reason in Spanish the client sees.
    void refuse(const QString &text, const QString &problem);
    // What it may move until told again; -1: no bound. Past it, it waits.
    void allow(qint64 bytes);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void streamReadable() override { receive(); }
    void streamProgressed() override { pump(); }
    void streamClosed(const QString &reason) override;

    void start();
    void receive();
    // Where an upload stands: from the disk, its digest so far made again when it differs.
    void standing();
    // Hands what was received to the disk, the last block (checked and made whole there) or not;
    // what follows once it is there, or failed there.
    void store(bool last);
    void stored(QByteArray &block, bool last, const QString &problem);
    // Syncs what is on the disk and tells the client so.
    void acknowledge();
    // Tells the end, once nothing of the upload waits for the disk.
    void tellEnd();
    void pump();
    void say(const QString &word, qint64 offset);
    // Closes once what is written has gone; the end is told then.
    void finish(const QString &problem, bool whole = false);

    Stream *m_stream;
    QString m_peer;
    FileStore &m_store;
    DiskQueue &m_disk;
    std::shared_ptr<Running> m_running;
    Job m_job;
    Ended m_ended;
    // A download's file; how far it was asked of the disk ahead.
    std::unique_ptr<QFile> m_file;
    qint64 m_asked = 0;
    QByteArray m_buffer;
    QByteArray m_spare;
    // Received (or sent); of an upload, on the disk (-1 until known, and once the disk
    // failed); where the last sync was asked.
    qint64 m_done = 0;
    qint64 m_onDisk = -1;
    // Handed to the disk so far.
    qint64 m_handed = 0;
    qint64 m_acked = 0;
    qint64 m_allowed = -1;
    // Moved at the last look for a stall.
    qint64 m_seen = -1;
    qint64 m_seenPending = -1;
    bool m_over = false;
    // An upload's standing is asked of the disk and not yet answered.
    bool m_asking = false;
    bool m_told = false;
    bool m_endTold = false;
    QString m_problem;
    bool m_whole = false;
};
