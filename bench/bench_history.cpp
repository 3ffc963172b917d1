// The conversation history store with 1,000,000 lines in its file (50 private conversations and
// the room; Spanish-like lines of 30-80 characters, a tenth of their words made up, as names and
// typos are): (a) the time to open the store and fetch the newest 200 lines of a conversation,
// with the file out of the system's cache and in it, (b) the time to search a word, a prefix and
// several words, everywhere and within one conversation, (c) the file's size per line, (d)
// appends per second under a flood of 100,000 lines, with the store's batching, until they are
// in the file: appended at once, and 100 at each turn of the event loop, as a busy room arrives.
#include "core/history_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

using history::Conversation;
using history::Kind;

namespace {

constexpr int kLines = 1'000'000;
constexpr int kPrivate = 50;
constexpr int kFlood = 100'000;

const QStringList kWords = QStringLiteral(
    "hola qué tal bien gracias mañana tarde noche hoy ayer semana viernes sábado domingo "
    "reunión oficina trabajo proyecto informe correo teléfono llamada mensaje canción música "
    "película libro café comida cena almuerzo casa coche tren autobús calle ciudad pueblo "
    "después antes ahora siempre nunca también porque cuando donde quién cómo están estoy "
    "vamos vienes puedes quieres tengo tienes hacer decir poner salir llegar volver esperar "
    "mandar enviar revisar terminar empezar cambiar arreglar ordenador pantalla teclado ratón "
    "impresora archivo carpeta servidor contraseña usuario grupo sala nombre número dirección "
    "niño niña familia amigo amiga señor señora compañero jefe cliente precio factura pago "
    "dinero banco tienda mercado fruta pan leche agua vino cerveza fiesta cumpleaños regalo "
    "vacaciones playa montaña río lluvia sol frío calor viento nieve invierno verano otoño "
    "primavera mañanita rápido despacio fácil difícil nuevo viejo grande pequeño mejor peor "
    "claro vale perfecto genial estupendo ojalá quizá tranquilo pronto luego mientras jamás "
    "el la los las un una de del en con por para sin sobre entre hasta desde y o pero que")
    .split(u' ');

// Names, typos and the like: most words of a real history occur once or twice.
QString invented(QRandomGenerator &random)
{
    static const QString consonants = QStringLiteral("bcdfglmnprstvzñ");
    static const QString vowels = QStringLiteral("aeiouáé");
    QString word;
    for (int i = 0, syllables = 2 + int(random.bounded(3)); i < syllables; ++i) {
        word += consonants[random.bounded(int(consonants.size()))];
        word += vowels[random.bounded(int(vowels.size()))];
    }
    return word;
}

QString sentence(QRandomGenerator &random)
{
    const int length = 30 + int(random.bounded(51));
    QString text;
    while (text.size() < length) {
        if (!text.isEmpty())
            text += u' ';
        text += random.bounded(10) == 0 ? invented(random)
                                        : kWords[random.bounded(int(kWords.size()))];
    }
    text.truncate(length);
    text[0] = text[0].toUpper();
    return text;
}

Conversation conversation(int i)
{
    return i % (kPrivate + 1) == kPrivate
        ? Conversation{Conversation::Room, {}}
        : Conversation{Conversation::Private, QStringLiteral("usuario%1").arg(i % (kPrivate + 1))};
}

// Drops the file from the system's cache, as after a reboot.
void evict(const QString &file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

double ms(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// The median of five runs of `run`, in milliseconds.
template <typename Run> double median(Run run)
{
    QList<double> times;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        times.append(ms(timer));
    }
    std::sort(times.begin(), times.end());
    return times[2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir temporary;
    const QString folder = temporary.path();
    const QString file = folder + QStringLiteral("/historial.sqlite");
    const auto account = [](HistoryStore &store) {
        store.setAccount(QStringLiteral("servidor.lan"), QStringLiteral("luis"));
    };
    QRandomGenerator random(2024);

    {
        HistoryStore store(folder);
        account(store);
        const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-kLines);
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kLines; ++i)
            store.append(conversation(i), i % 2 ? Kind::Mine : Kind::Theirs, QStringLiteral("luis"),
                         sentence(random), start.addSecs(i));
        store.flush();
        std::printf("filled %d lines in %.1f s\n", kLines, ms(timer) / 1000);
    }
    // Closed: the write-ahead log is in the file.
    const double size = double(QFileInfo(file).size());
    std::printf("(c) file size: %.1f MB, %.0f bytes per line\n", size / 1e6, size / kLines);

    const Conversation someone = conversation(7);
    evict(file);
    QElapsedTimer timer;
    timer.start();
    std::optional<HistoryStore> store(std::in_place, folder);
    account(*store);
    const qsizetype got = store->before(someone, HistoryStore::Newest, 200).size();
    std::printf("(a) open and fetch the newest %lld lines: %.1f ms out of the cache",
                qlonglong(got), ms(timer));
    std::printf(", %.1f ms (median of 5) in it\n", median([&] {
                    store.emplace(folder);
                    account(*store);
                    store->before(someone, HistoryStore::Newest, 200);
                }));

    const auto search = [&](const char *what, const QString &words,
                            std::optional<Conversation> within) {
        qsizetype hits = 0;
        const double taken = median([&] { hits = store->search(words, within).size(); });
        std::printf("(b) search %-40s %6.1f ms, %lld hits\n", what, taken, qlonglong(hits));
    };
    search("a word \"cancion\"", QStringLiteral("cancion"), {});
    search("three words \"estupendo ojalá pronto\"", QStringLiteral("estupendo ojala pronto"), {});
    search("a prefix \"tel\"", QStringLiteral("tel"), {});
    search("a prefix \"ca\"", QStringLiteral("ca"), {});
    search("a prefix \"c\"", QStringLiteral("c"), {});
    search("two words \"cancion viernes\"", QStringLiteral("cancion viernes"), {});
    search("\"cancion\" within one conversation", QStringLiteral("cancion"), someone);
    search("\"tel\" within one conversation", QStringLiteral("tel"), someone);
    search("a word in no line \"xilófono\"", QStringLiteral("xilófono"), {});

    // Made beforehand: only the store is timed. The machine may be shared, so the process's own
    // CPU time is given too.
    QStringList texts;
    for (int i = 0; i < kFlood; ++i)
        texts.append(sentence(random));
    std::clock_t cpu = std::clock();
    timer.restart();
    for (int i = 0; i < kFlood; ++i)
        store->append(conversation(i), Kind::Theirs, QStringLiteral("ana"), texts[i]);
    store->flush();
    const double flood = ms(timer);
    const auto perCpuSecond = [&] {
        return kFlood / (double(std::clock() - cpu) / CLOCKS_PER_SEC);
    };
    std::printf("(d) flood of %d appends at once, all in the file: %.0f ms, %.0f lines/s (%.0f per "
                "CPU second)\n", kFlood, flood, kFlood / flood * 1000, perCpuSecond());

    QTimer turns;
    int sent = 0;
    QObject::connect(&turns, &QTimer::timeout, [&] {
        for (int i = 0; i < 100; ++i, ++sent)
            store->append(conversation(sent), Kind::Theirs, QStringLiteral("ana"), texts[sent]);
        if (sent == kFlood) {
            turns.stop();
            store->flush();
            app.quit();
        }
    });
    cpu = std::clock();
    timer.restart();
    turns.start(0);
    app.exec();
    const double paced = ms(timer);
    std::printf("(d) flood of %d appends, 100 a turn, all in the file: %.0f ms, %.0f lines/s (%.0f "
                "per CPU second)\n", kFlood, paced, kFlood / paced * 1000, perCpuSecond());
    return 0;
}
