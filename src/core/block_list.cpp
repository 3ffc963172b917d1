#include "core/block_list.h"

namespace {
const QString kLineEnd = QStringLiteral("\r\n");
} // namespace

BlockList::BlockList(QObject *parent) : QObject(parent) {}

QStringList BlockList::parse(const QString &text)
{
    QStringList entries = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &entry : entries) {
        if (entry.endsWith(QLatin1Char('\r')))
            entry.chop(1);
    }
    entries.removeAll(QString());
    return entries;
}

QString BlockList::textOf(const QStringList &entries)
{
    QString text;
    for (const QString &entry : entries)
        text += entry + kLineEnd;
    return text;
}

QString BlockList::entryOf(const QString &nickname)
{
    QString entry = nickname;
    for (QChar &c : entry) {
        switch (c.unicode()) {
        case u'\r':
        case u'\n':
        case QChar::LineSeparator:
        case QChar::ParagraphSeparator:
            c = QChar::ReplacementCharacter;
            break;
        default:
            break;
        }
    }
    return entry;
}

void BlockList::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    m_entries = parse(text);
    Q_EMIT changed();
}

bool BlockList::contains(const QString &nickname) const
{
    return !nickname.isEmpty() && m_entries.contains(entryOf(nickname));
}

void BlockList::add(const QString &nickname)
{
    if (nickname.isEmpty())
        return;
    QString text = m_text;
    // A last line the user typed without a line break stays an entry of its own.
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        text += kLineEnd;
    setText(text + entryOf(nickname) + kLineEnd);
}

void BlockList::remove(const QString &nickname)
{
    if (!contains(nickname))
        return;
    // The other lines stay as they were typed, empty ones too.
    QStringList lines = m_text.split(QLatin1Char('\n'));
    const QString entry = entryOf(nickname);
    lines.removeIf([&](const QString &line) {
        return line == entry || (line.endsWith(QLatin1Char('\r')) && line.chopped(1) == entry);
    });
    QString text = lines.join(QLatin1Char('\n'));
    // The last line gone, the line before it keeps no half of a line end.
    if (text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    setText(text);
}
