#include "core/clock.h"

#include <QDateTime>
#include <QLocale>

namespace clock_text {

namespace {

// The texts change once a second at most, and making them asks the system for its time zone
// (a stat of /etc/localtime each time): a tenth of the cost of a flood of lines, each of which
// writes the time of the last one. They are made again when the second changes.
struct Texts {
    qint64 second = -1;
    QString date;
    QString time;
};

const Texts &now()
{
    static Texts texts;
    const qint64 second = QDateTime::currentSecsSinceEpoch();
    if (second != texts.second) {
        const QDateTime local = QDateTime::currentDateTime();
        texts = {second, QLocale::system().toString(local.date(), QLocale::ShortFormat),
                 QLocale::system().toString(local.time(), QLocale::LongFormat)};
    }
    return texts;
}

} // namespace

QString shortDate()
{
    return now().date;
}

QString longTime()
{
    return now().time;
}

} // namespace clock_text
