#pragma once

#include "protocol/wire.h"

#include <QStringList>
#include <QTest>

// Tests write messages with '|' standing for the field separator and '~' for the terminator
// of framed messages: "PM|ana|luis|hola~".
inline QString pipes(QString text)
{
    return text.replace(QLatin1Char('|'), wire::FieldSeparator)
        .replace(QLatin1Char('~'), QChar(wire::Terminator));
}

// The same message as it goes on the wire.
inline QByteArray bytes(const QString &text)
{
    return wire::toCodePage(pipes(text));
}

// Lines from before a window opened, as a history shows them: greyed, then a separator.
inline QString earlier(const QString &first, const QString &second = {})
{
    QString shown;
    for (const QString &line : {first, second}) {
        if (!line.isEmpty())
            shown += "[#707070*]" + line.section(" : ", 0, 0) + " : [#707070]"
                + line.section(" : ", 1) + "\n";
    }
    return shown + "[#707070*]<Fin de los mensajes anteriores>\n";
}

// Rows of a table of scripts, each written "name => script".
inline void scriptRows(const QStringList &rows)
{
    QTest::addColumn<QString>("script");
    for (const QString &row : rows)
        QTest::newRow(qPrintable(row.section(" => ", 0, 0))) << row.section(" => ", 1);
}
