#include "exiftags.h"

#include "testsupport.h"

#include <QTemporaryDir>

namespace testsupport {

QByteArray with_exif_tags(const QByteArray &jpeg, const QStringList &assignments)
{
    QTemporaryDir dir;
    const QString photo = dir.filePath(QStringLiteral("photo.jpg"));
    if (!write_file(photo, jpeg))
        return {};
    const QStringList arguments = QStringList{QStringLiteral("-q"), QStringLiteral("-overwrite_original")}
                                  + assignments + QStringList{photo};
    if (!run_tool(QStringLiteral("exiftool"), arguments))
        return {};
    return read_file(photo);
}

} // namespace testsupport
