#include "server/relay/files.h"

#include "protocol/commands.h"
#include "server/relay/relay.h"

#include <QDir>
#include <QFile>
#include <QLocale>

#include <sys/statvfs.h>

namespace {

// A ticket is good this long after it was given.
constexpr qint64 kTicketMs = 5 * 60 * 1000;
// Bounds on bytes a second are shared out this often.
constexpr int kTicksPerSecond = 10;

bool isHex(const QString &text, qsizetype digits)
{
    return text.size() == digits && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

QString sizeText(qint64 bytes)
{
    return QLocale(QLocale::Spanish).formattedDataSize(bytes, 1);
}

// A name without folders, that hides nothing: what the sender's client should have sent.
bool isFileName(const QString &name)
{
    return !name.isEmpty() && name.size() <= wire::FileNameLength && name != u"." && name != u".."
        && std::none_of(name.cbegin(), name.cend(), [](QChar c) {
               return c == u'/' || c == u'\\' || c.category() == QChar::Other_Control;
           });
}

QString notSent(const QString &name, const QString &why)
{
    return QStringLiteral("El archivo %1 no se envió: %2").arg(name, why);
}

} // namespace

Files::Files(Relay &relay) : m_relay(relay)
{
    connect(&m_expiry, &QTimer::timeout, this, &Files::expire);
    connect(&m_share, &QTimer::timeout, this, &Files::share);
}

Files::~Files()
{
    if (!m_carriers.isRunning())
        return;
    // The transfers go on their thread, before the store they write to.
    QMetaObject::invokeMethod(m_disk.get(), [transfers = m_transfers.keys()] {
        qDeleteAll(transfers);
        QThread::currentThread()->quit();
    });
    m_carriers.wait();
}

bool Files::open()
{
    const QString folder = m_relay.config.stateFolder;
    m_store = std::make_unique<FileStore>(folder + QStringLiteral("/files"));
    QString problem = m_store->problem();
    if (problem.isEmpty())
        problem = m_index.open(folder);
    if (!problem.isEmpty()) {
        m_relay.log.write(ServerItself, QStringLiteral("files are not taken: ") + problem);
        m_store.reset();
        return false;
    }
    m_disk = std::make_unique<DiskQueue>();
    m_carriers.setObjectName(QStringLiteral("transfers"));
    m_disk->moveToThread(&m_carriers);
    m_carriers.start();
    QMetaObject::invokeMethod(m_disk.get(), &yieldToTheChat);
    expire();
    m_expiry.start(std::chrono::hours(1));
    if (m_relay.config.fileRate > 0 || m_relay.config.fileRatePerAddress > 0)
        m_share.start(1000 / kTicksPerSecond);
    return true;
}

QString Files::ticketFor(const QString &id, bool upload)
{
    const qint64 now = m_relay.now();
    m_tickets.removeIf([now](const auto &ticket) { return ticket.value().until < now; });
    const QString ticket = wire::randomHex(wire::TicketDigits);
    m_tickets.insert(ticket, {id, upload, now + kTicketMs});
    return ticket;
}

void Files::takeFiles(Guest &guest)
{
    if (!m_store || !guest.holder || guest.takesFiles)
        return;
    guest.takesFiles = true;
    const ServerConfig &c = m_relay.config;
    m_relay.send(guest, wire::buildMessage(
                            wire::Files,
                            {QString::number(c.maxFileSize), QString::number(c.filesFromOne),
                             QString::number(c.filesForOne), QString::number(c.filesInAll),
                             QString::number(c.fileRate), QString::number(c.fileRatePerAddress),
                             QString::number(c.fileDays)}));
    for (const FileIndex::Entry &entry : m_index.entries()) {
        if (entry.whole && entry.owner == guest.form)
            offer(guest, entry);
    }
}

QString Files::refusal(const Guest &from, const QString &to, const QString &name,
                       qint64 size) const
{
    const ServerConfig &c = m_relay.config;
    if (!isFileName(name))
        return notSent(QString(), QStringLiteral("su nombre no vale como nombre de archivo."));
    if (size < 1 || size > c.maxFileSize)
        return notSent(name, QStringLiteral("el servidor admite archivos de 1 byte a %1.")
                                 .arg(sizeText(c.maxFileSize)));
    const QString owner = wire::nicknameForm(to);
    const Guest *recipient = m_relay.onlineAs(owner);
    if (recipient && !recipient->takesFiles)
        return notSent(name, QStringLiteral("%1 usa un programa que no recibe archivos.").arg(to));
    if (!recipient && m_relay.store->owner(owner, {}) == KeptStore::Owner::Nobody)
        return notSent(name, QStringLiteral("%1 no está conectado.").arg(to));
    qint64 fromOne = size, forOne = size, inAll = size;
    for (const FileIndex::Entry &entry : m_index.entries()) {
        fromOne += entry.sender == from.form ? entry.size : 0;
        forOne += entry.owner == owner ? entry.size : 0;
        inAll += entry.size;
    }
    if (fromOne > c.filesFromOne)
        return notSent(name, QStringLiteral("ya tienes archivos esperando por %1, lo más que "
                                            "admite el servidor.")
                                 .arg(sizeText(c.filesFromOne)));
    if (forOne > c.filesForOne)
        return notSent(name, QStringLiteral("ya hay demasiados archivos esperando a %1.").arg(to));
    struct statvfs disk {};
    const bool room = ::statvfs(QFile::encodeName(m_relay.config.stateFolder).constData(), &disk)
            == 0
        && qint64(disk.f_bavail) * qint64(disk.f_frsize) > size;
    if (inAll > c.filesInAll || !room)
        return notSent(name, QStringLiteral("el servidor no tiene sitio para más archivos ahora."));
    return {};
}

void Files::sendFile(Guest &from, const wire::Message &message)
{
    const QString to = message.field(1);
    const QString id = message.field(2);
    const QString name = message.field(3);
    if (!m_store || !from.takesFiles || !isHex(id, wire::LineIdDigits))
        return;
    if (const FileIndex::Entry *known = m_index.find(id)) {
        // Sent again by a client that did not hear where it went: it hears it now.
        if (known->sender != from.form)
            return;
        if (known->whole)
            tell(*known, wire::MarkKept);
        else
            m_relay.send(from, wire::buildMessage(wire::Upload, {id, ticketFor(id, true)}));
        return;
    }
    bool ok = false;
    const qint64 size = message.field(4).toLongLong(&ok);
    const QString digest = message.field(5);
    QString refused = refusal(from, to, name, ok ? size : -1);
    if (refused.isEmpty() && !isHex(digest, wire::DigestDigits))
        refused = notSent(name, QStringLiteral("su SHA-256 no es válido."));
    FileIndex::Entry entry{id,       from.form, from.nickname, AddressLimits::key(from.address).toString(),
                           wire::nicknameForm(to), to, name, size, QByteArray::fromHex(digest.toLatin1()),
                           QDateTime::currentDateTimeUtc(), false};
    // The same bytes already here, whole: nothing needs to travel.
    entry.whole = refused.isEmpty() && m_store->size(entry.digest) == size;
    if (entry.whole)
        m_store->renew(entry.digest, entry.at);
    if (refused.isEmpty() && !m_index.add(entry))
        refused = notSent(name, QStringLiteral("el servidor no pudo apuntarlo."));
    if (!refused.isEmpty()) {
        m_relay.send(from, wire::buildMessage(wire::Mark, {id, wire::MarkFailed, refused}));
        return;
    }
    m_relay.log.write(from.connection->peer(),
                      QStringLiteral("file %1 of %2 bytes for %3").arg(id).arg(size).arg(to));
    if (entry.whole)
        whole(entry);
    else
        m_relay.send(from, wire::buildMessage(wire::Upload, {id, ticketFor(id, true)}));
}

void Files::whole(const FileIndex::Entry &entry)
{
    tell(entry, wire::MarkKept);
    if (Guest *to = m_relay.onlineAs(entry.owner); to && to->takesFiles)
        offer(*to, entry);
}

void Files::offer(Guest &to, const FileIndex::Entry &entry)
{
    m_relay.send(to, wire::buildMessage(wire::FileOffer,
                                        {entry.to, entry.from, entry.id, entry.name,
                                         QString::number(entry.size),
                                         QString::fromLatin1(entry.digest.toHex()),
                                         entry.at.toString(Qt::ISODate)}));
}

void Files::tell(const FileIndex::Entry &entry, const QString &state, const QString &text)
{
    Guest *sender = m_relay.onlineAs(entry.sender);
    if (sender && sender->holder) {
        m_relay.send(*sender, state == wire::MarkFailed
                                  ? wire::buildMessage(wire::Mark, {entry.id, state, text})
                                  : wire::buildMessage(wire::Mark, {entry.id, state}));
    } else if (m_relay.store && state != wire::MarkKept) {
        m_relay.store->report(entry.sender, {entry.id, state, text, true}, entry.address);
    }
}

void Files::getFile(Guest &guest, const QString &id)
{
    const FileIndex::Entry *entry = m_index.find(id);
    if (guest.takesFiles && entry && entry->whole && entry->owner == guest.form)
        m_relay.send(guest, wire::buildMessage(wire::Download, {id, ticketFor(id, false)}));
}

void Files::gotFile(Guest &guest, const QString &id)
{
    const FileIndex::Entry *found = m_index.find(id);
    if (!guest.takesFiles || !found || !found->whole || found->owner != guest.form)
        return;
    const FileIndex::Entry entry = *found;
    tell(entry, wire::MarkDelivered);
    forget(entry);
}

void Files::dropFile(Guest &guest, const QString &id)
{
    const FileIndex::Entry *found = m_index.find(id);
    if (!guest.takesFiles || !found)
        return;
    const FileIndex::Entry entry = *found;
    if (entry.owner == guest.form) {
        tell(entry, wire::MarkFailed,
             QStringLiteral("%1 rechazó el archivo %2.").arg(guest.nickname, entry.name));
    } else if (entry.sender == guest.form) {
        Guest *to = m_relay.onlineAs(entry.owner);
        if (to && to->takesFiles && entry.whole)
            m_relay.send(*to, wire::buildMessage(
                                  wire::Mark, {id, wire::MarkFailed,
                                               QStringLiteral("%1 canceló el envío del archivo %2.")
                                                   .arg(guest.nickname, entry.name)}));
    } else {
        return;
    }
    forget(entry);
}

void Files::forget(const FileIndex::Entry &entry)
{
    if (!m_index.remove(entry.id))
        return;
    QStringList gone{m_store->setAsideUpload(entry.id)};
    m_running.remove(entry.id);
    if (!m_index.uses(entry.digest))
        gone << m_store->setAside(entry.digest);
    discard(gone);
}

void Files::discard(const QStringList &paths)
{
    const auto named = [](const QString &path) { return !path.isEmpty(); };
    if (std::any_of(paths.cbegin(), paths.cend(), named))
        m_disk->run(m_disk.get(), [paths] { FileStore::discard(paths); }, {},
                    DiskQueue::Lane::Removals);
}

void Files::refuseTransfer(Guest &guest, const QString &text, const QString &why)
{
    m_relay.send(guest, wire::buildMessage(wire::Refused, {wire::RefusedFile, text}));
    guest.connection->closeAfterSending(QStringLiteral("transfer refused: ") + why);
}

void Files::transfer(Guest &guest, const wire::Message &message)
{
    const bool upload = message.command() == wire::Upload;
    const auto found = m_tickets.constFind(message.field(1));
    if (!m_store || found == m_tickets.cend() || found->upload != upload
        || found->until < m_relay.now() || !guest.connection->isEncrypted()) {
        refuseTransfer(guest, QStringLiteral("Ese permiso de transferencia no vale."),
                       QStringLiteral("a ticket not known"));
        return;
    }
    const Ticket ticket = *found;
    m_tickets.erase(found);
    const FileIndex::Entry *entry = m_index.find(ticket.id);
    if (!entry || entry->whole == upload) {
        refuseTransfer(guest, QStringLiteral("El archivo ya no está en el servidor."),
                       QStringLiteral("the file is gone"));
        return;
    }
    bool ok = upload;
    const qint64 offset = upload ? 0 : message.field(2).toLongLong(&ok);
    if (!ok || offset < 0 || offset > entry->size) {
        refuseTransfer(guest, QStringLiteral("El archivo no tiene esa posición."),
                       QStringLiteral("an offset past the end"));
        return;
    }
    Stream *stream = guest.connection->handOver(QStringLiteral("handed to a transfer"));
    if (!stream) {
        refuseTransfer(guest, QStringLiteral("Sobran datos tras el permiso de transferencia."),
                       QStringLiteral("data after the ticket"));
        return;
    }
    guest.handedOver = true;
    // Carried from the next turn on: this message may come from within the stream's own
    // notifier, which must not change threads under it. Until then the stream is ours.
    stream->setParent(this);
    QMetaObject::invokeMethod(
        this,
        [this, stream, peer = guest.connection->peer(), address = AddressLimits::key(guest.address),
         job = FileCarrier::Job{upload, ticket.id, entry->size, entry->digest, offset}] {
            carry(stream, peer, address, job);
        },
        Qt::QueuedConnection);
}

void Files::carry(Stream *stream, const QString &peer, const QHostAddress &address,
                  const FileCarrier::Job &job)
{
    // A client back after a break its old connection has not noticed yet: the old one goes.
    // Its refusal is on the thread's queue before the new transfer begins there.
    for (FileCarrier *other : m_transfers.keys()) {
        if (other->job().upload && other->job().id == job.id) {
            QMetaObject::invokeMethod(other, [other] {
                other->refuse(QStringLiteral("Otra conexión sigue con esta subida."),
                              QStringLiteral("replaced by a newer connection"));
            });
        }
    }
    std::shared_ptr<FileCarrier::Running> &running = m_running[job.id];
    if (!running)
        running = std::make_shared<FileCarrier::Running>();
    m_relay.log.write(peer, (job.upload ? QStringLiteral("upload of ")
                                        : QStringLiteral("download of ")) + job.id);
    stream->setParent(nullptr);
    auto *transfer = new FileCarrier(
        stream, peer, *m_store, *m_disk, running, job, m_relay.config.stallTimeout,
        [this](FileCarrier &t, const QString &problem, bool isWhole) {
            QMetaObject::invokeMethod(this, [this, &t, problem, isWhole, done = t.done()] {
                ended(t, problem, isWhole, done);
            });
        });
    transfer->moveToThread(&m_carriers);
    m_transfers.insert(transfer, address);
    if (m_share.isActive())
        share();
}

void Files::share()
{
    QHash<QHostAddress, QList<FileCarrier *>> byAddress;
    for (auto it = m_transfers.cbegin(); it != m_transfers.cend(); ++it)
        byAddress[it.value()].append(it.key());
    const qint64 each = m_relay.config.fileRate / kTicksPerSecond;
    const qint64 ofAddress = m_relay.config.fileRatePerAddress / kTicksPerSecond;
    for (const QList<FileCarrier *> &transfers : std::as_const(byAddress)) {
        qint64 allowed = ofAddress > 0 ? std::max<qint64>(1, ofAddress / transfers.size()) : -1;
        if (each > 0)
            allowed = allowed < 0 ? each : std::min(allowed, each);
        for (FileCarrier *transfer : transfers)
            QMetaObject::invokeMethod(transfer, [transfer, allowed] { transfer->allow(allowed); });
    }
}

void Files::ended(FileCarrier &transfer, const QString &problem, bool isWhole, qint64 done)
{
    m_relay.limits.gone(m_transfers.take(&transfer), false);
    // Copied first: once asked to go, it goes on its own thread.
    const FileCarrier::Job job = transfer.job();
    const QString peer = transfer.peer();
    transfer.deleteLater();
    m_relay.log.write(peer,
                      (job.upload ? QStringLiteral("upload of ") : QStringLiteral("download of "))
                          + job.id + QStringLiteral(" ended: ")
                          + (problem.isEmpty() ? QStringLiteral("%1 bytes").arg(done)
                                               : problem));
    if (!isWhole)
        return;
    m_running.remove(job.id);
    const FileIndex::Entry *entry = m_index.find(job.id);
    if (!entry) {
        // Dropped while its last block was on its way to the disk: whole now, and nobody's.
        if (!m_index.uses(job.digest))
            discard({m_store->setAside(job.digest)});
        return;
    }
    // Told whole already, by another connection of the same upload: once is enough.
    if (entry->whole)
        return;
    if (m_index.setWhole(job.id)) {
        whole(*entry);
        return;
    }
    const FileIndex::Entry lost = *entry;
    tell(lost, wire::MarkFailed,
         notSent(lost.name, QStringLiteral("el servidor no pudo apuntarlo.")));
    forget(lost);
}

void Files::expire()
{
    const QDateTime before =
        QDateTime::currentDateTimeUtc().addDays(-m_relay.config.fileDays);
    const QList<FileIndex::Entry> entries = m_index.entries();
    for (const FileIndex::Entry &entry : entries) {
        if (entry.at >= before)
            continue;
        tell(entry, wire::MarkFailed,
             QStringLiteral("El archivo %1 para %2 no se entregó: nadie lo recogió en %3 días.")
                 .arg(entry.name, entry.to)
                 .arg(m_relay.config.fileDays));
        forget(entry);
    }
    m_disk->run(m_disk.get(), [store = m_store.get(), before] { store->expire(before); }, {},
                DiskQueue::Lane::Removals);
}

QStringList Files::waiting() const
{
    QStringList lines;
    for (const FileIndex::Entry &entry : m_index.entries()) {
        lines << QStringLiteral("%1 from %2 to %3: \"%4\", %5 bytes%6, since %7")
                     .arg(entry.id, entry.from, entry.to, entry.name)
                     .arg(entry.size)
                     .arg(entry.whole ? QString() : QStringLiteral(" (being uploaded)"),
                          entry.at.toString(Qt::ISODate));
    }
    return lines;
}

int Files::release(const QString &form)
{
    int dropped = 0;
    const QList<FileIndex::Entry> entries = m_index.entries();
    for (const FileIndex::Entry &entry : entries) {
        if (entry.owner != form && entry.sender != form)
            continue;
        if (entry.sender != form)
            tell(entry, wire::MarkFailed,
                 QStringLiteral("El archivo %1 para %2 no se entregó: %2 ya no tiene el apodo "
                                "reservado.")
                     .arg(entry.name, entry.to));
        forget(entry);
        ++dropped;
    }
    return dropped;
}
