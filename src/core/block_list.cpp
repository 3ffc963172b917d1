#include "core/block_list.h"

#include <QStringList>

namespace block_list {
namespace {

const QString kLineEnd = QStringLiteral("\r\n");

QStringList linesOf(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    return lines;
}

} // namespace

QString entryOf(const QString &nickname)
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

bool contains(const QString &listText, const QString &nickname)
{
    return !nickname.isEmpty() && linesOf(listText).contains(entryOf(nickname));
}

QString added(const QString &listText, const QString &entry)
{
    QString text = listText;
    // A last line the user typed without a line break stays an entry of its own.
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        text += kLineEnd;
    return text + entryOf(entry) + kLineEnd;
}

QString removed(const QString &listText, const QString &nickname)
{
    if (nickname.isEmpty())
        return listText;
    QStringList lines = linesOf(listText);
    const bool endedWithBreak = listText.endsWith(QLatin1Char('\n'));
    if (endedWithBreak)
        lines.removeLast();
    lines.removeAll(entryOf(nickname));
    if (lines.isEmpty())
        return QString();
    return lines.join(kLineEnd) + (endedWithBreak ? kLineEnd : QString());
}

} // namespace block_list
