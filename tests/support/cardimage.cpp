#include "cardimage.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>

namespace testsupport {

bool SampleCard::make(const QString &directory, QString *error)
{
    image = directory + "/card.img";
    live = directory + "/live";
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VELVORA_MAKE_PHOTO", VELVORA_MAKE_PHOTO_PATH);
    const ProgramRun made = run_program("bash", {VELVORA_SOURCE_DIR "/scripts/make-sample-card.sh", image}, environment);
    *error = made.exit_code == 0 ? QString() : "make-sample-card.sh failed: " + QString::fromLocal8Bit(made.err);
    const QString expected = image + ".expected/";
    live_paths = QString::fromUtf8(read_file(expected + "live.txt")).split('\n', Qt::SkipEmptyParts);
    deleted_paths = QString::fromUtf8(read_file(expected + "deleted.txt")).split('\n', Qt::SkipEmptyParts);
    deleted.clear();
    for (const QString &path : std::as_const(deleted_paths))
        deleted.append(read_file(expected + "deleted/" + QFileInfo(path).fileName()));
    open_to_everyone(directory);
    open_to_everyone(image);
    if (error->isEmpty() && !(QDir().mkpath(live) && run_tool("mcopy", {"-s", "-n", "-i", image, "::/*", live})))
        *error = "mcopy could not copy the live files off the card";
    return error->isEmpty();
}

QStringList SampleCard::recovered_names() const
{
    QStringList names;
    for (int i = 1; i <= deleted.size(); ++i)
        names.append(QString::asprintf("IMAGE_%04d.JPG", i));
    return names;
}

} // namespace testsupport
