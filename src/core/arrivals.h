#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTemporaryDir>

#include "core/transfers.h"

class Settings;

// What becomes of the files offered to the user, beside the user's own answer. Files from the
// nicknames the user chose are saved at once to the download folder. A small picture is
// fetched at once into a private folder of this run, for a thumbnail, and waits there for the
// user: "Guardar" copies it into the download folder, "Rechazar" deletes it. Once the preview is
// fetched the server has been told GOTFILE, so its sender sees "entregado" whatever the user
// answers afterwards.
class Arrivals : public QObject {
    Q_OBJECT

public:
    // Pictures up to this size are fetched for a preview.
    static constexpr qint64 PreviewLimit = 8 << 20;

    // Previews go under `cache` (the user's cache folder), in a folder of this run only.
    Arrivals(Transfers &transfers, Settings &settings, const QString &cache,
             QObject *parent = nullptr);

    // A name of a picture the preview shows: PNG, JPEG, GIF, BMP or WebP, by extension and MIME.
    static bool isPicture(const QString &name);

    // Whether this received file was fetched for a preview, and the user has yet to answer.
    bool isPreview(const QString &id) const;
    bool awaitsAnswer(const Transfers::Row &row) const;
    // Saved where the user can have it (an answered preview's copy, or a file saved).
    bool isSaved(const Transfers::Row &row) const;
    QString savedPath(const Transfers::Row &row) const;
    // The row's state as a window shows it: a preview is waiting, saved or rejected.
    QString describe(const Transfers::Row &row) const;

    // "Guardar" and "Rechazar" on a received file, offered or fetched for its preview.
    bool save(const QString &id);
    bool reject(const QString &id);

Q_SIGNALS:
    // A file has arrived whole in the download folder without the user's hand on it now.
    void saved(const QString &peer, const QString &name, const QString &path);
    // What describe() or the answers say of the row changed.
    void changed(const QString &id);

private:
    enum class Preview { Fetching, Waiting, Kept, Dropped };
    struct Kept {
        Preview preview = Preview::Fetching;
        QString path, reason;
    };

    void consider(const Transfers::Row &row);

    Transfers &m_transfers;
    Settings &m_settings;
    QTemporaryDir m_previews;
    QHash<QString, Kept> m_kept;
    QSet<QString> m_told;
};
