#include "recoverysession.h"

#include "safename.h"

#include <QDir>
#include <QFileInfo>

RecoverySession::RecoverySession(const QString &source)
    : source(source)
{
}

RecoverySession::~RecoverySession() = default;

void RecoverySession::restart(const QString &new_source)
{
    source = new_source;
    names.clear();
    names_given.clear();
    unnamed = {};
    videos = 0;
    heic = 0;
    partial = 0;
    damaged = 0;
    named = 0;
    writer.reset();
}

QString RecoverySession::name_of(const FoundImage &image)
{
    const auto known = names.constFind(image.offset);
    if (known != names.cend())
        return *known;
    // A file whose deleted entry survives keeps its name, made safe; the
    // others are numbered among those of their kind, so a file's number does
    // not depend on which other kinds were looked for.
    const QString original = SafeName::file_name(image.origin.name);
    const QString base = original.isEmpty()
        ? PhotoWriter::numbered_name(image, ++unnamed[std::size_t(image.kind)])
        : original;
    QString name = base;
    for (int variant = 2; names_given.contains(name.toCaseFolded()); ++variant)
        name = PhotoWriter::variant_of(base, variant);
    named += original.isEmpty() ? 0 : 1;
    videos += image.kind == MediaKind::Video ? 1 : 0;
    heic += image.kind == MediaKind::HeicPhoto ? 1 : 0;
    partial += image.partial ? 1 : 0;
    damaged += image.damaged ? 1 : 0;
    names.insert(image.offset, name);
    names_given.insert(name.toCaseFolded());
    return name;
}

RecoverySession::Refusal RecoverySession::open_folder(const QString &directory, bool create)
{
    writer.reset();
    if (volume_platform::shares_storage(directory, source))
        return Refusal::OnScannedVolume;
    const QFileInfo info(directory);
    if (info.exists() && !info.isDir())
        return Refusal::NotAFolder;
    if (create && !QDir().mkpath(directory))
        return Refusal::CannotCreate;
    writer = std::make_unique<PhotoWriter>(directory);
    if (create && !writer->can_create()) {
        writer.reset();
        return Refusal::CannotWrite;
    }
    return Refusal::None;
}

PhotoWriter::Result RecoverySession::write(const FoundImage &image, const QByteArray &bytes,
                                          const std::optional<QDateTime> &taken)
{
    const QString name = name_of(image);
    if (!writer)
        writer = std::make_unique<PhotoWriter>(QString()); // no folder: the photo fails
    return writer->write(name, image, bytes, taken);
}

PhotoWriter::Result RecoverySession::copy(const FoundImage &image, volume_platform::Handle volume,
                                          const PhotoWriter::KeepGoing &keep_going)
{
    const QString name = name_of(image);
    if (!writer)
        writer = std::make_unique<PhotoWriter>(QString());
    return writer->copy(name, image, volume, keep_going);
}

QList<PhotoWriter::Result> RecoverySession::sync()
{
    return writer ? writer->sync() : QList<PhotoWriter::Result>();
}

RecoverySession::Counts RecoverySession::counts() const
{
    Counts counts;
    counts.found = int(names.size());
    counts.partial = partial;
    counts.damaged = damaged;
    counts.named = named;
    counts.videos = videos;
    counts.heic = heic;
    if (writer) {
        counts.written = writer->written();
        counts.renamed = writer->renamed();
        counts.present = writer->present();
        counts.failed = writer->failed();
        counts.unreadable_in_copies = writer->unreadable_in_copies();
    }
    return counts;
}
