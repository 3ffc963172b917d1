#include "core/clock.h"

#include <QDateTime>
#include <QLocale>

namespace clock_text {

QString shortDate()
{
    return QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat);
}

QString longTime()
{
    return QLocale::system().toString(QTime::currentTime(), QLocale::LongFormat);
}

} // namespace clock_text
