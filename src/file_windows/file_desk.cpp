#include "file_windows/file_desk.h"

#include "core/client.h"
#include "core/download_names.h"
#include "file_windows/file_checks.h"
#include "layouts/plain_text.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

FileDesk::FileDesk(Client &core, QObject *parent)
    : QObject(parent), m_core(core),
      m_choose([](QWidget *parent) {
          return QFileDialog::getOpenFileNames(parent, QStringLiteral("Enviar archivos"));
      }),
      m_open([](const QUrl &url) { QDesktopServices::openUrl(url); })
{
}

void FileDesk::chooseAndSend(QWidget *parent, const QString &peer)
{
    const QStringList paths = m_choose(parent);
    if (!paths.isEmpty() && !peer.isEmpty())
        m_core.transfers().send(peer, paths);
}

bool FileDesk::sendPicture(const QString &peer, const QImage &picture)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
        + QStringLiteral("/korvex-mensajero/capturas");
    const QString name = downloads::freeName(
        files::screenshotName(QDateTime::currentDateTime()),
        [&](const QString &name) { return QFileInfo::exists(folder + u'/' + name); });
    // Kept until the run ends at least: the upload reads it, and goes on after a cut.
    if (picture.isNull() || !QDir().mkpath(folder) || !picture.save(folder + u'/' + name, "PNG"))
        return false;
    m_core.transfers().send(peer, {folder + u'/' + name});
    return true;
}

void FileDesk::open(QWidget *parent, const QString &path)
{
    if (files::isProgram(path)
        && !plain::ask(parent, QStringLiteral("Abrir"),
                       QStringLiteral("«") + QFileInfo(path).fileName()
                           + QStringLiteral("» es un programa. ¿Abrirlo de todos modos?"),
                       QStringLiteral("Sí"), QStringLiteral("No")))
        return;
    m_open(QUrl::fromLocalFile(path));
}

void FileDesk::showFolder(const QString &path)
{
    m_open(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

QImage FileDesk::thumbnail(const QString &id, const QString &path)
{
    auto found = m_thumbnails.find(id);
    if (found == m_thumbnails.end())
        found = m_thumbnails.insert(id, files::thumbnail(path));
    return *found;
}
