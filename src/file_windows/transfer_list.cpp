#include "file_windows/transfer_list.h"

#include "core/arrivals.h"
#include "core/client.h"
#include "file_windows/file_desk.h"
#include "file_windows/transfer_row.h"

#include <QVBoxLayout>

TransferList::TransferList(QWidget *parent) : QScrollArea(parent)
{
    auto *inside = new QWidget;
    m_rows = new QVBoxLayout(inside);
    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(0);
    m_rows->addStretch();
    setWidget(inside);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void TransferList::setDesk(FileDesk &desk, std::function<QString()> peer)
{
    m_desk = &desk;
    m_peer = std::move(peer);
    Transfers *transfers = &desk.core().transfers();
    connect(transfers, &Transfers::rowsInserted, this, &TransferList::sync);
    connect(transfers, &Transfers::modelReset, this, &TransferList::sync);
    const auto refresh = [this](const QString &id) {
        for (int i = 0; i < count(); ++i) {
            if (id.isEmpty() || row(i)->id() == id)
                row(i)->refresh();
        }
    };
    connect(transfers, &Transfers::dataChanged, this, [refresh] { refresh({}); });
    connect(&desk.core().arrivals(), &Arrivals::changed, this, refresh);
    sync();
}

int TransferList::count() const
{
    return m_rows->count() - 1;
}

TransferRow *TransferList::row(int index) const
{
    return static_cast<TransferRow *>(m_rows->itemAt(index)->widget());
}

void TransferList::sync()
{
    if (!m_desk)
        return;
    const Transfers &transfers = m_desk->core().transfers();
    const QString peer = m_peer ? m_peer() : QString();
    QList<std::pair<QString, Transfers::Direction>> wanted;
    for (int i = transfers.rowCount() - 1; i >= 0; --i) {
        const QModelIndex at = transfers.index(i);
        if (!m_peer || at.data(Transfers::PeerRole).toString() == peer)
            wanted.append({at.data(Transfers::IdRole).toString(),
                           Transfers::Direction(at.data(Transfers::DirectionRole).toInt())});
    }
    QList<std::pair<QString, Transfers::Direction>> shown;
    for (int i = 0; i < count(); ++i)
        shown.append({row(i)->id(), row(i)->direction()});
    if (shown == wanted)
        return;
    const int before = count();
    // New files come at the top; a correspondent changed shows every row anew.
    const qsizetype fresh = wanted.size() - shown.size();
    if (fresh <= 0 || wanted.mid(fresh) != shown) {
        while (count() > 0)
            delete row(0);
    }
    const qsizetype missing = wanted.size() - count();
    for (qsizetype i = 0; i < missing; ++i)
        m_rows->insertWidget(int(i), new TransferRow(*m_desk, wanted[i].first, wanted[i].second));
    if (count() != before)
        Q_EMIT countChanged(count());
}
