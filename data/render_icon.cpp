// Renders the application's SVG icon at one size, as PNG, for the icon theme (run at build time).
#include <QGuiApplication>
#include <QIcon>
#include <QImage>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 4) {
        std::fputs("usage: render-icon ICON.svg SIZE OUT.png\n", stderr);
        return 2;
    }
    const int size = QString::fromLocal8Bit(argv[2]).toInt();
    const QImage image =
        QIcon(QString::fromLocal8Bit(argv[1])).pixmap(size, size).toImage();
    if (image.isNull() || image.width() != size || !image.save(QString::fromLocal8Bit(argv[3]))) {
        std::fprintf(stderr, "render-icon: cannot render %s at %d px\n", argv[1], size);
        return 1;
    }
    return 0;
}
