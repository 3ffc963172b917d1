#pragma once

#include <QString>

// Dates and times as the user's regional settings write them.
namespace clock_text {
QString shortDate();
QString longTime();
} // namespace clock_text
