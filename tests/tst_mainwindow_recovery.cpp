// Whole runs of the window over real card images: a FAT32 image made with
// mkfs.fat and mtools with deleted photos, scanned, ticked and restored into
// a folder the test picks in the real folder dialog; the refusals and the
// failure messages of the recovery; and a live loop device mounted with
// exfat-fuse, listed by the real enumeration.

#include "tst_mainwindow_support.h"

#include "deviceenumeration.h"
#include "resultsdelegate.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QDirIterator>
#include <QLabel>
#include <QProcess>
#include <QProgressDialog>
#include <QTemporaryDir>

using namespace windowtest;

namespace {

const QString scan_done = QStringLiteral("Scanning finished");

// A card image: photos still on it as files, and photos deleted from it.
struct Card
{
    QString image;
    QString root;   // its live files, copied out, standing in for the mount point
    QList<QByteArray> kept;
    QList<QByteArray> deleted;
};

bool make_card(const QString &directory, Card &card)
{
    testsupport::FatImage fat;
    card.image = QDir(directory).filePath(QStringLiteral("card.img"));
    card.root = QDir(directory).filePath(QStringLiteral("mounted"));
    if (!fat.create(card.image, 40 * 1024 * 1024, QStringLiteral("CAMERA")) || !fat.mkdir(QStringLiteral("DCIM")))
        return false;
    for (int i = 0; i < 6; ++i) {
        const QImage picture = testsupport::make_picture(640 - 32 * i, 480, 100 + i);
        QByteArray jpeg = i % 2 ? testsupport::cjpeg(picture) : testsupport::qt_jpeg(picture, 80 + i);
        if (jpeg.isEmpty())
            jpeg = testsupport::qt_jpeg(picture, 70 + i);
        const QString name = QStringLiteral("DCIM/DSC_%1.JPG").arg(i);
        if (!fat.put(name, jpeg))
            return false;
        (i % 3 == 1 ? card.deleted : card.kept).append(jpeg);
    }
    for (int i = 1; i < 6; i += 3) {
        if (!fat.remove(QStringLiteral("DCIM/DSC_%1.JPG").arg(i)))
            return false;
    }
    // one more deleted photo, a big one, written after the others
    const QByteArray big = testsupport::qt_jpeg(testsupport::make_picture(2000, 1500, 7), 95);
    if (!fat.put(QStringLiteral("DCIM/BIG.JPG"), big) || !fat.remove(QStringLiteral("DCIM/BIG.JPG")))
        return false;
    card.deleted.append(big);
    return QDir().mkpath(card.root) && fat.extract_all(card.root);
}

QStringList files_in(const QString &directory)
{
    QStringList names = QDir(directory).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System
                                                  | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

QPoint check_box_point(QListWidget *list, int row)
{
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.rect = list->visualItemRect(list->item(row));
    const auto *delegate = qobject_cast<ResultsDelegate *>(list->itemDelegate());
    return delegate->check_box_rect(option, list->model()->index(row, 0)).center();
}

using testsupport::tool_output;

} // namespace

class TestMainWindowRecovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void whole_run_recovers_the_ticked_photos();
    void recovery_refusals();
    void taken_names_are_never_replaced();
    void cancel_stops_between_files();
    void live_loop_device_mounted_with_exfat_fuse();

private:
    // Scans the card on a fresh window; leaves it on page 2 with the results.
    void scan_card(MainWindow &window, FakeDevices &fake);

    QTemporaryDir scratch;
    Card card;
};

void TestMainWindowRecovery::initTestCase()
{
    const QStringList missing = testsupport::missing_tools({QStringLiteral("mkfs.fat"), QStringLiteral("mcopy")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("not installed: %1").arg(missing.join(QLatin1Char(' ')))));
    QVERIFY(scratch.isValid());
    QVERIFY(make_card(scratch.path(), card));
    QCOMPARE(card.deleted.size(), 3);
}

void TestMainWindowRecovery::scan_card(MainWindow &window, FakeDevices &fake)
{
    start_scan(window, fake, image_device(card.image, QStringLiteral("CAMERA"), card.root));
    QCOMPARE(page_of(window), 2);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(window, "label_3")->text(), scan_done, 60000);
}

void TestMainWindowRecovery::whole_run_recovers_the_ticked_photos()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalAnswerer answers;
    scan_card(window, fake);

    // the live photos were indexed, so only the deleted ones are offered
    auto *list = child<QListWidget>(window, "listWidget_2");
    QCOMPARE(list->count(), card.deleted.size());

    // "Select all" off and on again, then the second photo unticked by hand
    auto *all = child<QCheckBox>(window, "checkBox");
    QVERIFY(!all->isHidden());
    all->click();
    all->click();
    QVERIFY(all->isChecked());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, check_box_point(list, 1));
    QCOMPARE(list->item(1)->checkState(), Qt::Unchecked);

    QTemporaryDir target;
    QVERIFY(target.isValid());
    // an earlier recovery left IMAGE_0001.JPG there: it stays, and the
    // photo goes under the next number
    const QByteArray earlier(3 * 1024 * 1024, 'x');
    QVERIFY(testsupport::write_file(target.filePath("IMAGE_0001.JPG"), earlier));

    int progress_seen = 0;
    QString progress_title;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget())) {
            progress_title = dialog->windowTitle();
            progress_seen = dialog->maximum();
        }
    });
    watch.start(1);
    answers.choose_directory(target.path());
    answers.press_ok();
    child<QPushButton>(window, "pushButton")->click();
    watch.stop();

    QCOMPARE(answers.pending(), 0);
    QVERIFY2(answers.unexpected.isEmpty(), qPrintable(answers.unexpected.join("; ")));
    QVERIFY(answers.seen.last().text.endsWith("\nIMAGE_0001.JPG as IMAGE_0002.JPG"));
    QCOMPARE(page_of(window), 3);
    QCOMPARE(files_in(target.path()), (QStringList{"IMAGE_0001.JPG", "IMAGE_0002.JPG", "IMAGE_0003.JPG"}));
    QCOMPARE(testsupport::read_file(target.filePath("IMAGE_0001.JPG")), earlier);
    QCOMPARE(testsupport::read_file(target.filePath("IMAGE_0002.JPG")), card.deleted.at(0));
    QCOMPARE(testsupport::read_file(target.filePath("IMAGE_0003.JPG")), card.deleted.at(2));
    if (progress_seen) {
        QCOMPARE(progress_title, QStringLiteral("DodurEdivezav"));
        QCOMPARE(progress_seen, 2);
    }

    // back to the results as they were, and a second recovery of all three:
    // the photos already there are not written twice
    child<QPushButton>(window, "pushButton_9")->click();
    QCOMPARE(page_of(window), 2);
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->item(1)->checkState(), Qt::Unchecked);
    all->click();
    all->click();
    answers.choose_directory(target.path());
    answers.press_ok();
    child<QPushButton>(window, "pushButton")->click();
    QCOMPARE(page_of(window), 3);
    QCOMPARE(files_in(target.path()),
             (QStringList{"IMAGE_0001.JPG", "IMAGE_0002.JPG", "IMAGE_0003.JPG", "IMAGE_0004.JPG"}));
    QCOMPARE(testsupport::read_file(target.filePath("IMAGE_0004.JPG")), card.deleted.at(1));
    QCOMPARE(window.restore_counts().written, 3);
    QCOMPARE(window.restore_counts().renamed, 2);
    answers.seen.clear();

    // "Close" on the final page closes without a question
    child<QPushButton>(window, "pushButton_3")->click();
    QVERIFY(!window.isVisible());
    QVERIFY(answers.seen.isEmpty());
}

void TestMainWindowRecovery::recovery_refusals()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    scan_card(window, fake);
    auto *restore = child<QPushButton>(window, "pushButton");
    QTemporaryDir target;
    QVERIFY(target.isValid());

    // nothing ticked: no folder dialog
    child<QCheckBox>(window, "checkBox")->click();
    answers.press_ok();
    restore->click();
    QCOMPARE(answers.seen.last().text, QStringLiteral("Please select files to recover"));
    QCOMPARE(answers.seen.last().title, QString());
    child<QCheckBox>(window, "checkBox")->click();

    // the folder dialog cancelled: nothing happens
    answers.choose_directory(QString());
    restore->click();
    QCOMPARE(answers.pending(), 0);
    QCOMPARE(page_of(window), 2);

    // the card gone since the scan: said so, nothing written
    const QString moved = card.image + QStringLiteral(".away");
    QVERIFY(QFile::rename(card.image, moved));
    answers.choose_directory(target.path());
    answers.press_ok();
    restore->click();
    QVERIFY(QFile::rename(moved, card.image));
    QCOMPARE(answers.pending(), 0);
    QCOMPARE(answers.seen.last().text,
             QStringLiteral("The device could not be opened to recover the photos.\nNo such device or image file."));
    QCOMPARE(page_of(window), 2);
    QVERIFY(files_in(target.path()).isEmpty());
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindowRecovery::taken_names_are_never_replaced()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    scan_card(window, fake);

    QTemporaryDir target;
    QVERIFY(target.isValid());
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    // a folder holds the name IMAGE_0002.JPG
    QVERIFY(QDir(target.path()).mkdir("IMAGE_0002.JPG"));
    // IMAGE_0003.JPG is a link to a file outside
    const QString outside = elsewhere.filePath("precious.txt");
    QVERIFY(testsupport::write_file(outside, "keep me"));
    QVERIFY(QFile::link(outside, target.filePath("IMAGE_0003.JPG")));

    answers.choose_directory(target.path());
    answers.press_ok();
    child<QPushButton>(window, "pushButton")->click();
    QCOMPARE(answers.pending(), 0);

    // neither is replaced: the photos go under the next free numbers
    QCOMPARE(answers.seen.size(), 1);
    QCOMPARE(answers.seen.at(0).text,
             QStringLiteral("2 photo(s) were saved under other names, because files of their names with other contents "
                            "were already in the folder:\nIMAGE_0002.JPG as IMAGE_0004.JPG\nIMAGE_0003.JPG as IMAGE_0005.JPG"));
    QCOMPARE(page_of(window), 3);
    QCOMPARE(files_in(target.path()),
             (QStringList{"IMAGE_0001.JPG", "IMAGE_0002.JPG", "IMAGE_0003.JPG", "IMAGE_0004.JPG", "IMAGE_0005.JPG"}));
    QVERIFY(QDir(target.filePath("IMAGE_0002.JPG")).isEmpty());
    QVERIFY(QFileInfo(target.filePath("IMAGE_0003.JPG")).isSymLink());
    QCOMPARE(testsupport::read_file(target.filePath("IMAGE_0004.JPG")), card.deleted.at(1));
    QCOMPARE(testsupport::read_file(target.filePath("IMAGE_0005.JPG")), card.deleted.at(2));
    QCOMPARE(testsupport::read_file(outside), QByteArray("keep me"));
    QCOMPARE(testsupport::read_file(target.filePath("IMAGE_0001.JPG")), card.deleted.at(0));
    QCOMPARE(window.restore_counts().written, 3);
    QCOMPARE(window.restore_counts().renamed, 2);
}

void TestMainWindowRecovery::cancel_stops_between_files()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    scan_card(window, fake);
    QTemporaryDir target;
    QVERIFY(target.isValid());

    // Cancel is pressed as soon as the progress dialog shows, that is while
    // the first photo is being written.
    QPointer<QProgressDialog> progress;
    int maximum = -1;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget());
        if (dialog && !dialog->wasCanceled()) {
            progress = dialog;
            maximum = dialog->maximum();
            dialog->cancel();
        }
    });
    watch.start(0);
    answers.choose_directory(target.path());
    child<QPushButton>(window, "pushButton")->click();
    watch.stop();

    QCOMPARE(maximum, 3);
    QCOMPARE(page_of(window), 3); // the final page follows a cancel too
    const QStringList written = files_in(target.path());
    QVERIFY2(!written.isEmpty() && written.size() < 3, qPrintable(written.join(' ')));
    for (int i = 0; i < written.size(); ++i) {
        QCOMPARE(written.at(i), QString::asprintf("IMAGE_%04d.JPG", i + 1)); // in name order
        QCOMPARE(testsupport::read_file(target.filePath(written.at(i))), card.deleted.at(i));
    }
    QTRY_VERIFY(progress.isNull()); // released once the event loop runs
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindowRecovery::live_loop_device_mounted_with_exfat_fuse()
{
    if (!testsupport::missing_tools({"losetup", "mkfs.exfat", "mount.exfat-fuse", "umount"}).isEmpty())
        QSKIP("losetup, mkfs.exfat or mount.exfat-fuse is not installed");
    if (!QFileInfo::exists("/dev/loop-control") || !QFileInfo::exists("/dev/fuse"))
        QSKIP("this machine has no loop devices or no FUSE");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString image = dir.filePath("exfat.img");
    const QString mount_point = dir.filePath("mnt");
    QVERIFY(QDir().mkpath(mount_point));
    QVERIFY(make_sparse_file(image, 48 * 1024 * 1024));
    QVERIFY(testsupport::run_tool("mkfs.exfat", {"-L", "VLVGUI", image}));
    const QString node = tool_output("losetup", {"-f", "--show", image});
    if (node.isEmpty())
        QSKIP("losetup could not attach an image here (no permission or no free loop device)");
    const auto detach = qScopeGuard([&] { testsupport::run_tool("losetup", {"-d", node}); });
    if (!testsupport::run_tool("mount.exfat-fuse", {node, mount_point}))
        QSKIP("exfat-fuse could not mount the loop device here");
    bool mounted = true;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            testsupport::run_tool("umount", {mount_point});
    });

    // a folder for the refusal below, made first: made later, it could take
    // the clusters of a deleted photo, as a real user's folder would
    const QString on_card = QDir(mount_point).filePath("out");
    QVERIFY(QDir().mkpath(on_card));

    // one photo kept, two deleted, written through the file system
    QList<QByteArray> photos;
    for (int i = 0; i < 3; ++i) {
        photos.append(testsupport::qt_jpeg(testsupport::make_picture(800, 600, 300 + i)));
        QVERIFY(testsupport::write_file(QDir(mount_point).filePath(QStringLiteral("P%1.JPG").arg(i)), photos.last()));
    }
    QVERIFY(QFile::remove(QDir(mount_point).filePath("P0.JPG")));
    QVERIFY(QFile::remove(QDir(mount_point).filePath("P2.JPG")));
    testsupport::run_tool("sync", {});

    // the real listing finds it, mount point and all
    MainWindow window;
    ModalAnswerer answers;
    auto *devices = child<QListWidget>(window, "deviceList");
    QVERIFY(QMetaObject::invokeMethod(&window, "on_device_changed"));
    int row = -1;
    for (int i = 0; i < devices->count(); ++i) {
        if (devices->item(i)->data(Qt::UserRole).toString() == node)
            row = i;
    }
    QVERIFY2(row >= 0, qPrintable(node + " is not listed"));
    QVERIFY(devices->item(row)->text().startsWith(QStringLiteral("VLVGUI (%1) - 48 MB\nexFAT").arg(QFileInfo(node).fileName())));
    devices->setCurrentRow(row);
    child<QPushButton>(window, "pushButton_4")->click();
    QCOMPARE(page_of(window), 2);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(window, "label_3")->text(), scan_done, 60000);
    auto *list = child<QListWidget>(window, "listWidget_2");
    QCOMPARE(list->count(), 2); // the live photo was indexed

    // a folder on the scanned card is refused
    answers.choose_directory(on_card);
    answers.press_ok();
    child<QPushButton>(window, "pushButton")->click();
    QCOMPARE(answers.pending(), 0);
    QVERIFY(answers.seen.last().text.startsWith(
        QStringLiteral("This folder is on the device the photos are recovered from.")));
    QVERIFY(QDir(on_card).isEmpty());
    QCOMPARE(page_of(window), 2);

    QTemporaryDir target;
    answers.choose_directory(target.path());
    child<QPushButton>(window, "pushButton")->click();
    QCOMPARE(page_of(window), 3);
    QCOMPARE(testsupport::read_file(target.filePath("IMAGE_0001.JPG")), photos.at(0));
    QCOMPARE(testsupport::read_file(target.filePath("IMAGE_0002.JPG")), photos.at(2));
    QVERIFY(answers.unexpected.isEmpty());

    testsupport::run_tool("umount", {mount_point});
    mounted = false;
}

QTEST_MAIN(TestMainWindowRecovery)
#include "tst_mainwindow_recovery.moc"
