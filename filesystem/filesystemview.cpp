#include "filesystemview.h"

#include <QHash>

namespace {

// What a name says apart from its first character: digits as a class,
// everything else as it stands (case aside).
QString pattern_after_first(const QString &name)
{
    QString pattern;
    pattern.reserve(name.size());
    for (qsizetype i = 1; i < name.size(); ++i)
        pattern.append(name.at(i).isDigit() ? QLatin1Char('#') : name.at(i).toUpper());
    return pattern;
}

bool lost_first_letter(const FileEntry &file)
{
    return file.deleted && file.short_name_only && file.name.startsWith(QLatin1Char('_'));
}

// What a photo's or a video's first bytes must be, by its name's extension;
// null for names that say nothing.
bool (*signature_check(const QString &name))(const QByteArray &)
{
    const QString suffix = name.section(QLatin1Char('.'), -1).toUpper();
    if (suffix == QLatin1String("JPG") || suffix == QLatin1String("JPEG"))
        return [](const QByteArray &head) { return head.startsWith("\xFF\xD8\xFF"); };
    if (suffix == QLatin1String("AVI"))
        return [](const QByteArray &head) { return head.startsWith("RIFF") && head.mid(8, 4) == "AVI "; };
    if (suffix == QLatin1String("MP4") || suffix == QLatin1String("MOV") || suffix == QLatin1String("HEIC")
        || suffix == QLatin1String("3GP"))
        return [](const QByteArray &head) {
            const QByteArray type = head.mid(4, 4);
            return type == "ftyp" || type == "moov" || type == "mdat" || type == "wide" || type == "free";
        };
    return nullptr;
}

} // namespace

bool FileSystemView::live_files_agree(const Reader &read, int most_checked) const
{
    int checked = 0;
    for (const FileEntry &file : files) {
        if (checked >= most_checked)
            break;
        const auto agrees = signature_check(file.name);
        if (file.deleted || file.shared_content || file.runs.isEmpty() || file.size < 12 || !agrees)
            continue;
        ++checked;
        if (!agrees(read(file.runs.first().offset, 12)))
            return false;
    }
    return checked > 0;
}

void FileSystemView::restore_first_letters()
{
    // For each folder and pattern, how often each first letter stands there.
    QHash<QString, QHash<QChar, int>> letters;
    for (const FileEntry &file : std::as_const(files)) {
        if (!file.name.isEmpty() && !lost_first_letter(file))
            ++letters[file.folder + QLatin1Char('/') + pattern_after_first(file.name)][file.name.at(0)];
    }
    for (FileEntry &file : files) {
        if (!lost_first_letter(file))
            continue;
        const auto found = letters.constFind(file.folder + QLatin1Char('/') + pattern_after_first(file.name));
        if (found == letters.cend())
            continue;
        QChar best;
        int most = 0;
        for (auto letter = found->cbegin(); letter != found->cend(); ++letter) {
            if (letter.value() > most) {
                most = letter.value();
                best = letter.key();
            }
        }
        file.name[0] = best;
    }
}

quint32 FileSystemView::cluster_at(qint64 offset) const
{
    return quint32(2 + (offset - data_start) / cluster_size);
}

void FileSystemView::index_deleted()
{
    deleted_by_key.clear();
    for (int i = 0; i < files.size(); ++i) {
        const FileEntry &file = files.at(i);
        if (!file.deleted)
            continue;
        if (fat_family && file.first_cluster >= 2)
            deleted_by_key.insert(file.first_cluster & 0xFFFF, i);
        else if (!fat_family && file.first_offset >= 0)
            deleted_by_key.insert(quint32(quint64(file.first_offset) / quint64(qMax<qint64>(block_size, 1))), i);
    }
}

const FileEntry *FileSystemView::deleted_entry_at(qint64 offset, qint64 length) const
{
    if (!is_read() || offset < data_start)
        return nullptr;
    quint32 key = 0;
    quint32 cluster = 0;
    if (fat_family) {
        if ((offset - data_start) % cluster_size != 0)
            return nullptr;
        cluster = cluster_at(offset);
        key = cluster & 0xFFFF;
    } else {
        key = quint32(quint64(offset) / quint64(qMax<qint64>(block_size, 1)));
    }
    // Ranked: the whole first cluster before its low half, the photo's very
    // size before a larger one (the smaller, the likelier).
    const FileEntry *best = nullptr;
    int best_rank = 0;
    for (auto i = deleted_by_key.constFind(key); i != deleted_by_key.cend() && i.key() == key; ++i) {
        const FileEntry &file = files.at(i.value());
        bool same_start = false;
        bool low_half = false;
        if (fat_family) {
            same_start = file.first_cluster == cluster;
            low_half = fat32 && !same_start && file.first_cluster <= 0xFFFF;
        } else {
            same_start = file.first_offset == offset;
        }
        if ((!same_start && !low_half) || file.size < length)
            continue;
        const int rank = (same_start ? 2 : 0) + (file.size == length ? 4 : 0) + 1;
        if (rank > best_rank || (rank == best_rank && best && file.size < best->size)) {
            best = &file;
            best_rank = rank;
        }
    }
    return best;
}
