#include "settings.h"

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
    m_settings = std::make_unique<QSettings>(m_folder + QStringLiteral("/ajustes.ini"),
                                             QSettings::IniFormat);
    check(m_settings->status() == QSettings::NoError);
    QFile list(m_folder + QStringLiteral("/bloqueados.txt"));
    if (list.exists()) {
        check(list.open(QIODevice::ReadOnly));
        m_blockList = QString::fromUtf8(list.readAll());
    }
}

Settings::~Settings()
{
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
    m_settings->setValue(kAddress, address);
    m_settings->sync();
    check(m_settings->status() == QSettings::NoError);
}

bool Settings::notifications() const
{
    return m_settings->value(kNotifications, true).toBool();
}

void Settings::setNotifications(bool shown)
{
    m_settings->setValue(kNotifications, shown);
    m_settings->sync();
    check(m_settings->status() == QSettings::NoError);
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
