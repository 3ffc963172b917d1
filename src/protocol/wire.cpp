#include "protocol/wire.h"

#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace wire {
namespace {

// Windows-1252 bytes 80..9F. The five bytes the code page leaves undefined map to the C1
// control with the same number, so every byte survives a round trip.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char encodeOne(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (std::size_t i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == c)
            return static_cast<char>(0x80 + i);
    }
    return Replacement;
}

} // namespace

QByteArray toCodePage(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        // A character beyond the 16-bit range is one character, so it gets one replacement.
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            bytes.append(Replacement);
            ++i;
            continue;
        }
        bytes.append(encodeOne(c.unicode()));
    }
    return bytes;
}

QString fromCodePage(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        *out++ = QChar((b >= 0x80 && b < 0xA0) ? kHigh[b - 0x80] : char16_t(b));
    }
    return text;
}

namespace {
QString cleanField(QStringView arg)
{
    QString field = arg.toString();
    // Taking one out can join the pieces around it into a new one: "a¤¶" + separator + "£Æ".
    for (qsizetype before = -1; before != field.size();) {
        before = field.size();
        field.remove(QChar(char16_t(Terminator))).remove(FieldSeparator);
    }
    return field;
}
} // namespace

QString buildMessage(QStringView command, std::initializer_list<QStringView> args)
{
    QString message = command.toString();
    for (const QStringView arg : args)
        message += FieldSeparator + cleanField(arg);
    return message;
}

QString asSent(QStringView arg)
{
    return fromCodePage(toCodePage(cleanField(arg)));
}

Message::Message(const QString &text) : m_fields(text.split(FieldSeparator)) {}

QString Message::field(qsizetype index) const
{
    return index < m_fields.size() ? m_fields.at(index) : QString();
}

QStringList splitNickBurst(const Message &message)
{
    const qsizetype count = message.fieldCount();
    if (count < 3 || message.command() != Nick)
        return {};
    QStringList nicknames;
    nicknames.reserve(count - 1);
    for (qsizetype i = 1; i + 1 < count; ++i) {
        const QString piece = message.field(i);
        if (!piece.endsWith(Nick))
            return {};
        nicknames.append(piece.chopped(Nick.size()));
    }
    nicknames.append(message.field(count - 1));
    return nicknames;
}

QByteArray marker(const QString &command, bool tls)
{
    const QString message =
        tls ? buildMessage(command, {Framing, Tls}) : buildMessage(command, {Framing});
    return toCodePage(message) + Terminator;
}

QList<QByteArray> FrameReader::feed(QByteArrayView bytes)
{
    QList<QByteArray> messages;
    qsizetype start = 0;
    m_overflowed = false;
    if (m_skipping) {
        // The rest of a message too long to keep goes too, up to its terminator; otherwise its
        // end would read as a message of its own.
        start = bytes.indexOf(Terminator) + 1;
        if (start == 0)
            return messages;
        m_skipping = false;
    }
    for (qsizetype end; (end = bytes.indexOf(Terminator, start)) >= 0; start = end + 1) {
        if (m_tail.size() + end - start > m_maxMessage)
            m_overflowed = true;
        else
            messages.append(m_tail + bytes.sliced(start, end - start));
        m_tail.clear();
    }
    m_tail += bytes.sliced(start);
    if (m_tail.size() > m_maxMessage) {
        m_overflowed = true;
        m_tail.clear();
        m_skipping = true;
    }
    return messages;
}

QString randomHex(int digits)
{
    QString hex;
    while (hex.size() < digits) {
        const qulonglong random = QRandomGenerator::system()->generate();
        hex += QStringLiteral("%1").arg(random, 8, 16, QChar(u'0'));
    }
    return hex.left(digits);
}

bool isHex(QStringView text, qsizetype digits)
{
    return text.size() == digits && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

std::optional<qint64> byteCount(QStringView field)
{
    if (field.isEmpty() || field.size() > 18
        || !std::all_of(field.begin(), field.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    return field.toLongLong();
}

QString stateText(QString text)
{
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F))
            c = u' ';
    }
    return text.trimmed().left(StateTextLength).trimmed();
}

QString nicknameForm(QStringView nickname)
{
    QString form = nickname.toString().toCaseFolded();
    for (QChar &c : form) {
        if (c == u'i' || c == u'1')
            c = u'l';
        else if (c == u'0')
            c = u'o';
    }
    return form;
}

} // namespace wire
