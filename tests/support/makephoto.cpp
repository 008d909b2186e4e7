// velvora-make-photo: writes a distinct, photo-like picture as a PPM file, the
// raw input cjpeg takes. The same seed and size always give the same pixels.
//
//   velvora-make-photo SEED OUT.ppm [WIDTH HEIGHT]

#include "testsupport.h"

#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3 && argc != 5) {
        std::fputs("usage: velvora-make-photo SEED OUT.ppm [WIDTH HEIGHT]\n", stderr);
        return 2;
    }
    bool seed_ok = false;
    const int seed = QString::fromLocal8Bit(argv[1]).toInt(&seed_ok);
    int width = 1024;
    int height = 768;
    bool size_ok = true;
    if (argc == 5) {
        bool width_ok = false;
        bool height_ok = false;
        width = QString::fromLocal8Bit(argv[3]).toInt(&width_ok);
        height = QString::fromLocal8Bit(argv[4]).toInt(&height_ok);
        size_ok = width_ok && height_ok && width > 0 && height > 0 && width <= 8192 && height <= 8192;
    }
    if (!seed_ok || !size_ok) {
        std::fputs("velvora-make-photo: SEED, WIDTH and HEIGHT must be numbers (sizes 1 to 8192)\n", stderr);
        return 2;
    }
    const QImage picture =
        testsupport::make_picture(width, height, seed).convertToFormat(QImage::Format_RGB888);
    if (!picture.save(QString::fromLocal8Bit(argv[2]), "PPM")) {
        std::fprintf(stderr, "velvora-make-photo: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
