#include "core/transfers.h"

#include "core/download_names.h"
#include "core/outbox.h"
#include "protocol/file_digest.h"
#include "protocol/wire.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QStandardPaths>

#include <algorithm>
#include <memory>

namespace {

const QString kNoFiles = QStringLiteral("este servidor no lleva archivos");

QString dataSize(qint64 bytes)
{
    return QLocale(QLocale::Spanish).formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

bool active(Transfers::State state)
{
    return state == Transfers::State::Sending || state == Transfers::State::Receiving;
}

} // namespace

Transfers::Transfers(Outbox &outbox, Opener opener, Clock clock, QObject *parent)
    : QAbstractListModel(parent), m_outbox(outbox), m_opener(std::move(opener)),
      m_clock(std::move(clock))
{
    if (!m_clock) {
        auto timer = std::make_shared<QElapsedTimer>();
        timer->start();
        m_clock = [timer] { return timer->elapsed(); };
    }
}

Transfers::~Transfers() = default;

int Transfers::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant Transfers::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Row &row = m_rows[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return describe(row);
    case DirectionRole:
        return int(row.direction);
    case PeerRole:
        return row.peer;
    case IdRole:
        return row.id;
    case NameRole:
        return row.name;
    case SizeRole:
        return row.size;
    case DigestRole:
        return row.sha256;
    case StateRole:
        return int(row.state);
    case DoneRole:
        return row.done;
    case PathRole:
        return row.path;
    case SpeedRole:
        return speed(row);
    case SecondsLeftRole:
        return secondsLeft(row);
    default:
        return {};
    }
}

QString Transfers::describe(const Row &row)
{
    const auto percent = [&](qint64 bytes) -> QString {
        return QString::number(row.size > 0 ? bytes * 100 / row.size : 0) + u'%';
    };
    switch (row.state) {
    case State::Preparing:
        return QStringLiteral("preparando… ") + percent(row.done);
    case State::Sending:
        return QStringLiteral("enviando… ") + percent(row.stored);
    case State::Kept:
        return QStringLiteral("guardado");
    case State::Delivered:
        return QStringLiteral("entregado");
    case State::Offered:
        return QStringLiteral("esperando tu respuesta");
    case State::Receiving:
        return QStringLiteral("recibiendo… ") + percent(row.done);
    case State::Saved:
        return QStringLiteral("recibido");
    case State::Rejected:
        return QStringLiteral("rechazado");
    case State::Paused:
        return QStringLiteral("en pausa");
    case State::Cancelled:
        return QStringLiteral("cancelado");
    case State::Failed:
        break;
    }
    return (row.direction == Direction::Sending ? QStringLiteral("no entregado: ")
                                                : QStringLiteral("no recibido: "))
        + row.reason;
}

qint64 Transfers::speed(const Row &row) const
{
    const auto &samples = m_work[std::size_t(&row - m_rows.data())].samples;
    if (!active(row.state) || samples.isEmpty())
        return 0;
    // From the oldest sample of the window to now: a transfer that stalls slows down.
    const qint64 now = m_clock();
    const auto first = std::find_if(samples.begin(), samples.end(),
                                    [&](const auto &sample) { return sample.first >= now - SpeedWindow; });
    if (first == samples.end() || now <= first->first)
        return 0;
    return (samples.back().second - first->second) * 1000 / (now - first->first);
}

qint64 Transfers::secondsLeft(const Row &row) const
{
    const qint64 pace = speed(row);
    return pace > 0 ? (row.size - row.done + pace - 1) / pace : -1;
}

Transfers::Row *Transfers::row(const QString &id, const std::function<bool(const Row &)> &applies)
{
    const auto found = std::find_if(m_rows.begin(), m_rows.end(),
                                    [&](const Row &row) { return row.id == id && applies(row); });
    return found == m_rows.end() ? nullptr : &*found;
}

Transfers::Row *Transfers::row(const QString &id, Direction direction)
{
    return row(id, [direction](const Row &row) { return row.direction == direction; });
}

const Transfers::Row *Transfers::find(const QString &id, Direction direction) const
{
    return const_cast<Transfers *>(this)->row(id, direction);
}

void Transfers::changed(const Row &row)
{
    const QModelIndex at = index(int(&row - m_rows.data()));
    Q_EMIT dataChanged(at, at);
}

void Transfers::add(Row row)
{
    beginInsertRows({}, rowCount(), rowCount());
    m_rows.push_back(std::move(row));
    m_work.emplace_back();
    endInsertRows();
}

QString Transfers::tooLarge(qint64 size) const
{
    if (m_limits.largest <= 0 || size <= m_limits.largest)
        return {};
    return QStringLiteral("el archivo ocupa ") + dataSize(size)
        + QStringLiteral(" y el servidor admite hasta ") + dataSize(m_limits.largest);
}

QString Transfers::partialPath(const Row &row) const
{
    return m_work[std::size_t(&row - m_rows.data())].folder + QStringLiteral("/.korvex-") + row.id
        + QStringLiteral(".part");
}

QStringList Transfers::send(const QString &peer, const QStringList &paths)
{
    QStringList ids;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        Row made{.direction = Direction::Sending, .peer = peer,
                 .id = wire::randomHex(wire::LineIdDigits),
                 .name = downloads::safeName(info.fileName()), .size = info.size()};
        made.path = info.absoluteFilePath();
        if (!info.isFile() || !info.isReadable())
            made.reason = QStringLiteral("no se puede leer el archivo");
        else if (made.size == 0)
            made.reason = QStringLiteral("el archivo está vacío");
        else if (m_files == Files::No)
            made.reason = kNoFiles;
        else
            made.reason = tooLarge(made.size);
        made.state = made.reason.isEmpty() ? State::Preparing : State::Failed;
        ids << made.id;
        add(made);
    }
    hashNext();
    return ids;
}

void Transfers::hashNext()
{
    // One file at a time: each hashes a piece per turn of the event loop, and several together
    // would take as many pieces per turn.
    if (std::any_of(m_work.begin(), m_work.end(), [](const Work &work) { return work.digest; }))
        return;
    const auto next = std::find_if(m_rows.begin(), m_rows.end(),
                                   [](const Row &row) { return row.state == State::Preparing; });
    if (next == m_rows.end())
        return;
    auto *digest = new FileDigest(next->path, next->size, this);
    work(*next).digest = digest;
    connect(digest, &FileDigest::progressed, this, [this, id = next->id](qint64 done) {
        Row *hashing = row(id, Direction::Sending);
        hashing->done = done;
        changed(*hashing);
    });
    connect(digest, &FileDigest::finished, this, [this, id = next->id](bool ok) { hashed(id, ok); });
    digest->start();
}

void Transfers::hashed(const QString &id, bool ok)
{
    Row &sent = *row(id, Direction::Sending);
    FileDigest *digest = std::exchange(work(sent).digest, nullptr);
    digest->deleteLater();
    hashNext();
    if (!ok)
        return fail(sent, QStringLiteral("no se puede leer el archivo"));
    sent.sha256 = digest->hex();
    sent.done = 0;
    sent.state = State::Sending;
    changed(sent);
    request(sent);
}

void Transfers::request(Row &row)
{
    Work &work = this->work(row);
    if (m_files != Files::Ready || work.asked || work.transfer)
        return;
    if (row.state == State::Sending) {
        if (const QString why = tooLarge(row.size); !why.isEmpty())
            return fail(row, why);
        work.asked = m_outbox.sendFile(row.peer, row.id, row.name, row.size, row.sha256);
    } else if (row.state == State::Receiving) {
        work.asked = m_outbox.aboutFile(wire::GetFile, row.id);
    }
}

void Transfers::open(Row &row, const QString &ticket)
{
    Work &work = this->work(row);
    work.asked = false;
    if (!active(row.state) || work.transfer)
        return;
    const bool sending = row.direction == Direction::Sending;
    Transfer *transfer = m_opener({sending ? Transfer::Direction::Upload : Transfer::Direction::Download,
                                   ticket, sending ? row.path : partialPath(row), row.size,
                                   row.sha256});
    if (!transfer)
        return;
    transfer->setParent(this);
    work.transfer = transfer;
    work.startedAt = row.done;
    work.samples.clear();
    connect(transfer, &Transfer::progressed, this,
            [this, id = row.id, direction = row.direction](qint64 done, qint64 stored) {
                progressed(id, direction, done, stored);
            });
    connect(transfer, &Transfer::ended, this,
            [this, id = row.id, direction = row.direction](Transfer::End end, const QString &reason) {
                ended(id, direction, end, reason);
            });
    transfer->start();
}

void Transfers::progressed(const QString &id, Direction direction, qint64 done, qint64 stored)
{
    Row &moving = *row(id, direction);
    moving.done = done;
    moving.stored = stored;
    auto &samples = work(moving).samples;
    const qint64 now = m_clock();
    samples.append({now, done});
    while (samples.size() > 2 && samples.front().first < now - SpeedWindow)
        samples.removeFirst();
    changed(moving);
}

void Transfers::ended(const QString &id, Direction direction, Transfer::End end,
                      const QString &reason)
{
    Row &row = *this->row(id, direction);
    Work &work = this->work(row);
    std::exchange(work.transfer, nullptr)->deleteLater();
    switch (end) {
    case Transfer::End::Done:
        if (direction == Direction::Receiving)
            return save(row);
        row.done = row.stored = row.size;
        return changed(row);
    case Transfer::End::Damaged:
    case Transfer::End::Failed:
        return fail(row, reason);
    case Transfer::End::Lost:
    case Transfer::End::Refused:
        // A cut that moved nothing is a strike; one that moved bytes starts the count again.
        work.strikes = row.done > work.startedAt ? 0 : work.strikes + 1;
        if (work.strikes >= MostStrikes)
            return fail(row, reason);
        return request(row);
    }
}

void Transfers::save(Row &row)
{
    const QString folder = work(row).folder;
    const QString name = downloads::freeName(downloads::safeName(row.name), [&](const QString &name) {
        return QFileInfo::exists(folder + u'/' + name);
    });
    // A rename never replaces a file: one that appeared meanwhile fails it.
    if (!QFile::rename(partialPath(row), folder + u'/' + name))
        return fail(row, QStringLiteral("no se pudo guardar en la carpeta elegida"));
    row.path = folder + u'/' + name;
    row.done = row.size;
    row.state = State::Saved;
    changed(row);
    tell(row, wire::GotFile);
}

void Transfers::halt(Row &row)
{
    Work &work = this->work(row);
    work.asked = false;
    if (Transfer *transfer = std::exchange(work.transfer, nullptr)) {
        transfer->disconnect(this);
        transfer->stop();
        transfer->deleteLater();
    }
    if (FileDigest *digest = std::exchange(work.digest, nullptr)) {
        digest->disconnect(this);
        digest->deleteLater();
        // Once this row has left Preparing.
        QMetaObject::invokeMethod(this, &Transfers::hashNext, Qt::QueuedConnection);
    }
}

void Transfers::fail(Row &row, const QString &reason)
{
    halt(row);
    // What a download left is never shown, nor kept.
    if (row.direction == Direction::Receiving && !work(row).folder.isEmpty())
        QFile::remove(partialPath(row));
    row.state = State::Failed;
    row.reason = reason;
    changed(row);
}

void Transfers::tell(Row &row, const QString &command)
{
    const bool told = m_files == Files::Ready && m_outbox.aboutFile(command, row.id);
    work(row).owed = told ? QString() : command;
}

bool Transfers::accept(const QString &id, const QString &folder)
{
    Row *offered = row(id, [](const Row &row) { return row.state == State::Offered; });
    const QString chosen =
        folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) : folder;
    if (!offered || chosen.isEmpty() || !QDir().mkpath(chosen))
        return false;
    Work &work = this->work(*offered);
    work.folder = QDir(chosen).absolutePath();
    work.strikes = 0;
    offered->done = std::min(QFileInfo(partialPath(*offered)).size(), offered->size);
    offered->state = State::Receiving;
    changed(*offered);
    request(*offered);
    return true;
}

bool Transfers::reject(const QString &id)
{
    Row *offered = row(id, [](const Row &row) { return row.state == State::Offered; });
    if (!offered)
        return false;
    offered->state = State::Rejected;
    changed(*offered);
    tell(*offered, wire::DropFile);
    return true;
}

bool Transfers::pause(const QString &id)
{
    Row *moving = row(id, [](const Row &row) { return active(row.state); });
    if (!moving)
        return false;
    halt(*moving);
    moving->state = State::Paused;
    changed(*moving);
    return true;
}

bool Transfers::resume(const QString &id)
{
    Row *paused = row(id, [](const Row &row) { return row.state == State::Paused; });
    if (!paused)
        return false;
    paused->state = paused->direction == Direction::Sending ? State::Sending : State::Receiving;
    work(*paused).strikes = 0;
    changed(*paused);
    request(*paused);
    return true;
}

bool Transfers::cancel(const QString &id)
{
    Row *going = row(id, [](const Row &row) {
        return active(row.state) || row.state == State::Paused || row.state == State::Preparing;
    });
    if (!going)
        return reject(id);
    const bool offered = going->state != State::Preparing;
    fail(*going, {});
    going->state = State::Cancelled;
    changed(*going);
    if (offered)
        tell(*going, wire::DropFile);
    return true;
}

void Transfers::loggedIn(bool files)
{
    m_files = files ? Files::Waiting : Files::No;
    if (files) {
        m_outbox.takeFiles();
        return;
    }
    for (Row &row : m_rows) {
        if (active(row.state) || row.state == State::Preparing)
            fail(row, kNoFiles);
    }
}

void Transfers::loggedOut()
{
    m_files = Files::Unknown;
    for (Work &work : m_work)
        work.asked = false;
}

void Transfers::limitsArrived(const wire::Message &message)
{
    if (m_files != Files::Waiting && m_files != Files::Ready)
        return;
    qint64 *const fields[] = {&m_limits.largest, &m_limits.sender,  &m_limits.recipient,
                              &m_limits.total,   &m_limits.connection, &m_limits.address,
                              &m_limits.days};
    for (int i = 0; i < 7; ++i)
        *fields[i] = wire::byteCount(message.field(i + 1)).value_or(0);
    m_files = Files::Ready;
    for (Row &row : m_rows) {
        if (const QString owed = work(row).owed; !owed.isEmpty())
            tell(row, owed);
        request(row);
    }
}

void Transfers::uploadTicket(const wire::Message &message)
{
    Row *sent = row(message.field(1), Direction::Sending);
    if (sent && wire::isHex(message.field(2), wire::TicketDigits))
        open(*sent, message.field(2));
}

void Transfers::downloadTicket(const wire::Message &message)
{
    Row *fetched = row(message.field(1), Direction::Receiving);
    if (fetched && wire::isHex(message.field(2), wire::TicketDigits))
        open(*fetched, message.field(2));
}

void Transfers::fileOffered(const wire::Message &message, const QString &own)
{
    const QString id = message.field(3);
    const QString name = message.field(4);
    const std::optional<qint64> size = wire::byteCount(message.field(5));
    const QString sha256 = message.field(6);
    if (message.field(1) != own || !wire::isHex(id, wire::LineIdDigits) || name.isEmpty()
        || name.size() > wire::FileNameLength || size.value_or(0) < 1
        || !wire::isHex(sha256, wire::DigestDigits))
        return;
    // Offered again at a log-in: the server did not hear the answer, or the download failed.
    if (Row *known = row(id, Direction::Receiving)) {
        if (known->state == State::Saved)
            tell(*known, wire::GotFile);
        else if (known->state == State::Rejected || known->state == State::Cancelled)
            tell(*known, wire::DropFile);
        if (known->state == State::Failed) {
            known->state = State::Offered;
            known->done = 0;
            changed(*known);
        }
        return;
    }
    add({.direction = Direction::Receiving, .peer = message.field(2), .id = id, .name = name,
         .size = *size, .sha256 = sha256, .state = State::Offered});
}

bool Transfers::marked(const wire::Message &message)
{
    const QString word = message.field(2);
    bool known = false;
    for (Row &row : m_rows) {
        if (row.id != message.field(1))
            continue;
        known = true;
        const bool over = row.state == State::Failed || row.state == State::Cancelled
            || row.state == State::Rejected || row.state == State::Saved;
        const bool sending = row.direction == Direction::Sending;
        if (word == wire::MarkFailed && !over && row.state != State::Delivered) {
            fail(row, message.field(3));
        } else if (sending && word == wire::MarkDelivered && row.state != State::Failed) {
            halt(row);
            row.state = State::Delivered;
            changed(row);
        } else if (sending && word == wire::MarkKept
                   && (active(row.state) || row.state == State::Paused)) {
            halt(row);
            row.stored = row.size;
            row.state = State::Kept;
            changed(row);
        }
    }
    return known;
}
