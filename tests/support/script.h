#pragma once

#include "protocol/wire.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include <functional>

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

// Runs a script, steps apart by "; ": "verb argument" is something the user or the server does
// (act), "what=value" checks what the user sees (seen), "sent=..." what reached the server since
// the last check, and "N* STEP" runs the step N times. Stops at the first failure.
struct Script {
    std::function<void(const QString &verb, const QString &arg)> act;
    // What the user sees of `what`; `expected` names what is asked about where that matters.
    std::function<QString(const QString &what, const QString &expected)> seen;
    std::function<QByteArray()> sent;

    void play(const QString &script) const
    {
        for (const QString &step : script.split("; ")) {
            const QString word = step.section(QRegularExpression("[ =]"), 0, 0);
            const QString rest = step.mid(word.size() + 1);
            if (word.endsWith('*'))
                for (int i = word.chopped(1).toInt(); i > 0; --i)
                    play(rest);
            else if (step.mid(word.size(), 1) != "=")
                act(word, rest);
            else if (word == "sent")
                QCOMPARE(sent(), bytes(rest));
            else
                QTRY_COMPARE_WITH_TIMEOUT(seen(word, rest), rest, 5000);
            if (QTest::currentTestFailed())
                return;
        }
    }
};
