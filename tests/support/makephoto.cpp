// velvora-make-photo: writes a distinct, photo-like picture as a PPM file, the
// raw input cjpeg takes. The same seed and size always give the same pixels.
//
//   velvora-make-photo SEED OUT.ppm [WIDTH HEIGHT]

#include "testsupport.h"

#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    int numbers[3] = {0, 1024, 768}; // seed, width, height
    bool ok = argc == 3 || argc == 5;
    for (int i = 0; ok && i < argc - 2; ++i)
        numbers[i] = QString::fromLocal8Bit(argv[i == 0 ? 1 : i + 2]).toInt(&ok);
    if (!ok || numbers[1] < 1 || numbers[2] < 1 || numbers[1] > 8192 || numbers[2] > 8192) {
        std::fputs("usage: velvora-make-photo SEED OUT.ppm [WIDTH HEIGHT] (sizes 1 to 8192)\n", stderr);
        return 2;
    }
    const QImage picture = testsupport::make_picture(numbers[1], numbers[2], numbers[0]);
    if (!picture.convertToFormat(QImage::Format_RGB888).save(QString::fromLocal8Bit(argv[2]), "PPM")) {
        std::fprintf(stderr, "velvora-make-photo: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
