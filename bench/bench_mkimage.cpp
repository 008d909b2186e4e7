// Makes the volume images the benchmarks scan:
//   random   SIZE bytes of random data, no photo in it;
//   photos   real JPEG files packed one after another, each copy made
//            distinct by a numbered comment segment and starting at a
//            4096-byte boundary;
//   endless  a real JPEG header every 64 MiB, each followed by entropy-coded
//            data that never reaches an end-of-image marker, so the carver
//            fills its buffer to the cap again and again;
//   hostile  ten real photos, at 512-byte boundaries, with seven crafted
//            streams between them (frames of 16384 and 65500 pixels a side,
//            baseline and progressive, followed by a few bytes or by 17 MiB
//            of zeros, and two frame headers with a scan of eight
//            components); clean: the same ten photos alone.
// Prints one line: the number of photos placed.

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr qint64 chunk_size = 4 * 1024 * 1024;
constexpr qint64 photo_alignment = 4096;
constexpr qint64 endless_piece = 64 * 1024 * 1024;

int usage()
{
    std::fputs("Usage: velvora-bench-mkimage random|photos|endless|hostile|clean OUTFILE SIZE [PHOTO_DIR...]\n"
               "  SIZE in bytes; PHOTO_DIR (photos, hostile, clean) is searched for *.jpg and *.jpeg files.\n",
               stderr);
    return 2;
}

bool write_all(QFile &out, const char *data, qint64 length)
{
    return out.write(data, length) == length;
}

bool write_zeros(QFile &out, qint64 length)
{
    static const QByteArray zeros(chunk_size, '\0');
    while (length > 0) {
        const qint64 n = std::min(length, chunk_size);
        if (!write_all(out, zeros.constData(), n))
            return false;
        length -= n;
    }
    return true;
}

void fill_random(QByteArray &chunk)
{
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(chunk.data()),
                                          chunk.size() / qsizetype(sizeof(quint32)));
}

bool make_random(QFile &out, qint64 size)
{
    QByteArray chunk(chunk_size, Qt::Uninitialized);
    for (qint64 done = 0; done < size;) {
        fill_random(chunk);
        const qint64 n = std::min(size - done, chunk_size);
        if (!write_all(out, chunk.constData(), n))
            return false;
        done += n;
    }
    return true;
}

// Every real file (no symbolic links) named *.jpg or *.jpeg under the
// folders, in a stable order.
QStringList find_jpegs(const QStringList &dirs)
{
    QStringList files;
    for (const QString &dir : dirs) {
        QDirIterator walk(dir, {QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"), QStringLiteral("*.JPG")},
                          QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
        while (walk.hasNext())
            files.append(walk.next());
    }
    files.sort();
    return files;
}

// The photo with a comment segment "velvora bench copy N" placed right after
// its APP0/APP1 segment, so the stream still starts FF D8 FF Ex. Empty when
// the file does not start that way.
QByteArray distinct_copy(const QByteArray &jpeg, int copy)
{
    const auto at = [&](qsizetype i) { return uchar(jpeg.at(i)); };
    if (jpeg.size() < 6 || at(0) != 0xFF || at(1) != 0xD8 || at(2) != 0xFF || (at(3) & 0xF0) != 0xE0)
        return {};
    const qsizetype app_end = 4 + ((at(4) << 8) | at(5));
    if (app_end > jpeg.size())
        return {};
    const QByteArray text = QByteArrayLiteral("velvora bench copy ") + QByteArray::number(copy);
    const qsizetype field = text.size() + 2;
    QByteArray comment;
    comment.append(char(0xFF)).append(char(0xFE)).append(char(field >> 8)).append(char(field & 0xFF)).append(text);
    QByteArray result = jpeg;
    result.insert(app_end, comment);
    return result;
}

bool make_photos(QFile &out, qint64 size, const QStringList &dirs, int *placed)
{
    QList<QByteArray> photos;
    for (const QString &path : find_jpegs(dirs)) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray data = file.readAll();
            if (!distinct_copy(data, 0).isEmpty())
                photos.append(data);
        }
    }
    if (photos.isEmpty()) {
        std::fputs("velvora-bench-mkimage: no usable JPEG files found\n", stderr);
        return false;
    }

    qint64 position = 0;
    for (int copy = 0;; ++copy) {
        const QByteArray photo = distinct_copy(photos.at(copy % photos.size()), copy);
        if (position + photo.size() > size)
            break;
        const qint64 padded = (photo.size() + photo_alignment - 1) / photo_alignment * photo_alignment;
        if (!write_all(out, photo.constData(), photo.size())
            || !write_zeros(out, std::min(padded, size - position) - photo.size()))
            return false;
        position += std::min(padded, size - position);
        ++*placed;
    }
    return write_zeros(out, size - position);
}

// The bytes of a real JPEG from its start through its start-of-scan segment.
QByteArray jpeg_header(bool progressive = false)
{
    QImage image(256, 192, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(image.rect(), QLinearGradient(0, 0, 256, 192));
    painter.fillRect(40, 30, 120, 90, Qt::darkCyan);
    painter.end();
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "JPEG");
    writer.setQuality(85);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);

    const auto at = [&](qsizetype i) { return uchar(jpeg.at(i)); };
    qsizetype i = 2;
    while (i + 4 <= jpeg.size() && at(i) == 0xFF) {
        const qsizetype segment_end = i + 2 + ((at(i + 2) << 8) | at(i + 3));
        if (at(i + 1) == 0xDA)
            return jpeg.left(segment_end);
        i = segment_end;
    }
    return {};
}

// Random bytes in which every FF is followed by a stuffed 00, as in real
// entropy-coded data: the stream goes on and never ends.
void fill_entropy(QByteArray &chunk)
{
    fill_random(chunk);
    char *data = chunk.data();
    const qsizetype n = chunk.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (uchar(data[i]) == 0xFF) {
            if (i + 1 < n)
                data[++i] = 0;
            else
                data[i] = 0x7F;
        }
    }
}

bool make_endless(QFile &out, qint64 size, int *placed)
{
    const QByteArray header = jpeg_header();
    if (header.isEmpty())
        return false;
    QByteArray chunk(chunk_size, Qt::Uninitialized);
    for (qint64 done = 0; done < size;) {
        const qint64 in_piece = done % endless_piece;
        qint64 n = std::min({size - done, chunk_size, endless_piece - in_piece});
        fill_entropy(chunk);
        if (in_piece == 0 && n >= header.size()) {
            std::memcpy(chunk.data(), header.constData(), size_t(header.size()));
            ++*placed;
        }
        if (!write_all(out, chunk.constData(), n))
            return false;
        done += n;
    }
    return true;
}

// A header that claims width x height pixels, then tail.
QByteArray claiming(QByteArray header, int width, int height, const QByteArray &tail)
{
    const qsizetype frame = std::max(header.indexOf("\xFF\xC0"), header.indexOf("\xFF\xC2"));
    const char claimed[4] = {char(height >> 8), char(height), char(width >> 8), char(width)};
    return header.replace(frame + 5, 4, claimed, 4) + tail;
}

QList<QByteArray> crafted_streams()
{
    const QByteArray baseline = jpeg_header(), progressive = jpeg_header(true);
    const QByteArray few = QByteArray::fromHex("123456789ABCDEF01234FFD9"), zeros(17 * 1024 * 1024, '\0');
    const QByteArray frame = QByteArray::fromHex("FFC00014080040004004011100021101031101041101");
    const QByteArray eight = QByteArray::fromHex("FFDA00160801000200030004000100020003000400003F00");
    // The header up to its scan, its own frame header turned into a comment.
    const QByteArray tables = baseline.left(baseline.indexOf("\xFF\xDA")).replace("\xFF\xC0", "\xFF\xFE");
    const QByteArray two_frames = tables + frame + frame + eight + few;
    return {claiming(baseline, 16384, 16384, few), claiming(progressive, 16384, 16384, few),
            claiming(baseline, 65500, 65500, few), claiming(progressive, 65500, 65500, few),
            claiming(baseline, 65500, 65500, zeros), claiming(progressive, 16384, 16384, zeros), two_frames};
}

bool write_at_sector(QFile &out, const QByteArray &bytes, qint64 *position)
{
    const qint64 padded = (bytes.size() + 511) / 512 * 512;
    *position += padded;
    return write_all(out, bytes.constData(), bytes.size()) && write_zeros(out, padded - bytes.size());
}

bool make_hostile(QFile &out, qint64 size, const QStringList &dirs, bool with_streams, int *placed)
{
    const QStringList files = find_jpegs(dirs);
    const QList<QByteArray> crafted = with_streams ? crafted_streams() : QList<QByteArray>();
    qint64 position = 0;
    for (const QString &path : files) {
        QFile file(path);
        if (*placed == 10 || !file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray photo = distinct_copy(file.readAll(), *placed);
        if (photo.isEmpty())
            continue;
        const QByteArray after = *placed < crafted.size() ? crafted.at(*placed) : QByteArray();
        if (position + photo.size() + after.size() + 1024 > size)
            break;
        if (!write_at_sector(out, photo, &position) || !write_at_sector(out, after, &position))
            return false;
        ++*placed;
    }
    if (*placed == 0) {
        std::fputs("velvora-bench-mkimage: no usable JPEG files found\n", stderr);
        return false;
    }
    return write_zeros(out, size - position);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() < 3)
        return usage();
    const QString kind = args.at(0);
    bool size_ok = false;
    const qint64 size = args.at(2).toLongLong(&size_ok);
    if (!size_ok || size <= 0)
        return usage();

    QFile out(args.at(1));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "velvora-bench-mkimage: %s: %s\n", qPrintable(args.at(1)),
                     qPrintable(out.errorString()));
        return 1;
    }
    int placed = 0;
    bool ok = false;
    if (kind == QLatin1String("random"))
        ok = make_random(out, size);
    else if (kind == QLatin1String("photos"))
        ok = make_photos(out, size, args.mid(3), &placed);
    else if (kind == QLatin1String("endless"))
        ok = make_endless(out, size, &placed);
    else if (kind == QLatin1String("hostile") || kind == QLatin1String("clean"))
        ok = make_hostile(out, size, args.mid(3), kind == QLatin1String("hostile"), &placed);
    else
        return usage();
    if (!ok || !out.flush()) {
        std::fprintf(stderr, "velvora-bench-mkimage: %s: writing failed\n", qPrintable(args.at(1)));
        out.remove();
        return 1;
    }
    std::printf("%d\n", placed);
    return 0;
}
