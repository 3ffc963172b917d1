#include "file_windows/file_checks.h"

#include <QDateTime>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeData>
#include <QMimeDatabase>
#include <QUrl>

namespace files {

QImage thumbnail(const QString &path)
{
    QImageReader reader(path);
    reader.setAllocationLimit(DecodeMegabytes);
    // Only the header is read here.
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > MostSide || size.height() > MostSide
        || qint64(size.width()) * size.height() > MostPixels)
        return {};
    if (size.width() > ThumbnailSide || size.height() > ThumbnailSide)
        reader.setScaledSize(
            size.scaled(ThumbnailSide, ThumbnailSide, Qt::KeepAspectRatio).expandedTo({1, 1}));
    QImage image;
    return reader.read(&image) ? image : QImage();
}

bool isProgram(const QString &path)
{
    // Types of shared-mime-info: scripts (shell, Python, Perl, JavaScript...) and AppImages
    // are kinds of application/x-executable.
    static const QStringList programs = {
        QStringLiteral("application/x-executable"),
        QStringLiteral("application/x-sharedlib"),
        QStringLiteral("application/x-desktop"),
        QStringLiteral("application/x-ms-dos-executable"),
        QStringLiteral("application/x-msdownload"),
        QStringLiteral("application/vnd.microsoft.portable-executable"),
        QStringLiteral("application/x-msi"),
        QStringLiteral("application/x-ms-shortcut"),
        QStringLiteral("application/x-bat"),
        QStringLiteral("text/vbscript"),
        QStringLiteral("application/vnd.debian.binary-package"),
        QStringLiteral("application/x-rpm"),
        QStringLiteral("application/x-java-archive"),
        QStringLiteral("application/vnd.flatpak.ref"),
        QStringLiteral("application/vnd.snap"),
    };
    const QFileInfo info(path);
    if (info.isFile() && info.isExecutable())
        return true;
    const QMimeDatabase types;
    for (const QMimeType &type : {types.mimeTypeForFile(info),
                                  types.mimeTypeForFile(info.fileName(), QMimeDatabase::MatchExtension)}) {
        for (const QString &program : programs) {
            if (type.inherits(program))
                return true;
        }
    }
    return false;
}

QString screenshotName(const QDateTime &when)
{
    return QStringLiteral("captura ") + when.toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"))
        + QStringLiteral(".png");
}

QStringList localFiles(const QMimeData *data)
{
    QStringList paths;
    for (const QUrl &url : data ? data->urls() : QList<QUrl>()) {
        if (!url.isLocalFile() || !QFileInfo(url.toLocalFile()).isFile())
            return {};
        paths << url.toLocalFile();
    }
    return paths;
}

} // namespace files
