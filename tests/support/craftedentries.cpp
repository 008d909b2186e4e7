#include "craftedentries.h"

#include "testsupport.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QtEndian>

#include <algorithm>
#include <functional>

namespace testsupport {

namespace {

quint32 u32(const QByteArray &bytes, qint64 at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

quint16 u16(const QByteArray &bytes, qint64 at)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

void put32(QByteArray &bytes, qint64 at, quint32 value)
{
    qToLittleEndian(value, bytes.data() + at);
}

void put16(QByteArray &bytes, qint64 at, quint16 value)
{
    qToLittleEndian(value, bytes.data() + at);
}

bool refuse(QString *why, const QString &reason)
{
    *why = reason;
    return false;
}

QByteArray name_of(int number)
{
    return QByteArray::number(number).rightJustified(7, '0').prepend('C');
}

// A card's layout as its boot sector gives it; clusters are numbered from 2.
struct Layout
{
    qint64 cluster_bytes = 0;
    qint64 heap = 0;      // where cluster 2 begins
    qint64 fat = 0;       // where the first FAT begins
    qint64 fat_bytes = 0; // one FAT's length
    int fats = 1;
    quint32 clusters = 0;
    quint32 root = 0;

    qint64 at(quint32 cluster) const { return heap + qint64(cluster - 2) * cluster_bytes; }
};

// The clusters of a chain, first to last, as a FAT links them.
QList<quint32> chain_of(const QByteArray &card, const Layout &layout, quint32 first, quint32 end_from, quint32 mask)
{
    QList<quint32> chain;
    for (quint32 c = first; c >= 2 && c < layout.clusters + 2 && chain.size() <= qsizetype(layout.clusters);
         c = u32(card, layout.fat + 4 * c) & mask) {
        chain.append(c);
        if ((u32(card, layout.fat + 4 * c) & mask) >= end_from)
            break;
    }
    return chain;
}

void link(QByteArray &card, const Layout &layout, const QList<quint32> &chain, quint32 end)
{
    for (qsizetype i = 0; i < chain.size(); ++i) {
        const quint32 next = i + 1 < chain.size() ? chain[i + 1] : end;
        for (int copy = 0; copy < layout.fats; ++copy)
            put32(card, layout.fat + copy * layout.fat_bytes + 4 * chain[i], next);
    }
}

// Writes entries (count of them, of entry_bytes each, made by entry()) from
// the first unused slot of the root folder on, growing its chain with
// clusters taken from spare; false when spare runs out.
bool fill_root(QByteArray &card, const Layout &layout, QList<quint32> &spare, quint32 end_from, quint32 mask,
               quint32 end, int count, int entry_bytes, const std::function<QByteArray(int)> &entry)
{
    QList<quint32> root = chain_of(card, layout, layout.root, end_from, mask);
    qint64 slot = 0; // bytes into the root folder
    while (slot < root.size() * layout.cluster_bytes
           && card.at(layout.at(root[slot / layout.cluster_bytes]) + slot % layout.cluster_bytes) != 0)
        slot += 32;
    const qint64 needed = slot + qint64(count) * entry_bytes;
    while (root.size() * layout.cluster_bytes < needed) {
        if (spare.isEmpty())
            return false;
        const quint32 cluster = spare.takeLast();
        card.replace(layout.at(cluster), layout.cluster_bytes, QByteArray(layout.cluster_bytes, 0));
        root.append(cluster);
    }
    link(card, layout, root, end);
    for (int i = 0; i < count; ++i) {
        const QByteArray bytes = entry(i + 1);
        for (qsizetype b = 0; b < bytes.size(); b += 32, slot += 32)
            card.replace(layout.at(root[slot / layout.cluster_bytes]) + slot % layout.cluster_bytes, 32,
                         bytes.mid(b, 32));
    }
    return true;
}

quint16 exfat_rotate(quint16 sum, quint8 byte)
{
    return quint16(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
}

QByteArray exfat_entry_set(const QByteArray &name, quint32 first_cluster, qint64 length)
{
    QByteArray set(96, 0);
    set[0] = char(0x85);
    set[1] = 2;
    put16(set, 4, 0x20);
    const quint32 stamp = (quint32(2024 - 1980) << 25) | (1 << 21) | (1 << 16) | (12 << 11); // 2024-01-01 12:00
    for (int at : {8, 12, 16})
        put32(set, at, stamp);
    set[32] = char(0xC0);
    set[33] = 3; // allocation possible, no FAT chain
    set[35] = char(name.size());
    quint16 hash = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        hash = exfat_rotate(hash, quint8(name[i]));
        hash = exfat_rotate(hash, 0);
        set[66 + 2 * i] = name[i];
    }
    put16(set, 36, hash);
    qToLittleEndian<quint64>(quint64(length), set.data() + 40);
    put32(set, 52, first_cluster);
    qToLittleEndian<quint64>(quint64(length), set.data() + 56);
    set[64] = char(0xC1);
    quint16 sum = 0;
    for (int i = 0; i < set.size(); ++i)
        if (i != 2 && i != 3)
            sum = exfat_rotate(sum, quint8(set[i]));
    put16(set, 2, sum);
    return set;
}

bool write_back(const QString &image, const QByteArray &card, QString *why)
{
    return write_file(image, card) || refuse(why, "cannot write " + image);
}

} // namespace

bool CraftedEntries::add_to_fat32(const QString &image, int count, int pieces, QString *why)
{
    QByteArray card = read_file(image);
    if (card.size() < 512 || card.mid(82, 5) != "FAT32")
        return refuse(why, image + " is no FAT32 image");
    Layout layout;
    const qint64 sector = u16(card, 11);
    layout.cluster_bytes = sector * quint8(card[13]);
    layout.fat = u16(card, 14) * sector;
    layout.fats = quint8(card[16]);
    layout.fat_bytes = u32(card, 36) * sector;
    layout.heap = layout.fat + layout.fats * layout.fat_bytes;
    layout.clusters = quint32((card.size() - layout.heap) / layout.cluster_bytes);
    layout.root = u32(card, 44);
    QList<quint32> free; // ascending; taken from the end
    for (quint32 c = 2; c < layout.clusters + 2; ++c)
        if ((u32(card, layout.fat + 4 * c) & 0x0FFFFFFF) == 0)
            free.append(c);
    QList<quint32> shared;
    while (shared.size() < pieces && free.size() >= 2) {
        shared.prepend(free.takeLast());
        free.removeLast(); // every other cluster: no two pieces touch
    }
    if (shared.size() < pieces)
        return refuse(why, "the card has too few free clusters");
    std::reverse(shared.begin(), shared.end()); // pieces run backwards over the volume
    link(card, layout, shared, 0x0FFFFFFF);
    const qint64 length = qint64(pieces) * layout.cluster_bytes;
    const auto entry = [&](int number) {
        QByteArray bytes(32, 0);
        bytes.replace(0, 11, name_of(number) + "JPG");
        bytes[11] = 0x20;
        put16(bytes, 20, quint16(shared.first() >> 16));
        put16(bytes, 26, quint16(shared.first() & 0xFFFF));
        put32(bytes, 28, quint32(length));
        return bytes;
    };
    if (!fill_root(card, layout, free, 0x0FFFFFF8, 0x0FFFFFFF, 0x0FFFFFFF, count, 32, entry))
        return refuse(why, "the card has too few free clusters for the entries");
    return write_back(image, card, why);
}

bool CraftedEntries::add_to_exfat(const QString &image, int count, int pieces, QString *why)
{
    QByteArray card = read_file(image);
    if (card.size() < 512 || card.mid(3, 5) != "EXFAT")
        return refuse(why, image + " is no exFAT image");
    Layout layout;
    const qint64 sector = qint64(1) << quint8(card[108]);
    layout.cluster_bytes = sector << quint8(card[109]);
    layout.fat = u32(card, 80) * sector;
    layout.fat_bytes = u32(card, 84) * sector;
    layout.heap = u32(card, 88) * sector;
    layout.clusters = u32(card, 92);
    layout.root = u32(card, 96);
    // The allocation bitmap, from its entry in the root folder.
    qint64 bitmap = -1;
    for (qint64 at = layout.at(layout.root); at < layout.at(layout.root) + layout.cluster_bytes; at += 32)
        if (quint8(card[at]) == 0x81)
            bitmap = layout.at(u32(card, at + 20));
    if (bitmap < 0)
        return refuse(why, "no allocation bitmap in the root folder");
    const auto in_use = [&](quint32 c) { return card[bitmap + (c - 2) / 8] & (1 << ((c - 2) % 8)); };
    const auto take = [&](quint32 c) { card[bitmap + (c - 2) / 8] = char(card[bitmap + (c - 2) / 8] | (1 << ((c - 2) % 8))); };
    QList<quint32> free;
    for (quint32 c = 2; c < layout.clusters + 2; ++c)
        if (!in_use(c))
            free.append(c);
    // The shared run: the last pieces free clusters in a row.
    quint32 last = 0;
    for (qsizetype i = free.size() - 1; i >= pieces - 1 && !last; --i)
        if (free[i] - free[i - pieces + 1] == quint32(pieces - 1))
            last = free[i];
    if (!last)
        return refuse(why, "no free run of that many clusters");
    const quint32 first = last - quint32(pieces) + 1;
    for (quint32 c = first; c <= last; ++c)
        take(c);
    free.erase(std::remove_if(free.begin(), free.end(), [&](quint32 c) { return c >= first; }), free.end());
    const qint64 length = qint64(pieces) * layout.cluster_bytes;
    QList<quint32> spare = free;
    const qsizetype before = spare.size();
    if (!fill_root(card, layout, spare, 0xFFFFFFF8, 0xFFFFFFFF, 0xFFFFFFFF, count, 96,
                   [&](int number) { return exfat_entry_set(name_of(number) + ".JPG", first, length); }))
        return refuse(why, "the card has too few free clusters for the entries");
    for (qsizetype i = spare.size(); i < before; ++i)
        take(free[i]);
    return write_back(image, card, why);
}

} // namespace testsupport
