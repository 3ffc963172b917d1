#include "core/secret_store.h"

#include "protocol/wire.h"
#include "storage/whole_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStandardPaths>

#include <qt6keychain/keychain.h>

namespace {
const QString kService = QStringLiteral("korvex-mensajero");

QString addressOf(const QString &address)
{
    return address.trimmed().toLower();
}

// The whole file as it is now: another client on the same folder may have changed it. false
// when it is there but cannot be read: what it holds is not "no secrets", and must not be
// replaced.
bool readFile(const QString &path, QJsonObject &secrets)
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    secrets = document.object();
    return bytes.isEmpty() || (error.error == QJsonParseError::NoError && document.isObject());
}

// Why the secrets could not be written; empty when they were.
QString writeFile(const QString &path, const QJsonObject &secrets)
{
    QDir().mkpath(QFileInfo(QFileInfo(path).path()).path());
    QDir().mkdir(QFileInfo(path).path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return storage::writeWholeFile(path, QJsonDocument(secrets).toJson(), 0600);
}
} // namespace

SecretStore::Kind SecretStore::fromEnvironment()
{
    return qEnvironmentVariable("KORVEX_SECRETS") == QLatin1String("file") ? Kind::File
                                                                           : Kind::Keyring;
}

QString SecretStore::passwordKey(const QString &address, const QString &certificate)
{
    return QStringLiteral("contraseña del grupo en ") + addressOf(address)
        + (certificate.isEmpty() ? QStringLiteral(", sin cifrar")
                                 : QStringLiteral(", certificado ") + certificate);
}

QStringList SecretStore::claimKeys(const QString &certificate, const QString &nickname)
{
    const auto key = [&](const QString &form) -> QString {
        return QStringLiteral("clave del apodo ") + form + QStringLiteral(", certificado ")
            + certificate;
    };
    QStringList names{key(wire::nicknameForm(nickname)), key(nickname.toCaseFolded())};
    names.removeDuplicates();
    return names;
}

QStringList SecretStore::tokenKeys(const QString &address, const QString &nickname)
{
    const auto key = [&](const QString &form) -> QString {
        return QStringLiteral("reconexión de ") + form + QStringLiteral(" en ")
            + addressOf(address);
    };
    QStringList names{key(wire::nicknameForm(nickname)), key(nickname)};
    names.removeDuplicates();
    return names;
}

SecretStore::SecretStore(Kind kind, QObject *parent)
    : QObject(parent),
      m_kind(kind),
      m_path(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
             + QStringLiteral("/korvex-mensajero/secretos.json"))
{
}

SecretStore::~SecretStore()
{
    // The file gets what it is still to hold, and nobody is told any more: the program ends. A
    // keyring's jobs end with it.
    m_ending = true;
    if (m_kind == Kind::File) {
        QString why;
        for (const Request &request : std::as_const(m_queue)) {
            if (request.writes)
                applyToFile(request, why);
        }
    }
}

void SecretStore::read(const QString &key, QObject *context,
                       std::function<void(const QString &)> answer)
{
    read(key, context, [answer = std::move(answer)](const QString &value, bool) { answer(value); });
}

void SecretStore::read(const QString &key, QObject *context,
                       std::function<void(const QString &value, bool read)> answer)
{
    enqueue({key, QString(), false, true, context, std::move(answer)});
}

void SecretStore::read(const QStringList &names, QObject *context,
                       std::function<void(const QString &value, bool read)> answer)
{
    Request request{names.value(0), QString(), false, true, context, std::move(answer)};
    request.later = names.mid(1);
    request.first = request.key;
    enqueue(std::move(request));
}

void SecretStore::write(const QString &key, const QString &value, QObject *context,
                        std::function<void(bool kept)> done)
{
    Request request{key, value, true, context != nullptr, context, {}};
    if (done)
        request.answer = [done = std::move(done)](const QString &, bool ok) { done(ok); };
    enqueue(std::move(request));
}

void SecretStore::enqueue(Request request)
{
    m_queue.enqueue(std::move(request));
    serve();
}

void SecretStore::serve()
{
    if (m_serving || m_ending || m_queue.isEmpty())
        return;
    m_serving = true;
    if (m_kind == Kind::Keyring)
        serveFromKeyring();
    else
        QMetaObject::invokeMethod(this, &SecretStore::serveFromFile, Qt::QueuedConnection);
}

void SecretStore::serveFromKeyring()
{
    const Request &request = m_queue.head();
    QKeychain::Job *job = nullptr;
    if (!request.writes) {
        job = new QKeychain::ReadPasswordJob(kService, this);
    } else if (request.value.isEmpty()) {
        job = new QKeychain::DeletePasswordJob(kService, this);
    } else {
        auto *writing = new QKeychain::WritePasswordJob(kService, this);
        writing->setTextData(request.value);
        job = writing;
    }
    job->setAutoDelete(true);
    job->setKey(request.key);
    connect(job, &QKeychain::Job::finished, this, [this](QKeychain::Job *job) {
        switch (job->error()) {
        case QKeychain::NoError:
            if (auto *reading = qobject_cast<QKeychain::ReadPasswordJob *>(job))
                finish(reading->textData(), true);
            else
                finish(QString(), true);
            break;
        case QKeychain::EntryNotFound:
            finish(QString(), true);
            break;
        case QKeychain::NoBackendAvailable:
        case QKeychain::NotImplemented:
        case QKeychain::OtherError:
            // No keyring service runs: the file, from this request on.
            m_kind = Kind::File;
            serveFromFile();
            break;
        default:
            // Refused: nothing kept, nothing read; the user is asked instead.
            finish(QString(), false);
            break;
        }
    });
    job->start();
}

void SecretStore::serveFromFile()
{
    if (m_ending)
        return;
    const Request &request = m_queue.head();
    if (!request.writes) {
        QJsonObject secrets;
        const bool read = readFile(m_path, secrets);
        finish(secrets.value(request.key).toString(), read);
        return;
    }
    QString why;
    const bool ok = applyToFile(request, why);
    if (!why.isEmpty() && !std::exchange(m_told, true))
        Q_EMIT notKept(QStringLiteral("No se pudo guardar en ") + QDir::toNativeSeparators(m_path)
                       + QStringLiteral(" (") + why
                       + QStringLiteral("). Las claves y contraseñas que ya estaban guardadas "
                                        "siguen ahí, pero las nuevas no se han guardado."));
    finish(QString(), ok);
}

bool SecretStore::applyToFile(const Request &request, QString &why)
{
    QJsonObject secrets;
    if (!readFile(m_path, secrets))
        return false;
    if (request.value.isEmpty()) {
        if (!secrets.contains(request.key))
            return true;
        secrets.remove(request.key);
    } else {
        secrets.insert(request.key, request.value);
    }
    why = writeFile(m_path, secrets);
    return why.isEmpty();
}

void SecretStore::finish(const QString &value, bool ok)
{
    m_serving = false;
    if (Request &head = m_queue.head();
        !head.writes && ok && value.isEmpty() && !head.later.isEmpty()) {
        // Not there: perhaps under the name an earlier version gave it.
        head.key = head.later.takeFirst();
        return serve();
    }
    const Request request = m_queue.dequeue();
    // Found under an earlier name: under today's too, before anything asked after this read.
    // The earlier entry stays; a key is never lost.
    if (!value.isEmpty() && !request.first.isEmpty() && request.key != request.first)
        m_queue.prepend({request.first, value, true, false, nullptr, {}});
    if (request.answer && (!request.bound || request.context))
        request.answer(value, ok);
    serve();
}
