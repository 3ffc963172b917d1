#include "core/own_desks.h"

#include "core/outbox.h"
#include "protocol/wire.h"

bool OwnDesks::askCode()
{
    return m_outbox.askDeskCode();
}

bool OwnDesks::askList()
{
    return m_outbox.askDesks();
}

bool OwnDesks::drop(const QString &name)
{
    return m_outbox.dropDesk(name);
}

void OwnDesks::codeArrived(const wire::Message &message)
{
    Q_EMIT code(message.field(1), QDateTime::fromString(message.field(2), Qt::ISODate),
                message.field(3));
}

void OwnDesks::listArrived(const wire::Message &message)
{
    QList<Desk> desks;
    for (qsizetype field = 2; field < message.fieldCount(); field += 2)
        desks.append({message.field(field), QDateTime::fromString(message.field(field + 1), Qt::ISODate)});
    Q_EMIT listed(message.field(1), desks);
}
