// xpm2png: makes the theme icons of the package from the window's own XPM art,
// so the two never drift apart.
// Usage: xpm2png SOURCE.xpm SIZE OUT.png
#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: xpm2png SOURCE.xpm SIZE OUT.png\n");
        return 2;
    }
    bool ok = false;
    const int size = QString::fromLocal8Bit(argv[2]).toInt(&ok);
    if (!ok || size < 1 || size > 1024) {
        std::fprintf(stderr, "xpm2png: bad size '%s'\n", argv[2]);
        return 2;
    }
    QImage image(QString::fromLocal8Bit(argv[1]), "XPM");
    if (image.isNull()) {
        std::fprintf(stderr, "xpm2png: cannot read %s\n", argv[1]);
        return 1;
    }
    if (image.width() != size || image.height() != size) {
        // Whole multiples keep the pixel art sharp; anything else is smoothed
        // rather than left with uneven pixels.
        const bool whole = size % image.width() == 0 && size % image.height() == 0;
        image = image.scaled(size, size, Qt::IgnoreAspectRatio,
                             whole ? Qt::FastTransformation : Qt::SmoothTransformation);
    }
    image = image.convertToFormat(QImage::Format_ARGB32);
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "xpm2png: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
