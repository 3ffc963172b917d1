#include "file_windows/transfer_row.h"

#include "core/arrivals.h"
#include "core/client.h"
#include "file_windows/file_desk.h"
#include "layouts/placement.h"
#include "ui_transfer_row.h"

#include <QLocale>
#include <QStyle>

namespace {

QString dataSize(qint64 bytes)
{
    return QLocale(QLocale::Spanish).formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

// "5 s", "3 min", "2 h 5 min"
QString duration(qint64 seconds)
{
    if (seconds < 60)
        return QString::number(seconds) + QStringLiteral(" s");
    const qint64 minutes = (seconds + 59) / 60;
    if (minutes < 60)
        return QString::number(minutes) + QStringLiteral(" min");
    return QString::number(minutes / 60) + QStringLiteral(" h ") + QString::number(minutes % 60)
        + QStringLiteral(" min");
}

} // namespace

TransferRow::TransferRow(FileDesk &desk, const QString &id, Transfers::Direction direction,
                         QWidget *parent)
    : QWidget(parent), m_ui(new Ui::TransferRow), m_desk(desk), m_id(id), m_direction(direction)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setFixedSize(size());
    // The name and the reasons come from the sender and the server.
    for (QLabel *label : findChildren<QLabel *>())
        label->setTextFormat(Qt::PlainText);
    Transfers &transfers = m_desk.core().transfers();
    Arrivals &arrivals = m_desk.core().arrivals();
    connect(m_ui->cmdSave, &QPushButton::clicked, this, [this, &arrivals] { arrivals.save(m_id); });
    connect(m_ui->cmdReject, &QPushButton::clicked, this, [this, &arrivals] { arrivals.reject(m_id); });
    connect(m_ui->cmdPause, &QPushButton::clicked, this, [this, &transfers] {
        if (!transfers.pause(m_id))
            transfers.resume(m_id);
    });
    connect(m_ui->cmdCancel, &QPushButton::clicked, this, [this, &transfers] { transfers.cancel(m_id); });
    connect(m_ui->cmdOpen, &QPushButton::clicked, this, [this, &arrivals] {
        if (const Transfers::Row *shown = row())
            m_desk.open(window(), arrivals.savedPath(*shown));
    });
    connect(m_ui->cmdShow, &QPushButton::clicked, this, [this, &arrivals] {
        if (const Transfers::Row *shown = row())
            m_desk.showFolder(arrivals.savedPath(*shown));
    });
    refresh();
}

TransferRow::~TransferRow()
{
    delete m_ui;
}

const Transfers::Row *TransferRow::row() const
{
    return m_desk.core().transfers().find(m_id, m_direction);
}

void TransferRow::refresh()
{
    const Transfers::Row *shown = row();
    if (!shown)
        return;
    const Transfers::Row &file = *shown;
    const Transfers &transfers = m_desk.core().transfers();
    const Arrivals &arrivals = m_desk.core().arrivals();
    using State = Transfers::State;
    const bool sending = file.direction == Transfers::Direction::Sending;

    m_ui->lblName->setText(m_ui->lblName->fontMetrics().elidedText(file.name, Qt::ElideMiddle,
                                                                   m_ui->lblName->width()));
    m_ui->lblName->setToolTip(Qt::convertFromPlainText(file.name));
    m_ui->lblDetails->setText(dataSize(file.size) + QStringLiteral(" · ")
                              + (sending ? QStringLiteral("tú, para ") : QStringLiteral("de "))
                              + file.peer);
    const qint64 done = file.state == State::Sending ? file.stored : file.done;
    m_ui->barDone->setRange(0, 1000);
    m_ui->barDone->setValue(file.size > 0 ? int(std::min(done, file.size) * 1000 / file.size) : 0);
    const QString state = arrivals.describe(file);
    m_ui->lblState->setText(state);
    m_ui->lblState->setToolTip(Qt::convertFromPlainText(state));
    const qint64 speed = transfers.speed(file);
    const qint64 left = transfers.secondsLeft(file);
    m_ui->lblPace->setText(speed <= 0 ? QString()
                                      : dataSize(speed) + QStringLiteral("/s")
                               + (left < 0 ? QString() : QStringLiteral(", quedan ") + duration(left)));

    const bool answer = arrivals.awaitsAnswer(file);
    const bool moving = !answer
        && (file.state == State::Preparing || file.state == State::Sending
            || file.state == State::Receiving || file.state == State::Paused);
    const bool saved = arrivals.isSaved(file);
    m_ui->cmdSave->setVisible(answer);
    m_ui->cmdReject->setVisible(answer);
    m_ui->cmdPause->setVisible(moving);
    m_ui->cmdPause->setEnabled(file.state != State::Preparing);
    m_ui->cmdPause->setText(file.state == State::Paused ? QStringLiteral("Reanudar")
                                                        : QStringLiteral("Pausar"));
    m_ui->cmdCancel->setVisible(moving);
    m_ui->cmdOpen->setVisible(saved);
    m_ui->cmdShow->setVisible(saved);
    showPicture(file);
}

void TransferRow::showPicture(const Transfers::Row &file)
{
    if (m_pictured)
        return;
    const Arrivals &arrivals = m_desk.core().arrivals();
    QString path;
    if (Arrivals::isPicture(file.name) && file.size <= Arrivals::PreviewLimit) {
        if (file.direction == Transfers::Direction::Sending)
            path = file.path;
        else if (arrivals.isSaved(file))
            path = arrivals.savedPath(file);
        else if (arrivals.awaitsAnswer(file) && file.state == Transfers::State::Saved)
            path = file.path;
    }
    const QImage picture = path.isEmpty() ? QImage() : m_desk.thumbnail(m_id, path);
    m_pictured = !picture.isNull();
    m_ui->picPreview->setPixmap(m_pictured ? QPixmap::fromImage(picture)
                                           : style()->standardIcon(QStyle::SP_FileIcon).pixmap(32, 32));
}
