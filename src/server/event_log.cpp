#include "server/event_log.h"

#include <QDateTime>
#include <QHostAddress>
#include <QTextStream>

void EventLog::write(const QString &where, const QString &what)
{
    // With an explicit offset the time says which zone it is in.
    const QDateTime now = QDateTime::currentDateTime();
    const QString time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
    m_out << time << ' ' << where << ' ' << what << '\n';
    m_out.flush();
}

QString quoted(QStringView text)
{
    // A log line stays a line: a longer text is quoted up to here, then counted.
    constexpr qsizetype kLongest = 64;
    QString result;
    result.reserve(std::min(text.size(), kLongest) + 24);
    result += QLatin1Char('"');
    for (const QChar c : text.left(kLongest)) {
        // Escaped, a quote inside cannot pass for the end of the field.
        if (c == u'"' || c == u'\\')
            result += QLatin1Char('\\');
        result += (c.category() == QChar::Other_Control || c == QChar::LineSeparator
                   || c == QChar::ParagraphSeparator)
            ? QLatin1Char('?')
            : c;
    }
    result += QLatin1Char('"');
    if (text.size() > kLongest)
        result += QStringLiteral("... (%1 characters)").arg(text.size());
    return result;
}

QString endpoint(const QHostAddress &address, quint16 port)
{
    const QString number = QString::number(port);
    if (address == QHostAddress(QHostAddress::Any))
        return QStringLiteral("*:") + number;
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString() + QLatin1Char(':') + number;
    return QLatin1Char('[') + address.toString() + QStringLiteral("]:") + number;
}
