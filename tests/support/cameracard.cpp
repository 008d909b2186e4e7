#include "cameracard.h"

#include "craftedentries.h"
#include "fragmentingwrites.h"
#include "loopdevice.h"
#include "mediacard.h"
#include "mediafiles.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QtEndian>
#include <QRandomGenerator>

namespace testsupport {

namespace {

constexpr qint64 mib = 1024 * 1024;

QByteArray photo(int seed)
{
    return qt_jpeg(make_picture(480 + 16 * (seed % 5), 360, 700 + seed));
}

QString shot(int number)
{
    return QString::asprintf("IMG_%04d.JPG", number);
}

QByteArray random_bytes(qsizetype count, quint32 seed)
{
    QByteArray bytes(count, Qt::Uninitialized); // count: a multiple of 4
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), count / 4);
    return bytes;
}

// The 11 bytes of an 8.3 directory entry's name; a deleted one starts with E5.
QByteArray short_entry(int number, bool deleted)
{
    return QByteArray(deleted ? "\xE5" : "I") + QString::asprintf("MG_%04dJPG", number).toLatin1();
}

bool refuse(QString *why, const QString &reason)
{
    *why = reason;
    return false;
}

bool put_bytes(const QString &image, qint64 offset, const QByteArray &bytes)
{
    QFile file(image);
    return file.open(QIODevice::ReadWrite) && file.seek(offset) && file.write(bytes) == bytes.size();
}

} // namespace

bool CameraCard::make(Kind kind, const QString &directory, QString *why)
{
    named.clear();
    unnamed.clear();
    live.clear();
    rotten.clear();
    partial = 0;
    in_pieces = 0;
    heap_start = 0;
    cluster = 512;
    videos = 0;
    heic = 0;
    damaged = kind == BadBootSector || kind == WrongFatLength || kind == GarbageFolder || kind == ExfatUnreadable;
    unreadable = kind == ExfatUnreadable; // garbage for a boot sector is no file system at all
    switch (kind) {
    case Exfat:
    case ExfatManyEntries:
    case ExfatUnreadable:
    case ExfatFragmented:
        return make_exfat(kind, directory, why);
    case Fat32Fragmented:
        return make_fat32_fragmented(directory, why);
    case Ext4:
        return make_ext4(directory, why);
    case ExfatMedia:
        return make_media(directory, why);
    case ExfatMediaInPieces:
        return make_media(directory, why, true);
    default:
        return make_fat32(kind, directory, why);
    }
}

bool CameraCard::make_media(const QString &directory, QString *why, bool into_holes)
{
    MediaCard card;
    if (!(into_holes ? card.make_in_pieces(directory, why) : card.make(directory, why)))
        return false;
    in_pieces = int(card.in_pieces.size());
    image = card.image;
    named = card.deleted;
    live = card.live.values();
    for (const QString &name : card.deleted.keys()) {
        const MediaFile *file = media_named(name);
        videos += file && file->video ? 1 : 0;
        heic += file && !file->video ? 1 : 0;
    }
    return true;
}

void CameraCard::note_deleted(const QString &name, const QByteArray &photo, bool keeps_name)
{
    qsizetype at = card_bytes.indexOf(photo);
    while (at >= 0 && at % 512 != 0)
        at = card_bytes.indexOf(photo, at + 1);
    if (at < 0 && !intact_in_clusters(photo))
        return; // overwritten by a later shot
    in_pieces += at < 0;
    if (keeps_name && !damaged)
        named.insert(name, photo);
    else
        unnamed.append(photo);
}

bool CameraCard::intact_in_clusters(const QByteArray &photo) const
{
    QHash<QByteArray, int> clusters;
    for (qint64 at = heap_start; at + cluster <= card_bytes.size(); at += cluster)
        clusters.insert(card_bytes.mid(at, cluster), 0);
    for (qint64 at = 0; at < photo.size(); at += cluster) {
        const QByteArray piece = photo.mid(at, cluster);
        if (piece.size() == cluster ? !clusters.contains(piece) : !card_bytes.contains(piece))
            return false;
    }
    return true;
}

// Six shots, the second, fourth and fifth deleted, one more shot after: it
// takes the second's directory entry, as mtools and Windows do, so that
// photo comes back numbered.
bool CameraCard::make_fat32(Kind kind, const QString &directory, QString *why)
{
    if (const QStringList missing = missing_tools({"mkfs.fat", "mcopy", "mmd", "mdel", "djpeg"}); !missing.isEmpty())
        return refuse(why, "needs " + missing.join(' '));
    image = directory + "/fat32.img";
    FatImage card;
    // 512-byte clusters: FAT32 needs 65525 of them, and 48 MiB then suffice
    if (!card.create(image, 48 * mib, QStringLiteral("CANON"), {"-S", "512", "-s", "1"})
        || !card.make_folder("DCIM") || !card.make_folder("DCIM/100CANON"))
        return refuse(why, "mkfs.fat or mmd failed");
    const QString folder = QStringLiteral("DCIM/100CANON/");
    if (kind == Fat32ClearedHighWord && !card.put(folder + "MVI_0001.MOV", QByteArray(33 * mib, 'm')))
        return refuse(why, "mcopy failed");
    QMap<int, QByteArray> shots;
    const auto shoot = [&](int number) {
        shots.insert(number, photo(number));
        return card.put(folder + shot(number), shots[number]);
    };
    const QString long_name = QStringLiteral("Holiday at the lake.jpg");
    const QByteArray holiday = photo(30);
    bool ok = shoot(1) && shoot(2) && shoot(3) && shoot(4) && shoot(5) && shoot(6);
    if (kind == Fat32LongName)
        ok = ok && card.put(folder + long_name, holiday) && card.remove(folder + long_name);
    ok = ok && card.remove(folder + shot(2)) && card.remove(folder + shot(4)) && card.remove(folder + shot(5));
    ok = ok && shoot(7);
    if (!ok)
        return refuse(why, "mcopy or mdel failed");
    if (kind == HostileNames && !put_hostile_names(card, "DCIM/101CANON/", directory, why))
        return false;

    card_bytes = read_file(image);
    ok = alter_fat32(kind);
    if (ok && kind == RottenByte) {
        // A byte in the middle of the photo's data that libjpeg's own
        // decoder (djpeg) finds corrupt; as bit rot does, it changes nothing else.
        QByteArray &rotting = shots[4];
        const qsizetype at = card_bytes.indexOf(rotting);
        ok = at >= 0 && at % 512 == 0;
        bool corrupt = false;
        for (qsizetype i = rotting.size() / 2; ok && !corrupt && i < rotting.size() * 3 / 4; i += 97) {
            if (uchar(rotting[i]) == 0xFF || uchar(rotting[i - 1]) == 0xFF || uchar(rotting[i] ^ 0x24) == 0xFF)
                continue;
            QByteArray changed = rotting;
            changed[i] = char(changed[i] ^ 0x24);
            const ProgramRun djpeg = run_program(QStringLiteral("djpeg"), {}, QProcessEnvironment::systemEnvironment(), changed);
            if (!djpeg.crashed && djpeg.err.contains("Corrupt JPEG data") && !djpeg.err.contains("premature end")) {
                corrupt = true;
                rotting = changed;
            }
        }
        ok = ok && corrupt && put_bytes(image, at, rotting);
        rotten.append(shot(4));
    }
    if (!ok)
        return refuse(why, "the card image could not be altered");
    if (kind == SharedChain && !CraftedEntries::add_to_fat32(image, crafted_entries, crafted_pieces, why))
        return false;
    card_bytes = read_file(image);

    for (int number : {1, 3, 6, 7}) {
        if (kind == QuickFormatted) // their entries stand in the free space now, as deleted ones do
            named.insert(shot(number), shots[number]);
        else
            live.append(shots[number]);
    }
    for (int number : {2, 4, 5})
        note_deleted(shot(number), shots[number], card_bytes.contains(short_entry(number, true)));
    if (kind == Fat32LongName) // the long name's 8.3 alias tells whether its entries survive
        note_deleted(long_name, holiday, card_bytes.contains("\xE5OLIDA~1JPG"));
    card_bytes.clear();
    return true;
}

bool CameraCard::alter_fat32(Kind kind)
{
    switch (kind) {
    case Fat32ClearedHighWord: {
        const qsizetype entry = card_bytes.indexOf(short_entry(4, true));
        if (entry < 0 || (card_bytes[entry + 20] == 0 && card_bytes[entry + 21] == 0))
            return false; // IMG_0004.JPG's entry does not lie past cluster 65535
        return put_bytes(image, entry + 20, QByteArray(2, '\0'));
    }
    case BadBootSector:
        return put_bytes(image, 0, random_bytes(512, 1)) && put_bytes(image, 6 * 512, random_bytes(512, 2));
    case BackupBootSector:
        return put_bytes(image, 13, QByteArray(1, '\0'));
    case QuickFormatted:
        return run_tool("mkfs.fat", {"-F", "32", "-n", "CANON", "-S", "512", "-s", "1", image});
    case WrongFatLength: {
        const quint32 wrong = qToLittleEndian(qFromLittleEndian<quint32>(card_bytes.constData() + 36) * 3);
        return put_bytes(image, 36, QByteArray(reinterpret_cast<const char *>(&wrong), 4));
    }
    case GarbageFolder: {
        const QList<QByteArray> entries{short_entry(1, false), short_entry(3, false), short_entry(4, true),
                                        short_entry(5, true), short_entry(6, false), short_entry(7, false)};
        bool ok = true;
        for (const QByteArray &entry : entries)
            if (card_bytes.contains(entry))
                ok = ok && put_bytes(image, card_bytes.indexOf(entry) / 512 * 512, random_bytes(512, qHash(entry)));
        return ok;
    }
    default:
        return true;
    }
}

namespace {

// A long name as no camera or desktop would write it, and the name the
// photo must come back under (empty: none, it comes back numbered).
struct HostileName
{
    QString on_card;
    QString comes_back_as;
};

QList<HostileName> hostile_names(const QString &directory)
{
    const QChar write(0x5199); // three bytes of UTF-8
    return {
        {"../../FATESC_123456789012.jpg", "FATESC_123456789012.jpg"},
        {directory + "/ABS1.JPG", "ABS1.JPG"},
        {"..\\..\\BACK.JPG", "BACK.JPG"},
        {"new\nline.jpg", "new_line.jpg"},
        {"bell\a\x1b[31m.jpg", "bell__[31m.jpg"},
        {QString(100, write) + ".jpg", QString(81, write) + ".jpg"}, // 304 bytes, bounded to 247
        {"bad" + QString(QChar(0xD800)) + "half.jpg", "bad^alf.jpg"}, // the library takes the next character too
        {"CON.jpg", "_CON.jpg"},
        {".hidden.jpg", "_hidden.jpg"},
        {"-rf.jpg", "_rf.jpg"},
        {"\u202Egpj.jpg", "_gpj.jpg"}, // shown right to left as "jpg.jpg"
        {"x/fatesc_123456789012.JPG", "fatesc_123456789012-2.JPG"}, // the first one's name, but for case
    };
}

// The UTF-16 characters of a long name in the slots of one directory entry.
constexpr int lfn_slots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

} // namespace

bool CameraCard::put_hostile_names(FatImage &card, const QString &folder, const QString &directory, QString *why)
{
    // The folder's clusters are taken one after another while it fills with
    // empty files, which take no clusters: its entries then lie in one run,
    // and a long name's entries are contiguous in the image.
    if (!card.make_folder(folder.chopped(1)))
        return refuse(why, "mmd failed");
    for (int i = 0; i < 60; ++i)
        if (!card.put(folder + QString::asprintf("E%02d", i), QByteArray()))
            return refuse(why, "mcopy failed");
    for (int i = 0; i < 60; ++i)
        card.remove(folder + QString::asprintf("E%02d", i));
    const QList<HostileName> names = hostile_names(directory);
    QList<QString> stand_ins;
    for (int i = 0; i < names.size(); ++i) {
        // mixed case: a long name is needed
        const QString stand_in = QString::asprintf("Z%04d", i) + QString(names[i].on_card.size() - 5, 'q');
        stand_ins.append(stand_in);
        if (!card.put(folder + stand_in, photo(60 + i)))
            return refuse(why, "mcopy failed");
    }
    QByteArray broken = photo(90); // a stray restart marker near its end: damaged where it lies
    broken.replace(broken.size() - 40, 2, "\xFF\xD3");
    if (!card.put(folder + "IMG_0090.JPG", broken))
        return refuse(why, "mcopy failed");
    for (const QString &stand_in : stand_ins + QList<QString>{"IMG_0090.JPG"})
        if (!card.remove(folder + stand_in))
            return refuse(why, "mdel failed");

    QByteArray bytes = read_file(image);
    for (int i = 0; i < names.size(); ++i) {
        const QString &stand_in = stand_ins[i], &name = names[i].on_card;
        const QByteArray start(reinterpret_cast<const char *>(stand_in.utf16()), 10);
        qsizetype first = bytes.indexOf(start); // the entry holding the name's first 13 characters
        while (first >= 0 && ((first - 1) % 32 != 0 || bytes[first + 10] != '\x0F'))
            first = bytes.indexOf(start, first + 1);
        if (first < 0)
            return refuse(why, "the long name of " + stand_in + " is not on the card");
        for (int at = 0; at < name.size(); ++at) {
            const qsizetype slot = first - 1 - 32 * (at / 13) + lfn_slots[at % 13];
            if (bytes.at(slot) != stand_in.at(at).toLatin1() || bytes.at(slot + 1) != 0)
                return refuse(why, "the long name of " + stand_in + " does not lie in one run");
            qToLittleEndian<quint16>(name.at(at).unicode(), bytes.data() + slot);
        }
        if (names[i].comes_back_as.isEmpty())
            unnamed.append(photo(60 + i));
        else
            named.insert(names[i].comes_back_as, photo(60 + i));
    }
    // All its rows decode from its own data: it comes back whole, named, marked damaged.
    named.insert(QStringLiteral("_MG_0090.JPG"), broken); // a deleted 8.3 entry loses its first letter
    rotten.append(QStringLiteral("_MG_0090.JPG"));
    return write_file(image, bytes) || refuse(why, "the card image could not be altered");
}

// exFAT keeps a deleted file's whole entry set: name, size, first cluster.
bool CameraCard::make_exfat(Kind kind, const QString &directory, QString *why)
{
    if (!(*why = loop_unavailable_reason({"mkfs.exfat", "mount.exfat-fuse"})).isEmpty())
        return false;
    image = directory + "/exfat.img";
    const QString point = directory + "/exfat-mount";
    LoopDevice loop;
    // Clusters of 32 KiB, as on a larger card; the photos' pieces are whole clusters.
    const QStringList options = kind == ExfatFragmented ? QStringList{"-c", "32K"} : QStringList{};
    if (!make_exfat_image(image, 64 * mib, QStringLiteral("CANON"), options) || !QDir().mkpath(point)
        || !loop.attach(image) || !loop.mount_exfat(point) || !QDir(point).mkpath("DCIM/100CANON"))
        return refuse(why, "cannot attach and mount an exFAT image here");
    if (kind == ExfatFragmented)
        return write_fragmented(loop, why);
    const QString folder = point + "/DCIM/100CANON/";
    QMap<int, QByteArray> shots;
    const auto shoot = [&](int number) {
        shots.insert(number, photo(number));
        return write_file(folder + shot(number), shots[number]);
    };
    // An Adobe RGB shot is named _MG_: beside IMG_ names it keeps its underscore.
    const QString adobe = QStringLiteral("_MG_0009.JPG");
    const QByteArray adobe_photo = photo(9);
    bool ok = shoot(1) && shoot(2) && shoot(3) && shoot(4) && shoot(5) && shoot(6)
        && write_file(folder + adobe, adobe_photo);
    ok = ok && QFile::remove(folder + shot(2)) && QFile::remove(folder + shot(4)) && QFile::remove(folder + shot(5))
        && QFile::remove(folder + adobe);
    ok = ok && shoot(7) && shoot(8) && run_tool("sync", {});
    loop.unmount();
    loop.detach();
    if (!ok)
        return refuse(why, "the photos could not be written through exfat-fuse");
    if (kind == ExfatManyEntries && !CraftedEntries::add_to_exfat(image, crafted_entries, crafted_pieces, why))
        return false;
    // 2^0-byte sectors, in the boot region and its copy
    if (kind == ExfatUnreadable && !(put_bytes(image, 108, QByteArray(1, '\0'))
                                     && put_bytes(image, 12 * 512 + 108, QByteArray(1, '\0'))))
        return refuse(why, "the card image could not be altered");
    card_bytes = read_file(image);
    for (int number : {1, 3, 6, 7, 8})
        live.append(shots[number]);
    const auto note = [&](const QString &name, const QByteArray &bytes) {
        const QByteArray utf16(reinterpret_cast<const char *>(name.utf16()), name.size() * 2);
        note_deleted(name, bytes, card_bytes.contains(utf16)); // unless a later file took the entry
    };
    for (int number : {2, 4, 5})
        note(shot(number), shots[number]);
    note(adobe, adobe_photo);
    card_bytes.clear();
    return true;
}

// The photos split by exfat-fuse, which takes the first free clusters and
// clears a deleted file's chain: each deleted entry keeps only its first
// cluster and size.
bool CameraCard::write_fragmented(LoopDevice &loop, QString *why)
{
    const QString point = loop.mount_point + '/';
    FragmentingWrites writes;
    const bool ok = QDir(point).mkpath(FragmentingWrites::filler_folder)
        && writes.run([&](const QString &path, const QByteArray &bytes) { return write_file(point + path, bytes); },
                      [&](const QString &path) { return QFile::remove(point + path); })
        && run_tool("sync", {});
    loop.unmount();
    loop.detach();
    if (!ok)
        return refuse(why, "the files could not be written through exfat-fuse");
    card_bytes = read_file(image);
    heap_start = qint64(qFromLittleEndian<quint32>(card_bytes.constData() + 88)) << card_bytes[108];
    cluster = qint64(1) << (card_bytes[108] + card_bytes[109]);
    note_fragmented(writes);
    return true;
}

// The photos split by mtools, which goes on from its last allocation and
// clears a deleted file's chain: the card is filled before the holes are
// made, so the photos go into them.
bool CameraCard::make_fat32_fragmented(const QString &directory, QString *why)
{
    if (const QStringList missing = missing_tools({"mkfs.fat", "mcopy", "mmd", "mdel", "mdir"}); !missing.isEmpty())
        return refuse(why, "needs " + missing.join(' '));
    image = directory + "/fat32-fragmented.img";
    FatImage card;
    const auto free_bytes = [&] { // "41 281 024 bytes free"
        QByteArray listing;
        run_tool(QStringLiteral("mdir"), {QStringLiteral("-i"), image, QStringLiteral("::")}, &listing);
        listing.truncate(listing.indexOf(" bytes free"));
        return listing.mid(listing.lastIndexOf('\n') + 1).replace(' ', "").toLongLong();
    };
    FragmentingWrites writes;
    const bool ok = card.create(image, 64 * mib, QStringLiteral("CANON"), {"-S", "512", "-s", "1"})
        && card.make_folder("DCIM") && card.make_folder(FragmentingWrites::folder.chopped(1))
        && card.make_folder(FragmentingWrites::filler_folder.chopped(1))
        && writes.run([&](const QString &path, const QByteArray &bytes) { return card.put(path, bytes); },
                      [&](const QString &path) { return card.remove(path); }, free_bytes);
    if (!ok)
        return refuse(why, "mkfs.fat, mcopy or mdel failed");
    card_bytes = read_file(image);
    note_fragmented(writes);
    return true;
}

void CameraCard::note_fragmented(const FragmentingWrites &writes)
{
    live = writes.live;
    for (auto photo = writes.deleted.cbegin(); photo != writes.deleted.cend(); ++photo)
        note_deleted(photo.key(), photo.value(), true);
    card_bytes.clear();
}

// A stick a desktop formatted ext4: the live photos are known from the file
// system; a delete leaves the entry no blocks, so the deleted ones come back numbered.
bool CameraCard::make_ext4(const QString &directory, QString *why)
{
    if (const QStringList missing = missing_tools({"mkfs.ext4", "debugfs"}); !missing.isEmpty())
        return refuse(why, "needs " + missing.join(' '));
    image = directory + "/ext4.img";
    if (!make_blank_image(image, 32 * mib))
        return refuse(why, "cannot make the image");
    const auto debugfs = [&](const QString &request) { return run_tool("debugfs", {"-w", "-R", request, image}); };
    QMap<int, QByteArray> shots;
    const auto shoot = [&](int number) {
        shots.insert(number, photo(number));
        const QString source = directory + "/" + shot(number);
        return write_file(source, shots[number]) && debugfs("write " + source + " DCIM/" + shot(number));
    };
    bool ok = run_tool("mkfs.ext4", {"-q", "-F", "-b", "1024", image}) && debugfs("mkdir DCIM");
    ok = ok && shoot(1) && shoot(2) && shoot(3) && debugfs("rm DCIM/" + shot(2)) && shoot(4);
    if (!ok)
        return refuse(why, "mkfs.ext4 or debugfs failed");
    card_bytes = read_file(image);
    for (int number : {1, 3, 4})
        live.append(shots[number]);
    note_deleted(shot(2), shots[2], false);
    card_bytes.clear();
    return true;
}

} // namespace testsupport
