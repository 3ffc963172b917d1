#include "core/arrivals.h"

#include "core/download_names.h"
#include "core/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>

namespace {

const QString kReceived = QStringLiteral("recibido");

// A folder of this run's own under the cache folder, made readable by the user alone.
QString previewsTemplate(const QString &cache)
{
    QDir().mkpath(cache);
    return cache + QStringLiteral("/vistas-XXXXXX");
}

} // namespace

Arrivals::Arrivals(Transfers &transfers, Settings &settings, const QString &cache, QObject *parent)
    : QObject(parent), m_transfers(transfers), m_settings(settings),
      m_previews(previewsTemplate(cache))
{
    const auto each = [this](int first, int last) {
        for (int i = first; i <= last; ++i) {
            const QModelIndex at = m_transfers.index(i);
            if (const Transfers::Row *row = m_transfers.find(
                    at.data(Transfers::IdRole).toString(),
                    Transfers::Direction(at.data(Transfers::DirectionRole).toInt())))
                consider(*row);
        }
    };
    connect(&m_transfers, &Transfers::rowsInserted, this,
            [each](const QModelIndex &, int first, int last) { each(first, last); });
    connect(&m_transfers, &Transfers::dataChanged, this,
            [each](const QModelIndex &from, const QModelIndex &to) { each(from.row(), to.row()); });
}

bool Arrivals::isPicture(const QString &name)
{
    static const QStringList kinds = {QStringLiteral("image/png"), QStringLiteral("image/jpeg"),
                                      QStringLiteral("image/gif"), QStringLiteral("image/bmp"),
                                      QStringLiteral("image/webp")};
    static const QStringList endings = {QStringLiteral("png"), QStringLiteral("jpg"),
                                        QStringLiteral("jpeg"), QStringLiteral("gif"),
                                        QStringLiteral("bmp"), QStringLiteral("webp")};
    const QString kind = QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension).name();
    return endings.contains(QFileInfo(name).suffix().toLower()) && kinds.contains(kind);
}

void Arrivals::consider(const Transfers::Row &row)
{
    if (row.direction != Transfers::Direction::Receiving)
        return;
    auto kept = m_kept.find(row.id);
    if (row.state == Transfers::State::Saved && !m_told.contains(row.id)) {
        m_told.insert(row.id);
        if (kept == m_kept.end())
            Q_EMIT saved(row.peer, row.name, row.path);
        else if (kept->preview == Preview::Fetching)
            kept->preview = Preview::Waiting;
        return Q_EMIT changed(row.id);
    }
    // Offered, or offered again after a fetch that failed.
    if (row.state != Transfers::State::Offered)
        return;
    if (m_settings.autoAccepted().contains(row.peer)) {
        m_kept.remove(row.id);
        m_transfers.accept(row.id, m_settings.downloadFolder());
    } else if (row.size <= PreviewLimit && isPicture(row.name) && m_previews.isValid()) {
        m_kept[row.id] = {};
        m_transfers.accept(row.id, m_previews.filePath(row.id));
    }
}

bool Arrivals::isPreview(const QString &id) const
{
    return m_kept.contains(id);
}

bool Arrivals::awaitsAnswer(const Transfers::Row &row) const
{
    if (row.direction != Transfers::Direction::Receiving)
        return false;
    const auto kept = m_kept.constFind(row.id);
    return kept == m_kept.cend() ? row.state == Transfers::State::Offered
                                 : kept->preview == Preview::Waiting;
}

bool Arrivals::isSaved(const Transfers::Row &row) const
{
    return !savedPath(row).isEmpty();
}

QString Arrivals::savedPath(const Transfers::Row &row) const
{
    if (row.direction != Transfers::Direction::Receiving)
        return {};
    const auto kept = m_kept.constFind(row.id);
    if (kept != m_kept.cend())
        return kept->preview == Preview::Kept ? kept->path : QString();
    return row.state == Transfers::State::Saved ? row.path : QString();
}

QString Arrivals::describe(const Transfers::Row &row) const
{
    const auto kept = m_kept.constFind(row.id);
    if (row.direction == Transfers::Direction::Sending || kept == m_kept.cend()
        || kept->preview == Preview::Fetching)
        return Transfers::describe(row);
    if (!kept->reason.isEmpty())
        return QStringLiteral("no guardado: ") + kept->reason;
    return kept->preview == Preview::Kept    ? kReceived
        : kept->preview == Preview::Dropped ? QStringLiteral("rechazado")
                                            : QStringLiteral("esperando tu respuesta");
}

bool Arrivals::save(const QString &id)
{
    const Transfers::Row *row = m_transfers.find(id, Transfers::Direction::Receiving);
    if (!row || !awaitsAnswer(*row))
        return false;
    if (row->state == Transfers::State::Offered)
        return m_transfers.accept(id, m_settings.downloadFolder());
    // The fetched preview, copied: QFile::copy never replaces a file, and the name is free.
    Kept &kept = m_kept[id];
    const QString folder = m_settings.downloadFolder();
    const QString name = downloads::freeName(downloads::safeName(row->name), [&](const QString &name) {
        return QFileInfo::exists(folder + u'/' + name);
    });
    const bool copied = QDir().mkpath(folder) && QFile::copy(row->path, folder + u'/' + name);
    kept.reason = copied ? QString() : QStringLiteral("no se pudo guardar en la carpeta elegida");
    if (copied) {
        kept.preview = Preview::Kept;
        kept.path = folder + u'/' + name;
        QFile::remove(row->path);
    }
    Q_EMIT changed(id);
    return copied;
}

bool Arrivals::reject(const QString &id)
{
    const Transfers::Row *row = m_transfers.find(id, Transfers::Direction::Receiving);
    if (!row || !awaitsAnswer(*row))
        return false;
    if (row->state == Transfers::State::Offered)
        return m_transfers.reject(id);
    QFile::remove(row->path);
    QDir(m_previews.filePath(id)).removeRecursively();
    m_kept[id].preview = Preview::Dropped;
    Q_EMIT changed(id);
    return true;
}
