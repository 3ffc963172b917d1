#include "core/download_names.h"

#include <QList>

namespace downloads {
namespace {

// Extensions longer than this are part of the name, not kept whole when it is cut.
constexpr qsizetype kMostExtension = 16;

bool unwanted(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// Where the extension starts (its dot), or the size when it has none that counts.
qsizetype extensionAt(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 && name.size() - dot <= kMostExtension ? dot : name.size();
}

// The stem cut, at a whole character, so that stem and tail fit in MostNameBytes.
QString fitted(QString stem, const QString &tail)
{
    const qsizetype room = MostNameBytes - tail.toUtf8().size();
    while (!stem.isEmpty() && stem.toUtf8().size() > room)
        stem.chop(stem.size() >= 2 && stem.back().isLowSurrogate() ? 2 : 1);
    return stem + tail;
}

QString trimmed(const QString &name)
{
    const auto strip = [](QChar c) { return c == u'.' || c.isSpace(); };
    qsizetype from = 0;
    qsizetype to = name.size();
    while (from < to && strip(name[from]))
        ++from;
    while (to > from && strip(name[to - 1]))
        --to;
    return name.sliced(from, to - from);
}

} // namespace

QString safeName(const QString &offered)
{
    const qsizetype separator = std::max(offered.lastIndexOf(u'/'), offered.lastIndexOf(u'\\'));
    QString name;
    for (const char32_t c : QStringView(offered).sliced(separator + 1).toUcs4()) {
        if (!unwanted(c))
            name += QString::fromUcs4(&c, 1);
    }
    name = trimmed(name);
    if (name.isEmpty())
        return QStringLiteral("archivo");
    const qsizetype dot = extensionAt(name);
    // A stem cut to nothing would leave a hidden file: the extension goes with it then.
    const QString cut = fitted(name.first(dot), name.sliced(dot));
    return trimmed(cut.startsWith(u'.') ? fitted(name, {}) : cut);
}

QString freeName(const QString &safe, const std::function<bool(const QString &name)> &taken)
{
    if (!taken(safe))
        return safe;
    const qsizetype dot = extensionAt(safe);
    for (int n = 2;; ++n) {
        const QString name =
            fitted(safe.first(dot), QStringLiteral(" (%1)").arg(n) + safe.sliced(dot));
        if (!taken(name))
            return name;
    }
}

} // namespace downloads
