#include "phototooltip.h"

#include "safename.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringList>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

} // namespace

QString photo_byte_size(qint64 bytes)
{
    const QLocale locale;
    return tr("%1 (%2 bytes)")
        .arg(locale.formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat), locale.toString(bytes));
}

QString photo_origin(const PhotoFacts &facts)
{
    if (!facts.origin.is_known())
        return tr("Original name not known; found by its content.");
    return tr("%1, deleted").arg(facts.origin.folder.isEmpty() ? QStringLiteral("/")
                                                                : SafeName::for_display(facts.origin.folder));
}

QString photo_tooltip(const QString &name, const PhotoFacts &facts)
{
    const QLocale locale;
    // A made-up name must not pass for the camera's.
    QStringList lines{name, photo_origin(facts)};
    if (facts.pixel_size.isValid())
        lines << tr("%1 x %2 pixels").arg(facts.pixel_size.width()).arg(facts.pixel_size.height());
    lines << photo_byte_size(facts.length);
    lines << tr("On the card at byte %1 (%2 in)")
                 .arg(locale.toString(facts.offset),
                      locale.formattedDataSize(facts.offset, 1, QLocale::DataSizeSIFormat));
    const QDateTime taken = facts.exif.date_taken();
    if (taken.isValid())
        lines << tr("Taken %1 at %2")
                     .arg(locale.toString(taken.date(), QLocale::LongFormat),
                          locale.toString(taken.time(), QLocale::ShortFormat));
    const QString camera = facts.exif.camera();
    if (!camera.isEmpty())
        lines << tr("Camera: %1").arg(SafeName::for_display(camera));
    if (facts.origin.is_known()) {
        // the times its entry kept
        const auto time_line = [&](const char *text, const QDateTime &time) {
            if (time.isValid())
                lines << tr(text).arg(locale.toString(time.toLocalTime(), QLocale::ShortFormat));
        };
        time_line(QT_TRANSLATE_NOOP("MainWindow", "Modified %1"), facts.origin.modified);
        time_line(QT_TRANSLATE_NOOP("MainWindow", "Created %1"), facts.origin.created);
    }
    if (facts.partial)
        lines << tr("Only its top part could be recovered.");
    if (facts.damaged)
        lines << tr("Recovered whole, but a few of its bytes were damaged on the card: it shows a flaw from there on.");
    if (facts.no_preview)
        lines << tr("No preview: the photo is too large to decode while scanning. It is recovered all the same.");
    return lines.join(QLatin1Char('\n'));
}
