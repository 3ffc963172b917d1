#include "server/secrets.h"

#include "storage/whole_file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <functional>
#include <memory>

#include <sys/stat.h>

namespace {

const QString kKeyFile = QStringLiteral("/tls-key.pem");
const QString kCertificateFile = QStringLiteral("/tls-certificate.pem");
const QString kTicketKeyFile = QStringLiteral("/tls-tickets.key");
// A name, a key to sign and a key to seal, as OpenSSL takes them.
constexpr qsizetype kTicketKeyBytes = 80;

template <typename T, void (*Free)(T *)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

QByteArray pem(const std::function<int(BIO *)> &write)
{
    const Owned<BIO, BIO_free_all> bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1)
        return {};
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, qsizetype(size));
}

// An EC P-256 key and a certificate for it, signed by itself, valid for thirty years: the
// client pins it, so its dates do not matter, and it must not expire under a running group.
std::pair<QByteArray, QByteArray> makeIdentity()
{
    const Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_EC_gen("P-256"));
    const Owned<X509, X509_free> certificate(X509_new());
    const Owned<BIGNUM, BN_free> serial(BN_new());
    if (!key || !certificate || !serial || BN_rand(serial.get(), 64, BN_RAND_TOP_ANY,
                                                   BN_RAND_BOTTOM_ANY) != 1)
        return {};
    const QByteArray host = QHostInfo::localHostName().toUtf8().left(60);
    const QByteArray name = "korvex-server " + (host.isEmpty() ? QByteArray("localhost") : host);
    X509_NAME *subject = X509_get_subject_name(certificate.get());
    const bool made =
        X509_set_version(certificate.get(), 2) == 1
        && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get()))
        && X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600)
        && X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 365 * 24 * 3600)
        && X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char *>(name.constData()),
                                      int(name.size()), -1, 0) == 1
        && X509_set_issuer_name(certificate.get(), subject) == 1
        && X509_set_pubkey(certificate.get(), key.get()) == 1
        && X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
    if (!made)
        return {};
    return {pem([&](BIO *bio) {
                return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr,
                                                nullptr);
            }),
            pem([&](BIO *bio) { return PEM_write_bio_X509(bio, certificate.get()); })};
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Why the file or folder is not the server's alone as the mask says, or empty when it is, or is
// not there.
QString unsafe(const QString &path, mode_t forbidden, const char *what)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || (info.st_mode & forbidden) == 0)
        return {};
    return path + QStringLiteral(" may be ") + QLatin1String(what)
        + QStringLiteral(" by others; make it the server's alone (chmod ")
        + (S_ISDIR(info.st_mode) ? QStringLiteral("700") : QStringLiteral("600"))
        + QStringLiteral(")");
}

} // namespace

QString unsafeStateFolder(const QString &folder)
{
    QString why = unsafe(folder, S_IWGRP | S_IWOTH, "written");
    if (why.isEmpty())
        why = unsafe(folder + kKeyFile, S_IRWXG | S_IRWXO, "read or written");
    if (why.isEmpty())
        why = unsafe(folder + kCertificateFile, S_IWGRP | S_IWOTH, "written");
    if (why.isEmpty())
        why = unsafe(folder + kTicketKeyFile, S_IRWXG | S_IRWXO, "read or written");
    return why;
}

std::variant<TlsIdentity, QString> loadIdentity(const QString &folder)
{
    const QString keyPath = folder + kKeyFile;
    const QString certificatePath = folder + kCertificateFile;
    if (const QString why = unsafeStateFolder(folder); !why.isEmpty())
        return why;
    const bool keyThere = QFile::exists(keyPath);
    if (keyThere != QFile::exists(certificatePath))
        return QStringLiteral("only one of ") + keyPath + QStringLiteral(" and ")
            + certificatePath + QStringLiteral(" exists; restore the other or remove both");
    if (!keyThere) {
        const auto [key, certificate] = makeIdentity();
        if (key.isEmpty() || certificate.isEmpty())
            return QStringLiteral("cannot make a TLS key and certificate");
        // The folder is the server's alone whatever the umask.
        const bool made = !QFileInfo::exists(folder) && QDir().mkpath(folder)
            && ::chmod(QFile::encodeName(folder).constData(), 0700) == 0;
        // Each whole or not at all, so that a full disk or a crash leaves no key cut short; and
        // both or neither, so that the next start makes them anew. Nobody has seen them yet.
        QString why = !made && !QFileInfo(folder).isDir()
            ? QStringLiteral("not a folder")
            : storage::writeWholeFile(keyPath, key, 0600);
        if (why.isEmpty())
            why = storage::writeWholeFile(certificatePath, certificate, 0644);
        if (!why.isEmpty()) {
            QFile::remove(keyPath);
            QFile::remove(certificatePath);
            return QStringLiteral("cannot write the TLS key and certificate in ") + folder
                + QStringLiteral(": ") + why;
        }
    }
    // Made apart: a folder from before tickets has a key and a certificate, and no ticket key.
    const QString ticketPath = folder + kTicketKeyFile;
    QByteArray ticketKey(kTicketKeyBytes, '\0');
    if (!QFile::exists(ticketPath)) {
        const QString why =
            RAND_bytes(reinterpret_cast<unsigned char *>(ticketKey.data()), int(kTicketKeyBytes))
                == 1
            ? storage::writeWholeFile(ticketPath, ticketKey, 0600)
            : QStringLiteral("no random bytes");
        if (!why.isEmpty())
            return QStringLiteral("cannot write the TLS ticket key in ") + folder
                + QStringLiteral(": ") + why;
    }
    TlsIdentity identity{QSslKey(readAll(keyPath), QSsl::Ec),
                         QSslCertificate(readAll(certificatePath)), readAll(ticketPath)};
    if (identity.key.isNull() || identity.certificate.isNull())
        return QStringLiteral("cannot read the TLS key and certificate in ") + folder;
    if (identity.ticketKey.size() != kTicketKeyBytes)
        return QStringLiteral("cannot read the TLS ticket key ") + ticketPath;
    return identity;
}

std::variant<QByteArray, QString> readPasswordFile(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("cannot read the password file ") + path;
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return QStringLiteral("the password file ") + path
            + QStringLiteral(" may be read by others; make it the server's alone (chmod 600)");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the password file ") + path;
    QByteArray password = file.readLine(4096);
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    if (password.isEmpty())
        return QStringLiteral("the password file ") + path
            + QStringLiteral(" is empty: its first line is the password");
    return password;
}

bool isHex(const QString &text, qsizetype digits)
{
    return text.size() == digits && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

bool sameSecret(QByteArrayView a, QByteArrayView b)
{
    // Digests have one length whatever the secrets', and are compared without an early end.
    const QByteArray left = QCryptographicHash::hash(a, QCryptographicHash::Sha256);
    const QByteArray right = QCryptographicHash::hash(b, QCryptographicHash::Sha256);
    return CRYPTO_memcmp(left.constData(), right.constData(), size_t(left.size())) == 0;
}
