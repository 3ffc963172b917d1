#include "core/settings.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
const QString kNickname = QStringLiteral("login/nickname");
const QString kAddress = QStringLiteral("login/address");
const QString kNotifications = QStringLiteral("notices/desktop");
} // namespace

Settings::Settings(Report report, QObject *parent)
    : QObject(parent),
      m_report(std::move(report)),
      m_folder(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
               + QStringLiteral("/korvex-mensajero"))
{
    // The file may come to hold a password: it is the user's alone before anything is in it.
    const QString path = m_folder + QStringLiteral("/ajustes.ini");
    if (QFile file(path); QDir().mkpath(m_folder) && !file.exists())
        file.open(QIODevice::WriteOnly, QFile::ReadOwner | QFile::WriteOwner);
    else
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    m_settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    check(m_settings->status() == QSettings::NoError);
    QFile list(m_folder + QStringLiteral("/bloqueados.txt"));
    if (list.exists()) {
        check(list.open(QIODevice::ReadOnly));
        m_blockList = QString::fromUtf8(list.readAll());
    }
}

Settings::~Settings()
{
    // Whoever is told of failures may have gone already: the last write is made quietly.
    m_reported = true;
    if (m_writePending)
        writeBlockList();
}

QString Settings::nickname() const
{
    return m_settings->value(kNickname).toString();
}

QString Settings::address() const
{
    return m_settings->value(kAddress).toString();
}

void Settings::setLastLogIn(const QString &nickname, const QString &address)
{
    m_settings->setValue(kNickname, nickname);
    write(kAddress, address);
}

namespace {
QString serverKey(const QString &address, const QString &what)
{
    return QStringLiteral("servers/") + address.trimmed().toLower() + u'/' + what;
}
} // namespace

QString Settings::certificate(const QString &address) const
{
    return m_settings->value(serverKey(address, QStringLiteral("certificate"))).toString();
}

void Settings::setCertificate(const QString &address, const QString &fingerprint)
{
    write(serverKey(address, QStringLiteral("certificate")), fingerprint);
}

QString Settings::password(const QString &address) const
{
    return m_settings->value(serverKey(address, QStringLiteral("password"))).toString();
}

void Settings::setPassword(const QString &address, const QString &password)
{
    write(serverKey(address, QStringLiteral("password")), password);
}

void Settings::write(const QString &key, const QVariant &value)
{
    if (value.toString().isEmpty())
        m_settings->remove(key);
    else
        m_settings->setValue(key, value);
    m_settings->sync();
    check(m_settings->status() == QSettings::NoError);
}

bool Settings::notifications() const
{
    return m_settings->value(kNotifications, true).toBool();
}

void Settings::setNotifications(bool shown)
{
    write(kNotifications, shown);
}

void Settings::setBlockList(const QString &text)
{
    if (text == m_blockList)
        return;
    m_blockList = text;
    // Many changes in one go (a paste, a block with its mark) make one write.
    if (!std::exchange(m_writePending, true))
        QMetaObject::invokeMethod(this, &Settings::writeBlockList, Qt::QueuedConnection);
}

void Settings::writeBlockList()
{
    m_writePending = false;
    QSaveFile file(m_folder + QStringLiteral("/bloqueados.txt"));
    check(QDir().mkpath(m_folder) && file.open(QIODevice::WriteOnly)
          && file.write(m_blockList.toUtf8()) == m_blockList.toUtf8().size() && file.commit());
}

void Settings::check(bool ok)
{
    if (!ok && !std::exchange(m_reported, true))
        m_report(QStringLiteral("No se pudo leer o guardar la configuración en ") + m_folder
                 + QStringLiteral(". El programa sigue con lo que tiene."));
}
