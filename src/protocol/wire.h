#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <initializer_list>

// The messenger's wire format: fields joined by a four-character separator, single-byte
// Windows-1252 text, no framing at all.
namespace wire {

// On the wire the bytes A4 B6 A3 C6.
inline const QString FieldSeparator = QStringLiteral("\u00A4\u00B6\u00A3\u00C6");

inline constexpr quint16 ServerPort = 12584;

// What a character that Windows-1252 lacks becomes on the wire.
inline constexpr char Replacement = '?';

QByteArray toCodePage(QStringView text);
QString fromCodePage(QByteArrayView bytes);

// The command followed by each argument behind a separator. A separator inside an argument is
// removed, so that no typed or received text can cut a field short or forge extra fields.
QString buildMessage(QStringView command, std::initializer_list<QStringView> args);

// One message as read: field 0 is the command; a field that is not there reads as empty.
class Message {
public:
    explicit Message(const QString &text);
    explicit Message(QStringList fields) : m_fields(std::move(fields)) {}

    QString field(qsizetype index) const;
    QString command() const { return field(0); }
    qsizetype fieldCount() const { return m_fields.size(); }

private:
    QStringList m_fields;
};

// Several NICK messages that reached us in one read look like "NICK", sep, "anaNICK", sep,
// "luis". When the fields have that shape, returns one nickname per merged message, in order;
// otherwise returns nothing and the read stays one message.
QStringList splitNickBurst(const Message &message);

} // namespace wire
