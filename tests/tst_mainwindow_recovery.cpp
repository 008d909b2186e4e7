// Whole runs of the window over the sample FAT32 card: scanned, ticked and
// restored into a folder picked in the real folder dialog; the refusals and
// failure messages of the recovery; and a live loop device mounted with
// exfat-fuse, listed by the real enumeration.

#include "windowdriver.h"

#include "cardimage.h"
#include "resultsdelegate.h"
#include "testsupport.h"

#include <QProgressDialog>
#include <QTemporaryDir>
#include <QtTest>

using namespace windowtest;
using namespace testsupport;

namespace {

QStringList files_in(const QString &directory)
{
    return QDir(directory).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                     QDir::Name);
}

void tick(QListWidget *list, int row)
{
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.rect = list->visualItemRect(list->item(row));
    const auto *delegate = qobject_cast<ResultsDelegate *>(list->itemDelegate());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      delegate->check_box_rect(option, list->model()->index(row, 0)).center());
}

} // namespace

class TestMainWindowRecovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void whole_run_recovers_the_ticked_photos();
    void recovery_refusals();
    void failed_files_are_listed_and_links_replaced();
    void cancel_stops_between_files();
    void live_loop_device_mounted_with_exfat_fuse();

private:
    // Scans the card on the window, its live files standing in for the mount point.
    void scan_card(MainWindow &window, FakeDevices &fake);
    QTemporaryDir scratch;
    SampleCard card;
};

void TestMainWindowRecovery::initTestCase()
{
    const QStringList missing = missing_tools({"mkfs.fat", "mcopy", "cjpeg", "exiftool"});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("not installed: %1").arg(missing.join(' '))));
    QString error;
    QVERIFY2(card.make(scratch.path(), &error), qPrintable(error));
}

void TestMainWindowRecovery::scan_card(MainWindow &window, FakeDevices &fake)
{
    start_scan(window, fake, image_device(card.image, "VELVORA", card.live));
    QCOMPARE(page_of(window), scan_page);
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("Scanning finished"), 60000);
}

void TestMainWindowRecovery::whole_run_recovers_the_ticked_photos()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalAnswerer answers;
    scan_card(window, fake);
    auto *list = child<QListWidget>(window, ui::results);
    QCOMPARE(list->count(), card.deleted.size()); // the live photos were indexed
    tick(list, 1); // the second photo unticked by hand

    QTemporaryDir target;
    // an earlier recovery left IMAGE_0001.JPG there: it is replaced
    QVERIFY(write_file(target.filePath("IMAGE_0001.JPG"), QByteArray(3 * 1024 * 1024, 'x')));
    int progress_maximum = 0;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget()))
            progress_maximum = dialog->maximum();
    });
    watch.start(1);
    answers.choose_directory(target.path());
    click(window, ui::restore);
    watch.stop();
    QCOMPARE(page_of(window), final_page);
    QStringList names = card.recovered_names();
    names.removeAt(1);
    QCOMPARE(files_in(target.path()), names);
    for (int i = 0; i < card.deleted.size(); ++i) {
        if (i != 1)
            QCOMPARE(read_file(target.filePath(card.recovered_names()[i])), card.deleted[i]);
    }
    QVERIFY(progress_maximum == 0 || progress_maximum == card.deleted.size() - 1);

    // back to the results as they were, and a second recovery of all of them
    click(window, ui::final_back);
    QCOMPARE(page_of(window), scan_page);
    QCOMPARE(list->item(1)->checkState(), Qt::Unchecked);
    tick(list, 1);
    answers.choose_directory(target.path());
    click(window, ui::restore);
    QCOMPARE(files_in(target.path()), card.recovered_names());
    QCOMPARE(read_file(target.filePath("IMAGE_0002.JPG")), card.deleted[1]);

    click(window, ui::close); // on the final page: no question
    QVERIFY(!window.isVisible());
    QCOMPARE(answers.pending(), 0);
    QVERIFY(answers.seen.isEmpty());
    QVERIFY2(answers.unexpected.isEmpty(), qPrintable(answers.unexpected.join("; ")));
}

void TestMainWindowRecovery::recovery_refusals()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    scan_card(window, fake);
    QTemporaryDir target;

    // nothing ticked: no folder dialog
    click(window, ui::select_all);
    answers.press_ok();
    click(window, ui::restore);
    QCOMPARE(answers.seen.last().text, QStringLiteral("Please select files to recover"));
    click(window, ui::select_all);

    // the folder dialog cancelled: nothing happens
    answers.choose_directory(QString());
    click(window, ui::restore);
    QCOMPARE(answers.pending(), 0);
    QCOMPARE(answers.seen.size(), 1);

    // the card gone since the scan: said so, nothing written
    QVERIFY(QFile::rename(card.image, card.image + ".away"));
    answers.choose_directory(target.path());
    answers.press_ok();
    click(window, ui::restore);
    QVERIFY(QFile::rename(card.image + ".away", card.image));
    QCOMPARE(answers.seen.last().text,
             QStringLiteral("The device could not be opened to recover the photos.\nNo such device or image file."));
    QCOMPARE(page_of(window), scan_page);
    QVERIFY(files_in(target.path()).isEmpty());
    QVERIFY(answers.unexpected.isEmpty());
}

// IMAGE_0002.JPG cannot be created (a folder holds its name); IMAGE_0003.JPG
// is a link to a file outside, which is replaced, never followed.
void TestMainWindowRecovery::failed_files_are_listed_and_links_replaced()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    scan_card(window, fake);
    QTemporaryDir target, elsewhere;
    QVERIFY(QDir(target.path()).mkdir("IMAGE_0002.JPG"));
    const QString outside = elsewhere.filePath("precious.txt");
    QVERIFY(write_file(outside, "keep me"));
    QVERIFY(QFile::link(outside, target.filePath("IMAGE_0003.JPG")));

    answers.choose_directory(target.path());
    answers.press_ok();
    click(window, ui::restore);
    QCOMPARE(answers.pending(), 0);
    QCOMPARE(answers.seen.size(), 1);
    const QString message = answers.seen.at(0).text;
    QVERIFY2(message.startsWith("1 photo(s) could not be recovered into ") && message.contains("\nIMAGE_0002.JPG\n")
                 && !message.contains("IMAGE_0001.JPG"),
             qPrintable(message));
    QCOMPARE(page_of(window), final_page); // the final page follows the message
    QCOMPARE(files_in(target.path()), card.recovered_names());
    QVERIFY(QDir(target.filePath("IMAGE_0002.JPG")).isEmpty());
    QVERIFY(!QFileInfo(target.filePath("IMAGE_0003.JPG")).isSymLink());
    QCOMPARE(read_file(target.filePath("IMAGE_0003.JPG")), card.deleted[2]);
    QCOMPARE(read_file(outside), QByteArray("keep me"));
}

// Cancel is pressed as soon as the progress dialog shows, that is while the
// first photo is being written: the photos written so far stay, whole.
void TestMainWindowRecovery::cancel_stops_between_files()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    scan_card(window, fake);
    QTemporaryDir target;
    QPointer<QProgressDialog> progress;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget());
        if (dialog && !dialog->wasCanceled()) {
            progress = dialog;
            dialog->cancel();
        }
    });
    watch.start(0);
    answers.choose_directory(target.path());
    click(window, ui::restore);
    watch.stop();

    QCOMPARE(page_of(window), final_page); // the final page follows a cancel too
    const QStringList written = files_in(target.path());
    QVERIFY2(!written.isEmpty() && written.size() < card.deleted.size(), qPrintable(written.join(' ')));
    for (int i = 0; i < written.size(); ++i) {
        QCOMPARE(written[i], card.recovered_names()[i]);
        QCOMPARE(read_file(target.filePath(written[i])), card.deleted[i]);
    }
    QTRY_VERIFY(progress.isNull()); // released once the event loop runs
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindowRecovery::live_loop_device_mounted_with_exfat_fuse()
{
    const QString why_not = loop_unavailable_reason({"mkfs.exfat", "mount.exfat-fuse"});
    if (!why_not.isEmpty())
        QSKIP(qPrintable(why_not));
    QTemporaryDir dir;
    const QString image = dir.filePath("exfat.img"), point = dir.filePath("mnt");
    QVERIFY(make_exfat_image(image, 48 * 1024 * 1024, "VLVGUI") && QDir().mkpath(point));
    LoopDevice loop;
    if (!loop.attach(image) || !loop.mount_exfat(point))
        QSKIP("cannot attach and mount an exFAT image here");
    // a folder for the refusal below, made first: made later, it could take
    // the clusters of a deleted photo, as a real user's folder would
    const QString on_card = QDir(point).filePath("out");
    QVERIFY(QDir().mkpath(on_card));
    QList<QByteArray> photos; // one kept, two deleted, written through the file system
    for (int i = 0; i < 3; ++i) {
        photos.append(qt_jpeg(make_picture(800, 600, 300 + i)));
        QVERIFY(write_file(QDir(point).filePath(QStringLiteral("P%1.JPG").arg(i)), photos.last()));
    }
    QVERIFY(QFile::remove(QDir(point).filePath("P0.JPG")) && QFile::remove(QDir(point).filePath("P2.JPG")));
    run_tool("sync", {});

    MainWindow window; // the real listing finds it, mount point and all
    ModalAnswerer answers;
    QVERIFY2(pick_device(window, loop.node), qPrintable(loop.node + " is not listed"));
    QVERIFY(child<QListWidget>(window, ui::devices)->currentItem()->text().startsWith(
        QStringLiteral("VLVGUI (%1) - 48 MB\nexFAT").arg(loop.name())));
    QCOMPARE(page_of(window), scan_page);
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("Scanning finished"), 60000);
    QCOMPARE(child<QListWidget>(window, ui::results)->count(), 2); // the live photo was indexed

    // a folder on the scanned card is refused
    answers.choose_directory(on_card);
    answers.press_ok();
    click(window, ui::restore);
    QVERIFY(answers.seen.last().text.startsWith("This folder is on the device the photos are recovered from."));
    QVERIFY(QDir(on_card).isEmpty());
    QCOMPARE(page_of(window), scan_page);

    QTemporaryDir target;
    answers.choose_directory(target.path());
    click(window, ui::restore);
    QCOMPARE(page_of(window), final_page);
    QCOMPARE(read_file(target.filePath("IMAGE_0001.JPG")), photos.at(0));
    QCOMPARE(read_file(target.filePath("IMAGE_0002.JPG")), photos.at(2));
    QVERIFY(answers.unexpected.isEmpty());
}

QTEST_MAIN(TestMainWindowRecovery)
#include "tst_mainwindow_recovery.moc"
