#include "fragmentingwrites.h"

#include "testsupport.h"

#include <QRandomGenerator>

namespace testsupport {

namespace {

constexpr qint64 kib = 1024;
constexpr int filler_pairs = 72;

// About a megabyte each: a camera's photo, not a thumbnail.
QByteArray large_photo(int seed)
{
    return qt_jpeg(make_picture(2048, 1536, 900 + seed), 92);
}

// What lies between a photo's pieces: other files' bytes, noise or text.
QByteArray filler(qint64 size, int seed)
{
    QByteArray bytes;
    bytes.reserve(size);
    if (seed % 2 == 0) {
        QRandomGenerator random(quint32(seed) + 7);
        while (bytes.size() < size)
            bytes.append(char(random.bounded(256)));
    } else {
        for (int line = 0; bytes.size() < size; ++line)
            bytes.append(QString::asprintf("%06d sensor log entry of file %d: all well\n", line, seed).toLatin1());
    }
    bytes.truncate(size);
    return bytes;
}

QString hole(int i)
{
    return FragmentingWrites::filler_folder + QString::asprintf("HOLE%04d.BIN", i);
}

QString kept(int i)
{
    return FragmentingWrites::filler_folder + QString::asprintf("KEEP%04d.BIN", i);
}

} // namespace

const QString FragmentingWrites::folder = QStringLiteral("DCIM/100CANON/");
const QString FragmentingWrites::filler_folder = QStringLiteral("MISC/");

bool FragmentingWrites::run(const Put &put, const Remove &remove, const FreeBytes &free_bytes)
{
    deleted.clear();
    live.clear();
    // Sizes in whole 32 KiB: holes of 96 to 416 KiB, kept files of 32 to 192 KiB.
    for (int i = 0; i < filler_pairs; ++i) {
        if (!put(hole(i), filler((3 + i * 7 % 11) * 32 * kib, 2 * i))
            || !put(kept(i), filler((1 + i * 5 % 6) * 32 * kib, 2 * i + 1)))
            return false;
    }
    if (free_bytes && !put(filler_folder + QStringLiteral("REST.BIN"), filler(free_bytes(), 1)))
        return false;
    for (int i = 0; i < filler_pairs; ++i)
        if (!remove(hole(i)))
            return false;
    QStringList shot;
    for (int i = 0; i < photo_count + 2; ++i) {
        const bool keep = i == photo_count / 2 || i == photo_count + 1;
        const QString name = keep ? QString::asprintf("IMG_%04d.JPG", 201 + int(live.size()))
                                  : QString::asprintf("IMG_%04d.JPG", 101 + int(deleted.size()));
        const QByteArray photo = large_photo(i);
        if (!put(folder + name, photo))
            return false;
        if (keep) {
            live.append(photo);
        } else {
            deleted.insert(name, photo);
            shot.append(name);
        }
    }
    for (const QString &name : std::as_const(shot))
        if (!remove(folder + name))
            return false;
    for (int i = 1; i < filler_pairs; i += 2)
        if (!remove(kept(i)))
            return false;
    return true;
}

} // namespace testsupport
