// Whole runs of the window: over the sample FAT32 card, scanned, ticked and
// restored into folders picked in the real folder dialog; and over a live
// loop device mounted with exfat-fuse, listed by the real enumeration.

#include "windowdriver.h"

#include "cardimage.h"
#include "testsupport.h"

#include <QProgressDialog>
#include <QTemporaryDir>
#include <QtTest>

using namespace windowtest;
using namespace testsupport;

class TestMainWindowRecovery : public QObject
{
    Q_OBJECT

private slots:
    void restore_paths_over_the_sample_card();
    void live_loop_device_mounted_with_exfat_fuse();
};

// One scan of the card (its live files standing in for the mount point), then
// every way "Restore..." can go.
void TestMainWindowRecovery::restore_paths_over_the_sample_card()
{
    const QStringList missing = missing_tools({"mkfs.fat", "mcopy", "cjpeg", "exiftool"});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("not installed: %1").arg(missing.join(' '))));
    QTemporaryDir scratch, target, cancelled, elsewhere;
    SampleCard card;
    QString error;
    QVERIFY2(card.make(scratch.path(), &error), qPrintable(error));
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalAnswerer answers;
    start_scan(window, fake, image_device(card.image, "VELVORA", card.live));
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("Scanning finished"), 60000);
    auto *list = child<QListWidget>(window, ui::results);
    QCOMPARE(list->count(), card.deleted.size()); // the live photos were indexed
    const auto restore_says = [&](const QString &folder, const QString &text) {
        answers.choose_directory(folder);
        if (!text.isNull())
            answers.press_ok();
        click(window, ui::restore);
        QCOMPARE(answers.pending(), 0);
        const QString said = answers.seen.isEmpty() ? QString() : answers.seen.last().text;
        QVERIFY2(text.isNull() || said.startsWith(text), qPrintable(said));
    };

    click(window, ui::select_all); // nothing ticked: said so, no folder dialog
    answers.press_ok();
    click(window, ui::restore);
    QCOMPARE(answers.seen.last().text, QStringLiteral("Please select files to recover"));
    click(window, ui::select_all);
    restore_says(QString(), QString()); // the folder dialog cancelled: nothing happens
    QCOMPARE(answers.seen.size(), 1);
    QVERIFY(QFile::rename(card.image, card.image + ".away")); // the card gone since the scan
    restore_says(target.path(), "The device could not be opened to recover the photos.\nNo such device or image file.");
    QVERIFY(QFile::rename(card.image + ".away", card.image));
    QCOMPARE(page_of(window), scan_page);
    QVERIFY(entries_of(target.path()).isEmpty());

    // The second photo unticked by hand; in the folder an earlier IMAGE_0001.JPG,
    // a link in IMAGE_0003.JPG's place and a folder in IMAGE_0004.JPG's: none
    // is replaced or followed, the photos go under the next free numbers.
    click_entry(list, 1);
    const QByteArray earlier(3 * 1024 * 1024, 'x');
    QVERIFY(write_file(target.filePath("IMAGE_0001.JPG"), earlier));
    const QString outside = elsewhere.filePath("precious.txt");
    QVERIFY(write_file(outside, "keep me") && QFile::link(outside, target.filePath("IMAGE_0003.JPG")));
    QVERIFY(QDir(target.path()).mkdir("IMAGE_0004.JPG"));
    const int ticked = int(card.deleted.size()) - 1;
    restore_says(target.path(), QStringLiteral("%1 photo(s) were saved under other names").arg(ticked));
    QCOMPARE(page_of(window), final_page); // the final page follows the message
    QCOMPARE(read_file(target.filePath("IMAGE_0001.JPG")), earlier);
    QVERIFY(QFileInfo(target.filePath("IMAGE_0003.JPG")).isSymLink() && QDir(target.filePath("IMAGE_0004.JPG")).isEmpty());
    QCOMPARE(read_file(outside), QByteArray("keep me"));
    QList<QByteArray> contents;
    for (const QString &name : entries_of(target.path()))
        contents.append(read_file(target.filePath(name)));
    QCOMPARE(contents.size(), 3 + ticked);
    for (int i = 0; i < card.deleted.size(); ++i)
        QCOMPARE(contents.contains(card.deleted[i]), i != 1);
    QCOMPARE(window.restore_counts().written, ticked);
    QCOMPARE(window.restore_counts().renamed, ticked);

    // Back to the results as they were; all ticked, and Cancel pressed as soon
    // as the progress dialog shows: the photos written so far stay, whole.
    click(window, ui::final_back);
    QCOMPARE(page_of(window), scan_page);
    QCOMPARE(list->item(1)->checkState(), Qt::Unchecked);
    click_entry(list, 1);
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
    restore_says(cancelled.path(), QString());
    watch.stop();
    QCOMPARE(page_of(window), final_page); // the final page follows a cancel too
    const QStringList written = entries_of(cancelled.path());
    QVERIFY2(!written.isEmpty() && written.size() < card.deleted.size(), qPrintable(written.join(' ')));
    for (int i = 0; i < written.size(); ++i) {
        QCOMPARE(written[i], card.recovered_names()[i]);
        QCOMPARE(read_file(cancelled.filePath(written[i])), card.deleted[i]);
    }
    QTRY_VERIFY(progress.isNull()); // released once the event loop runs

    click(window, ui::close); // on the final page: no question
    QVERIFY(!window.isVisible());
    QVERIFY2(answers.unexpected.isEmpty(), qPrintable(answers.unexpected.join("; ")));
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
