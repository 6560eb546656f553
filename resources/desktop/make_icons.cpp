// Renders the scalable logo into the PNG sizes of the hicolor icon theme, at build time:
//   make_icons <logo.svg> <output folder> <size>...  writes <output folder>/<size>/vanteoalbum.png
// SVG is read through Qt's image plugin (Debian: libqt5svg5), so no SVG library is linked.
#include <QDir>
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_icons <logo.svg> <output folder> <size>...\n");
        return 2;
    }
    const QString svg = QString::fromLocal8Bit(argv[1]);
    const QDir out(QString::fromLocal8Bit(argv[2]));
    for (int i = 3; i < argc; ++i) {
        bool ok = false;
        const int size = QByteArray(argv[i]).toInt(&ok);
        if (!ok || size < 8 || size > 1024) {
            std::fprintf(stderr, "bad size %s\n", argv[i]);
            return 2;
        }
        QImageReader reader(svg, "svg");
        reader.setScaledSize(QSize(size, size));
        const QImage image = reader.read();
        if (image.isNull() || image.size() != QSize(size, size)) {
            std::fprintf(stderr, "cannot render %s at %d: %s (is Qt's SVG image plugin installed?)\n", qPrintable(svg),
                         size, qPrintable(reader.errorString()));
            return 1;
        }
        const QString folder = QString::number(size);
        const QString path = out.filePath(folder + QStringLiteral("/vanteoalbum.png"));
        if (!out.mkpath(folder) || !image.convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
