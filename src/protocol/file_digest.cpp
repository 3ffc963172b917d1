#include "protocol/file_digest.h"

FileDigest::FileDigest(const QString &path, qint64 length, QObject *parent)
    : QObject(parent), m_file(path), m_length(length)
{
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &FileDigest::step);
}

void FileDigest::step()
{
    if (m_done == m_length) {
        m_timer.stop();
        Q_EMIT finished(true);
        return;
    }
    const QByteArray piece = m_file.isOpen() || m_file.open(QIODevice::ReadOnly)
        ? m_file.read(std::min(Piece, m_length - m_done))
        : QByteArray();
    if (piece.isEmpty()) {
        m_timer.stop();
        Q_EMIT finished(false);
        return;
    }
    m_hash.addData(piece);
    m_done += piece.size();
    Q_EMIT progressed(m_done);
}
