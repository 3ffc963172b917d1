// The wire format on any bytes: decoding and encoding, splitting into fields, building messages,
// merged NICK reads, and splitting a framed stream, whatever the cuts between reads.
#include "protocol/wire.h"

#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    // Every byte is a character and back.
    const QString text = wire::fromCodePage(bytes);
    require(text.size() == bytes.size() && wire::toCodePage(text) == bytes);

    // What is read splits into fields joined by separators, none of them inside a field.
    const wire::Message message(text);
    for (qsizetype i = 0; i < message.fieldCount(); ++i)
        require(!message.field(i).contains(wire::FieldSeparator));
    const QStringList nicknames = wire::splitNickBurst(message);
    require(nicknames.isEmpty() || message.command() == QStringLiteral("NICK"));

    // What is built holds no separator inside a field and no terminator, whatever the text.
    const qsizetype cut = bytes.isEmpty() ? 0 : qsizetype(data[0]) % (text.size() + 1);
    const QString built = wire::buildMessage(u"PM", {text.left(cut), text.mid(cut), text});
    require(!built.contains(QChar(char16_t(wire::Terminator))));
    require(wire::Message(built).fieldCount() == 4);
    require(wire::toCodePage(built).count(wire::toCodePage(wire::FieldSeparator)) == 3);

    // A framed stream gives the same messages however it is cut into reads.
    wire::FrameReader whole(1 << 20);
    wire::FrameReader pieces(1 << 20);
    const QList<QByteArray> expected = whole.feed(bytes);
    QList<QByteArray> got;
    for (qsizetype at = 0, step = 1; at < bytes.size(); at += step, step = step * 3 % 17 + 1)
        got += pieces.feed(QByteArrayView(bytes).sliced(at, std::min(step, bytes.size() - at)));
    require(got == expected);
    for (const QByteArray &one : got)
        require(!one.contains(wire::Terminator));
    return 0;
}
