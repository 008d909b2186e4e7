// What is written is what was found, nothing is lost or replaced, nothing waits
// without end: an interrupted velvora-scan, a second card into the same folder,
// a card swapped before "Restore...", a disk that cannot store the photos,
// a silent disk service, a stuck scan.

#include "windowdriver.h"

#include "faultyvolume.h"
#include "grownvideo.h"
#include "loopdevice.h"
#include "mediafiles.h"
#include "photowriter.h"
#include "rawaccess.h"
#include "resultsmodel.h"
#include "testsupport.h"
#include "udisksclient.h"
#include "udisksstandin.h"

#include <QtDBus>
#include <QtTest>

#include <csignal>
#include <optional>

#include <unistd.h>

using namespace windowtest;
using namespace testsupport;

namespace {

const QString scan_program = QStringLiteral(VELVORA_SCAN_PATH);

QList<QByteArray> photos(int first_seed, int count, int width = 320)
{
    QList<QByteArray> list;
    while (list.size() < count)
        list.append(qt_jpeg(make_picture(width, width * 3 / 4, first_seed + int(list.size()))));
    return list;
}

// A card image of size bytes (at least), the photos at its first sector boundaries.
QString make_card(const QString &path, const QList<QByteArray> &content, qint64 size = 4 << 20)
{
    QFile file(path);
    const QByteArray bytes = volume_of(content);
    const bool made = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.resize(qMax(size, qint64(bytes.size())));
    return made ? path : QString();
}

QByteArray summary(int found, int written, int renamed, int present = 0)
{
    return QStringLiteral("found=%1 written=%2 failed=0 unreadable_bytes=0 renamed=%3 partial=0 present=%4 named=0 damaged=0 skipped=0 videos=0 heic=0\n")
        .arg(found).arg(written).arg(renamed).arg(present).toLatin1();
}

} // namespace

class TestRecoveryWrites : public QObject
{
    Q_OBJECT

private slots:
    // Ctrl-C once the first card's photos are on disk (a long stretch of nothing
    // follows them): they stay, whole, and the scanner says it stopped. A second
    // card's new photos follow them under the next free numbers, the one it
    // shares with the first is told as present; the first card once more adds nothing.
    void interrupted_scan_and_a_second_card_into_the_same_folder()
    {
        QTemporaryDir work;
        const QList<QByteArray> first = photos(20, 3), second = photos(40, 2), all = first + second;
        const QString out = work.filePath("out"), first_card = make_card(work.filePath("first.img"), first);
        QProcess scan;
        scan.start(scan_program, {make_card(work.filePath("long.img"), first, qint64(256) << 30), out});
        QTRY_COMPARE_WITH_TIMEOUT(entries_of(out).size(), 3, 30000);
        QCOMPARE(scan.state(), QProcess::Running);
        ::kill(pid_t(scan.processId()), SIGINT);
        QVERIFY(scan.waitForFinished(20000));
        QVERIFY(scan.exitStatus() == QProcess::NormalExit && scan.exitCode() == 130);
        QCOMPARE(scan.readAllStandardOutput(), summary(3, 3, 0));
        QCOMPARE(scan.readAllStandardError(), QByteArray("velvora-scan: stopped; 3 photos were written before the stop.\n"));

        const ProgramRun run = run_program(scan_program, {make_card(work.filePath("second.img"), second + first.mid(1, 1)), out});
        QCOMPARE(run.exit_code, 0);
        QCOMPARE(run.out, summary(3, 2, 2, 1));
        QCOMPARE(run_program(scan_program, {first_card, out}).out, summary(3, 0, 0, 3));
        QCOMPARE(entries_of(out).size(), all.size());
        for (int i = 0; i < all.size(); ++i)
            QCOMPARE(read_file(QDir(out).filePath(PhotoWriter::photo_name(i + 1))), all[i]);
    }

    void stop_while_a_video_is_copied_data()
    {
        QTest::addColumn<int>("signal_number");
        QTest::newRow("Ctrl-C") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }

    // A stop while a video of hundreds of MiB is copied from the card does not
    // wait for the rest of it: the video fails, is named on stderr, and
    // leaves no file.
    void stop_while_a_video_is_copied()
    {
        QFETCH(int, signal_number);
        QTemporaryDir work;
        const QString card = work.filePath("video.img"), out = work.filePath("out");
        QString why;
        if (!write_grown_video_card(card, qint64(384) << 20, 1 << 20, &why))
            QSKIP(qPrintable(why));
        QProcess scan;
        scan.start(scan_program, {card, out});
        // its file is made as its copy starts
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(out + "/VIDEO_0001.MP4"), 180000);
        ::kill(pid_t(scan.processId()), signal_number);
        QVERIFY(scan.waitForFinished(20000));
        const QString said = QString::fromUtf8(scan.readAllStandardError());
        QVERIFY2(scan.exitStatus() == QProcess::NormalExit && scan.exitCode() == 130, qPrintable(said));
        QCOMPARE(scan.readAllStandardOutput(), QByteArray("found=1 written=0 failed=1 unreadable_bytes=0 renamed=0 partial=0 "
                                                          "present=0 named=0 damaged=0 skipped=0 videos=1 heic=0\n"));
        QVERIFY2(said.contains("velvora-scan: VIDEO_0001.MP4: " + PhotoWriter::failure_text(PhotoWriter::Failure::Stopped)),
                 qPrintable(said));
        QCOMPARE(entries_of(out), QStringList{});
    }

    // Two photos that cannot be recovered: the loop device scanned reads
    // another card of the same size by the time "Restore..." is pressed,
    // another photo where the first one lay; or the folder's disk takes the
    // files and cannot store them.
    void restore_that_fails_leaves_nothing_data()
    {
        QTest::addColumn<bool>("swap_card");
        QTest::addColumn<QStringList>("reasons"); // the message ends with one of these
        QTest::newRow("card changed") << true << QStringList{PhotoWriter::failure_text(PhotoWriter::Failure::SourceChanged)};
        QTest::newRow("disk cannot store them") // its writes fail with EIO or ENOSPC
            << false << QStringList{PhotoWriter::failure_text(PhotoWriter::Failure::TargetUnwritable),
                                    PhotoWriter::failure_text(PhotoWriter::Failure::TargetFull)};
    }

    void restore_that_fails_leaves_nothing()
    {
        QFETCH(bool, swap_card);
        QFETCH(QStringList, reasons);
        if (::geteuid() != 0 || !missing_tools({"losetup"}).isEmpty())
            QSKIP("needs root and losetup to attach a loop device");
        QTemporaryDir work;
        const QString first = make_card(work.filePath("first.img"), photos(50, 2));
        const QString second = make_card(work.filePath("second.img"), photos(60, 1, 480));
        std::optional<UnstorableDisk> disk;
        QString target = work.filePath("target");
        if (!swap_card) {
            disk.emplace(work.path());
            if (disk->folder().isEmpty())
                QSKIP(qPrintable(disk->why_not));
            target = disk->folder();
        }
        QVERIFY(QDir().mkpath(target));
        const QStringList before = entries_of(target);
        LoopDevice loop;
        if (!loop.attach(first, {"-r"}))
            QSKIP("losetup could not attach an image here");
        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        QVERIFY(scan_ends_with(window, fake, image_device(loop.node)));
        QCOMPARE(count_of(results_of(window)), 2);
        answers.press("No"); // "Go back" and No: the unrestored photos stay
        click(window, ui::scan_back);
        QVERIFY(answers.last() == "The photos found have not been restored. Go back and discard them?" && page_of(window) == scan_page);

        const QString node = loop.node;
        if (swap_card) {
            loop.detach();
            if (!run_tool("losetup", {"-r", node, second}))
                QSKIP("the loop device was taken before it could be attached again");
        }
        const auto detach = qScopeGuard([node, swap_card] { if (swap_card) run_tool("losetup", {"-d", node}); });
        answers.choose_directory(target);
        answers.press_ok();
        click(window, ui::restore);
        QCOMPARE(answers.pending(), 0);
        QVERIFY2(answers.last().startsWith("2 photo(s) could not be recovered into ")
                     && std::any_of(reasons.cbegin(), reasons.cend(), [&](const QString &reason) { return answers.last().endsWith(reason); }),
                 qPrintable(answers.last()));
        QVERIFY(entries_of(target) == before && window.restore_counts().failed == 2);
        QVERIFY(child<QLabel>(window, "summaryLabel")->text().contains("\n2 photos could not be written."));
        QVERIFY(answers.unexpected.isEmpty());
    }

    // A video with a sector the card cannot give, inside its frames' data:
    // the results show it damaged, and "Restore..." writes it whole with
    // zeros there, never reading the sector again (the image it restores
    // from holds other bytes there), and says which file holds zeros.
    void damaged_video_restored_with_zeros()
    {
        const QStringList missing = missing_media_tools();
        if (!missing.isEmpty())
            QSKIP(qPrintable("needs " + missing.join(", ")));
        const QByteArray video = media_named(QStringLiteral("MVI_0002.MP4"))->bytes; // its frames' data last
        const qint64 bad = video.size() * 3 / 4 / 512 * 512;
        QTemporaryDir work;
        QByteArray bytes = video;
        bytes.resize(4 << 20, '\0');
        auto *volume = new FaultyVolume(bytes);
        volume->bad_from = bad;
        volume->bad_to = bad + 512;
        const QString image = work.filePath("card.img"), target = work.filePath("out");
        QVERIFY(write_file(image, bytes.replace(bad, 512, QByteArray(512, '\xEE'))));
        FakeDevices fake;
        MainWindow window(nullptr, fake.source());
        window.set_volume_opener(volume->opener());
        ModalAnswerer answers;
        QVERIFY2(scan_ends_with(window, fake, image_device(image), "Scanning finished (512 bytes unreadable)"),
                 qPrintable(status_of(window)));
        auto *list = results_of(window);
        QCOMPARE(count_of(list), 1);
        QVERIFY(entry(list, 0, ResultsModel::DamagedRole).toBool());
        answers.type_directory(target);
        answers.press_ok();
        click(window, ui::restore);
        QCOMPARE(answers.last(), QStringLiteral("1 file(s) were written with parts the card could not give; those "
                                                "bytes are zeros, so a video shows a flaw there:\nVIDEO_0001.MP4 (512 byte(s))"));
        QCOMPARE(read_file(QDir(target).filePath("VIDEO_0001.MP4")), QByteArray(video).replace(bad, 512, QByteArray(512, '\0')));
        QCOMPARE(window.restore_counts().written, 1);
        QVERIFY(answers.unexpected.isEmpty());
    }

    // A slow card stopped once its first photos show: the page and the last
    // page say how far the scan got and that the rest was not searched, and
    // closing names the photos that would be lost. "Resume scan" goes on from
    // there, keeping what was found; a stop question left open closes itself
    // when the scan ends first.
    void stopped_scan_says_so_and_resumes()
    {
        QTemporaryDir work;
        const QList<QByteArray> early = photos(70, 2), late = photos(80, 2);
        QByteArray bytes = volume_of(early); // the late ones 88 MiB into a card of 96 MiB
        bytes.resize(88 << 20, '\0');
        bytes += volume_of(late);
        bytes.resize(96 << 20, '\0');
        const QString image = work.filePath("slow.img"), target = work.filePath("out");
        QVERIFY(write_file(image, bytes)); // read again by the recovery
        auto *volume = new FaultyVolume(bytes);
        volume->every_read_ms = 60; // a block a read: the whole card in about 1.5 s
        FakeDevices fake;
        MainWindow window(nullptr, fake.source());
        window.set_volume_opener(volume->opener());
        ModalAnswerer answers;
        auto *list = results_of(window);
        auto *resume = child<QPushButton>(window, "resumeButton");
        start_scan(window, fake, image_device(image));
        QTRY_COMPARE_WITH_TIMEOUT(count_of(list), 2, 20000);
        answers.press("Yes");
        click(window, ui::stop);
        QTRY_VERIFY_WITH_TIMEOUT(!window.findChild<ScanPage *>()->is_scanning() && resume->isVisible(), 20000);
        const QRegularExpression stopped(R"(^Stopped at (\d+)\.\d\d% \((\d+) of 101 MB\); the rest was not searched$)");
        const QRegularExpressionMatch said = stopped.match(status_of(window));
        QVERIFY2(said.hasMatch() && said.captured(1).toInt() < 90, qPrintable(status_of(window)));
        QCOMPARE(count_of(list), 2);

        // what is lost by closing is named, No by default; the last page says the scan was stopped
        answers.press("No");
        window.close();
        QVERIFY(window.isVisible());
        QCOMPARE(answers.seen.last().text, QStringLiteral("The 2 photos found have not been restored. Exit and discard them?"));
        QCOMPARE(answers.seen.last().default_button, QStringLiteral("No"));
        answers.type_directory(target); // not there yet, typed without a trailing slash
        click(window, ui::restore);
        QCOMPARE(page_of(window), final_page);
        const QString summary = child<QLabel>(window, "summaryLabel")->text();
        QVERIFY2(summary.contains(QStringLiteral("The scan was stopped at %1.").arg(said.captured(1)))
                     && summary.contains("the rest of the card was not searched"), qPrintable(summary));
        QCOMPARE(entries_of(target).size(), 2);

        // resumed from the results: the rest is searched, the photos found stay, none twice
        click(window, ui::final_back);
        resume->click();
        QTRY_VERIFY_WITH_TIMEOUT(child<QWidget>(window, ui::stop)->isVisible(), 20000);
        // stop asked and left open: the end of the scan answers it
        answers.then([](QWidget *) {});
        click(window, ui::stop); // returns once the question has closed
        QCOMPARE(status_of(window), QStringLiteral("Scanning finished"));
        QCOMPARE(count_of(list), 4);
        QCOMPARE(answers.seen.last().text, QStringLiteral("Are you sure you want to stop scanning?"));
        QVERIFY(!QApplication::activeModalWidget() && resume->isHidden());
        QCOMPARE(entry(list, 3).toString(), QStringLiteral("IMAGE_0004.JPG"));
        answers.type_directory(target);
        click(window, ui::restore);
        QVERIFY(!child<QLabel>(window, "summaryLabel")->text().contains("stopped"));
        QCOMPARE(entries_of(target).size(), 4);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(read_file(QDir(target).filePath(PhotoWriter::photo_name(i + 1))), (early + late)[i]);
        QVERIFY2(answers.unexpected.isEmpty(), qPrintable(answers.unexpected.join("; ")));
    }

    // The device list is polled while the disk service does not answer, and a
    // device is opened while its password prompt is up: the window paints on.
    void window_keeps_painting_while_the_disk_service_is_silent()
    {
        PrivateBus bus;
        if (bus.address.isEmpty())
            QSKIP("dbus-daemon could not be started");
        UdisksTree tree;
        const QDBusObjectPath card = tree.block("/dev/sdz", {.size = 40 << 20});
        UdisksStandIn service(bus.address, tree.objects);
        service.serve_block(card, QCoreApplication::applicationFilePath())->prompt_ms = 1000;
        service.silent = true;
        QVERIFY(service.publish());
        const RawAccess access(QDBusConnection::connectToBus(bus.address, "window-side"));
        const auto disconnect = qScopeGuard([] { QDBusConnection::disconnectFromBus("window-side"); });
        int polls = 0;
        MainWindow window(nullptr, [&] { return ++polls, access.removable_devices(); }, access);
        window.show();

        // the longest the event loop was kept from running
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0, longest = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, this, [&] { longest = qMax(longest, clock.elapsed() - std::exchange(last, clock.elapsed())); });
        tick.start(10);
        QTRY_VERIFY_WITH_TIMEOUT(polls >= 2, 10000);
        QVERIFY2(longest <= 800, qPrintable(QStringLiteral("the window stood still for %1 ms").arg(longest)));
        // once it has been silent, the service is not asked again for a while:
        // the list comes from the system's own tables at once
        clock.restart();
        access.removable_devices();
        QVERIFY2(clock.elapsed() < UdisksClient::list_timeout_ms, qPrintable(QString::number(clock.elapsed())));

        service.silent = false;
        const UdisksClient prompting(QDBusConnection::connectToBus(bus.address, "window-side"));
        clock.restart();
        last = longest = 0;
        const volume_platform::Handle opened = prompting.open_for_backup("/dev/sdz");
        QVERIFY(opened != volume_platform::invalid_handle && clock.elapsed() >= 1000);
        volume_platform::close(opened);
        QTest::qWait(30); // a tick after the call tells how long it held the loop
        // a loop held behind the prompt stands still for its whole second; a
        // loaded machine may delay a tick by a few hundred milliseconds
        QVERIFY2(longest <= 500, qPrintable(QStringLiteral("the window stood still for %1 ms behind the prompt").arg(longest)));
    }

    // A scan whose first read never returns: going back waits its bounded while,
    // "Next" then says why nothing starts, and closing says it is stopping, paints
    // on through its bounded wait, then ends the process instead of waiting. Run again in a process of its own, since the window's destructor ends it.
    void stuck_scan_neither_starts_another_nor_keeps_the_window_open()
    {
        if (qEnvironmentVariableIsEmpty("VELVORA_STUCK_WINDOW")) {
            QProcess child; // killed when it has not ended by itself
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("VELVORA_STUCK_WINDOW", "1");
            child.setProcessEnvironment(environment);
            child.start(QCoreApplication::applicationFilePath(), {QTest::currentTestFunction()});
            const bool ended = child.waitForFinished(20000);
            const QByteArray out = child.readAllStandardOutput();
            // the process ended in the window's destructor, before the test could finish
            QVERIFY2(ended && out.contains("window closed, stopping shown") && !out.contains("Totals"), out.constData());
            QVERIFY(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0);
            return;
        }
        QTemporaryDir work;
        FakeDevices fake;
        auto *window = new MainWindow(nullptr, fake.source());
        ModalAnswerer answers;
        auto *volume = new FaultyVolume(QByteArray(1 << 20, '\0'));
        volume->bad_from = 0;
        volume->bad_to = 512;
        volume->hold = std::make_shared<QSemaphore>(); // never released
        const auto failed_reads = volume->failed_reads;
        window->set_volume_opener([volume](const QString &, volume_platform::Failure *) { return std::unique_ptr<VolumeSource>(volume); });
        start_scan(*window, fake, image_device(make_card(work.filePath("card.img"), {})));
        QTRY_VERIFY(*failed_reads == 1);
        answers.press("Yes");
        click(*window, ui::scan_back);
        QCOMPARE(page_of(*window), device_page);
        answers.press_ok();
        click(*window, ui::next);
        QCOMPARE(answers.last(), QStringLiteral("The previous scan is still ending. Please wait a moment and press Next again."));
        QCOMPARE(page_of(*window), device_page);
        answers.press("Yes");
        int ticks = 0; // the window paints on while it waits for the worker
        QTimer tick;
        connect(&tick, &QTimer::timeout, this, [&] { ++ticks; });
        tick.start(10);
        window->close();
        std::printf("window closed, %s\n", ticks >= 20 && status_of(*window) == "Stopping the scan..." ? "stopping shown" : "frozen");
        std::fflush(stdout);
        delete window;
        QFAIL("the window's destructor returned with its worker stuck");
    }
};

QTEST_MAIN(TestRecoveryWrites)
#include "tst_recoverywrites.moc"
