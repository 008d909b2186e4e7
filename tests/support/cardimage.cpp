#include "cardimage.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>

namespace testsupport {

bool SampleCard::make(const QString &directory, QString *error)
{
    image = QDir(directory).filePath(QStringLiteral("card.img"));
    live = QDir(directory).filePath(QStringLiteral("live"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELVORA_MAKE_PHOTO"), QStringLiteral(VELVORA_MAKE_PHOTO_PATH));
    const ProgramRun made = run_program(QStringLiteral("bash"),
                                        {QStringLiteral(VELVORA_SOURCE_DIR "/scripts/make-sample-card.sh"), image},
                                        environment);
    if (made.exit_code != 0) {
        *error = QString::fromLocal8Bit(made.err);
        return false;
    }
    const auto lines = [this](const char *name) {
        return QString::fromUtf8(read_file(image + QStringLiteral(".expected/") + QLatin1String(name)))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    };
    live_paths = lines("live.txt");
    deleted_paths = lines("deleted.txt");
    deleted.clear();
    for (const QString &path : std::as_const(deleted_paths))
        deleted.append(read_file(image + QStringLiteral(".expected/deleted/") + QFileInfo(path).fileName()));
    open_to_everyone(directory);
    open_to_everyone(image);
    if (!QDir().mkpath(live)
        || !run_tool(QStringLiteral("mcopy"), {QStringLiteral("-s"), QStringLiteral("-n"), QStringLiteral("-i"),
                                               image, QStringLiteral("::/*"), live})) {
        *error = QStringLiteral("mcopy could not copy the live files off the card");
        return false;
    }
    return true;
}

QStringList SampleCard::recovered_names() const
{
    QStringList names;
    for (int i = 1; i <= deleted.size(); ++i)
        names.append(QString::asprintf("IMAGE_%04d.JPG", i));
    return names;
}

} // namespace testsupport
