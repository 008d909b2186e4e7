// What the window tells the user: speed and time left while scanning, each
// photo's details, the larger view, the account of a recovery, the dates of
// the recovered files, and texts that fit their widgets.

#include "tst_mainwindow_support.h"

#include "exiftags.h"
#include "exifinfo.h"
#include "photofacts.h"
#include "phototooltip.h"
#include "photoviewer.h"
#include "scanrateestimator.h"
#include "testsupport.h"
#include "thumbnailqueue.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QStyle>
#include <QTemporaryDir>
#include <QTimeZone>

using namespace windowtest;

namespace {

const QString scan_done = QStringLiteral("Scanning finished");
const QStringList camera_tags{QStringLiteral("-DateTimeOriginal=2021:07:04 15:30:12"), QStringLiteral("-Make=Canon"),
                              QStringLiteral("-Model=Canon EOS 80D")};
const QDateTime camera_date(QDate(2021, 7, 4), QTime(15, 30, 12));

// Catches the URLs the window asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    UrlCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }
};

// A volume of photos, each at a 512-byte boundary after a few sectors of zeros.
QByteArray volume_of(const QList<QByteArray> &photos)
{
    QByteArray volume(512 * 4, '\0');
    for (const QByteArray &photo : photos) {
        volume += photo;
        volume.resize((volume.size() + 511) / 512 * 512 + 512 * 3, '\0');
    }
    return volume;
}

// Where a QLabel's text does not fit its box, say which and by how much.
QString label_overflow(const QLabel *label)
{
    const QString text = label->text();
    if (text.isEmpty() || !label->pixmap().isNull())
        return {};
    const QFontMetrics metrics = label->fontMetrics();
    const QRect box = label->contentsRect();
    // One line must fit the width; wrapped text must fit the height too.
    const QRect needed = label->wordWrap()
                             ? metrics.boundingRect(box, Qt::TextWordWrap | int(label->alignment()), text)
                             : metrics.boundingRect(QRect(0, 0, 100000, 1000), int(label->alignment()), text);
    if (needed.width() <= box.width() && (!label->wordWrap() || needed.height() <= box.height()))
        return {};
    return QStringLiteral("%1: \"%2\" needs %3x%4, has %5x%6")
        .arg(label->objectName(), text)
        .arg(needed.width())
        .arg(needed.height())
        .arg(box.width())
        .arg(box.height());
}

// The same for the text of a button or check box, beside its indicator or within its margins.
QString button_overflow(const QAbstractButton *button)
{
    const QString text = button->text();
    if (text.isEmpty())
        return {};
    const QStyle *style = button->style();
    int room = button->width();
    if (qobject_cast<const QCheckBox *>(button))
        room -= style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, button)
                + style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, button);
    else
        room -= 2 * style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    const int needed = button->fontMetrics().horizontalAdvance(QString(text).remove(QLatin1Char('&')));
    if (needed <= room)
        return {};
    return QStringLiteral("%1: \"%2\" needs %3, has %4").arg(button->objectName(), text).arg(needed).arg(room);
}

QStringList overflowing_texts(const QWidget &root)
{
    QStringList overflowing;
    for (const QLabel *label : root.findChildren<QLabel *>()) {
        if (!label->objectName().startsWith(QLatin1String("qt_")))
            overflowing << label_overflow(label);
    }
    for (const QAbstractButton *button : root.findChildren<QAbstractButton *>())
        overflowing << button_overflow(button);
    overflowing.removeAll(QString());
    return overflowing;
}

} // namespace

class TestWindowDetails : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void speed_and_time_left_data();
    void speed_and_time_left();
    void photo_details_data();
    void photo_details();
    void damaged_exif_gives_no_facts();
    void larger_view_steps_through_photos();
    void recovery_summary_data();
    void recovery_summary();
    void whole_run_details_view_summary_and_file_times();
    void velvora_scan_sets_file_times();
    void texts_fit_their_widgets();

private:
    QTemporaryDir scratch;
    QByteArray exif_photo;
    QByteArray plain_photo;
};

void TestWindowDetails::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QVERIFY(scratch.isValid());
    plain_photo = testsupport::qt_jpeg(testsupport::make_picture(320, 200, 7));
    exif_photo = testsupport::with_exif_tags(testsupport::qt_jpeg(testsupport::make_picture(640, 400, 3)), camera_tags);
    if (exif_photo.isEmpty())
        QSKIP("exiftool is not installed");
}

void TestWindowDetails::speed_and_time_left_data()
{
    // samples: pairs of (ms since the scan started, bytes read by then)
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QList<qint64>>("samples");
    QTest::addColumn<double>("rate");   // bytes a second; negative for no estimate
    QTest::addColumn<qint64>("left");   // seconds; negative for no estimate

    QTest::newRow("nothing in the first seconds")
        << qint64(1000000000) << QList<qint64>{1000, 40000000, 2000, 80000000, 2999, 120000000} << -1.0 << qint64(-1);
    QTest::newRow("steady 40 MB/s") << qint64(1000000000)
                                    << QList<qint64>{1000, 40000000, 2000, 80000000, 3000, 120000000, 4000,
                                                     160000000, 5000, 200000000}
                                    << 40e6 << qint64(20);
    // 100 MB/s for 10 s, then 10 MB/s for 20 s: only the last 10 s count
    QList<qint64> slowing;
    for (qint64 s = 1; s <= 30; ++s)
        slowing << s * 1000 << (s <= 10 ? s * 100000000 : 1000000000 + (s - 10) * 10000000);
    QTest::newRow("a card that slows down") << qint64(3000000000) << slowing << 10e6 << qint64(180);
    QTest::newRow("blocks seconds apart") << qint64(2000000000)
                                          << QList<qint64>{15000, 600000000, 30000, 1200000000} << 40e6 << qint64(20);
    QTest::newRow("at the end") << qint64(100000000) << QList<qint64>{4000, 50000000, 8000, 100000000} << 12.5e6
                                << qint64(0);
}

void TestWindowDetails::speed_and_time_left()
{
    QFETCH(qint64, total);
    QFETCH(QList<qint64>, samples);
    QFETCH(double, rate);
    QFETCH(qint64, left);

    ScanRateEstimator estimator;
    estimator.start(total, 0);
    for (int i = 0; i + 1 < samples.size(); i += 2)
        estimator.update(samples.at(i + 1), samples.at(i));
    QCOMPARE(estimator.bytes_per_second().has_value(), rate >= 0);
    QCOMPARE(estimator.seconds_left().has_value(), left >= 0);
    if (rate >= 0) {
        QCOMPARE(qRound64(*estimator.bytes_per_second()), qRound64(rate));
        QCOMPARE(*estimator.seconds_left(), left);
    }
}

void TestWindowDetails::photo_details_data()
{
    QTest::addColumn<QStringList>("tags"); // exiftool assignments; none leaves the photo without EXIF
    QTest::addColumn<bool>("partial");
    QTest::addColumn<QDateTime>("taken");
    QTest::addColumn<QStringList>("lines"); // the tooltip after its name and byte size lines

    QTest::newRow("without EXIF") << QStringList() << false << QDateTime()
                                  << QStringList{"640 x 400 pixels", "On the card at byte 1,048,576 (1.0 MB in)"};
    QTest::newRow("date taken and camera")
        << camera_tags << false << camera_date
        << QStringList{"640 x 400 pixels", "On the card at byte 1,048,576 (1.0 MB in)",
                       "Taken Sunday, July 4, 2021 at 3:30 PM", "Camera: Canon EOS 80D"};
    QTest::newRow("no DateTimeOriginal, turned, only its top")
        << QStringList{"-n", "-ModifyDate=2019:01:02 03:04:05", "-Make=Velvora", "-Model=Test 1", "-Orientation=6"}
        << true << QDateTime(QDate(2019, 1, 2), QTime(3, 4, 5))
        << QStringList{"400 x 640 pixels", "On the card at byte 1,048,576 (1.0 MB in)",
                       "Taken Wednesday, January 2, 2019 at 3:04 AM", "Camera: Velvora Test 1",
                       "Only its top part could be recovered."};
    QTest::newRow("offset from UTC recorded")
        << QStringList{"-DateTimeOriginal=2021:07:04 15:30:12", "-OffsetTimeOriginal=+02:00"} << false
        << QDateTime(QDate(2021, 7, 4), QTime(15, 30, 12), QTimeZone(7200))
        << QStringList{"640 x 400 pixels", "On the card at byte 1,048,576 (1.0 MB in)",
                       "Taken Sunday, July 4, 2021 at 3:30 PM"};
}

void TestWindowDetails::photo_details()
{
    QFETCH(QStringList, tags);
    QFETCH(bool, partial);
    QFETCH(QDateTime, taken);
    QFETCH(QStringList, lines);

    QByteArray jpeg = testsupport::qt_jpeg(testsupport::make_picture(640, 400, 3));
    if (!tags.isEmpty())
        jpeg = testsupport::with_exif_tags(jpeg, tags);
    QVERIFY(!jpeg.isEmpty());

    // the facts come from the decoding of the found stream, as in a scan
    const ThumbnailQueue::Result decoded = ThumbnailQueue::decode(jpeg);
    QVERIFY(!decoded.thumbnail.isNull());
    QCOMPARE(decoded.exif.has_exif(), !tags.isEmpty());
    QCOMPARE(decoded.exif.date_taken(), taken);
    if (taken.isValid())
        QCOMPARE(decoded.exif.date_taken().toUTC(), taken.toUTC());

    PhotoFacts facts{1048576, jpeg.size(), decoded.pixel_size, decoded.exif};
    facts.partial = partial;
    QStringList tooltip = photo_tooltip(QStringLiteral("IMAGE_0007.JPG"), facts).split(QLatin1Char('\n'));
    QCOMPARE(tooltip.takeFirst(), QStringLiteral("IMAGE_0007.JPG"));
    const QString size_line = tooltip.takeAt(1);
    QVERIFY2(size_line.endsWith(QStringLiteral(" (%1 bytes)").arg(QLocale().toString(jpeg.size()))),
             qPrintable(size_line));
    QVERIFY2(size_line.contains(QLatin1String(" kB (")), qPrintable(size_line));
    QCOMPARE(tooltip, lines);
}

void TestWindowDetails::damaged_exif_gives_no_facts()
{
    // Cut anywhere in the leading segments, or with bytes of its EXIF
    // changed, a photo from a card never makes the reader go astray.
    const ExifInfo whole(exif_photo);
    QCOMPARE(whole.date_taken(), camera_date);
    const qsizetype exif_end = exif_photo.indexOf(QByteArray("\xFF\xDB", 2));
    QVERIFY(exif_end > 0);
    for (qsizetype n = 0; n < exif_end; ++n) {
        const ExifInfo cut(exif_photo.left(n));
        QVERIFY(!cut.date_taken().isValid() || cut.date_taken() == camera_date);
    }
    QRandomGenerator random(11);
    for (int round = 0; round < 2000; ++round) {
        QByteArray damaged = exif_photo.left(exif_end);
        for (int i = 0; i < 4; ++i)
            damaged[12 + random.bounded(int(exif_end - 12))] = char(random.bounded(256));
        const ExifInfo info(damaged);
        QVERIFY(info.camera().size() < exif_end);
    }
}

void TestWindowDetails::larger_view_steps_through_photos()
{
    // Three photos: a plain one, and two that their EXIF turns upright, the
    // last of them without its bytes at hand (a scan is running).
    const QByteArray turned = testsupport::with_exif_tags(
        testsupport::qt_jpeg(testsupport::make_picture(480, 240, 5)), {"-n", "-Orientation=6"});
    QVERIFY(!turned.isEmpty());
    const QList<QByteArray> photos{plain_photo, turned, turned};
    QListWidget list;
    for (int row = 0; row < 3; ++row) {
        auto *item = new QListWidgetItem(QString::asprintf("IMAGE_%04d.JPG", row + 1), &list);
        item->setCheckState(Qt::Checked);
        const ThumbnailQueue::Result decoded = ThumbnailQueue::decode(photos.at(row));
        item->setData(Qt::DecorationRole, QPixmap::fromImage(decoded.thumbnail));
        PhotoFacts facts{row, photos.at(row).size(), decoded.pixel_size, decoded.exif, decoded.turn};
        item->setData(PhotoViewer::facts_role, QVariant::fromValue(facts));
    }
    QList<int> loaded;
    PhotoViewer viewer(&list, [&](const PhotoFacts &facts, QString *note) {
        loaded << int(facts.offset);
        *note = QStringLiteral("scanning");
        return facts.offset == 2 ? QByteArray() : photos.at(facts.offset);
    });
    viewer.show_row(0);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));

    struct Step
    {
        int key;
        int row;
        bool whole;
        QSize size;
    };
    const QList<Step> steps{
        {Qt::Key_Right, 1, true, {240, 480}}, // upright, as its EXIF orientation says
        {Qt::Key_Right, 2, false, {}},        // the thumbnail, enlarged
        {Qt::Key_Right, 2, false, {}},        // the last photo stays
        {Qt::Key_Left, 1, true, {240, 480}},
        {Qt::Key_Left, 0, true, {320, 200}},
        {Qt::Key_Left, 0, true, {320, 200}},
        {Qt::Key_End, 2, false, {}},
    };
    for (const Step &step : steps) {
        QTest::keyClick(&viewer, Qt::Key(step.key));
        QCOMPARE(viewer.current_row(), step.row);
        QCOMPARE(viewer.shows_whole_photo(), step.whole);
        if (step.whole)
            QCOMPARE(viewer.shown_image().size(), step.size);
        else
            QVERIFY(viewer.findChild<QLabel *>("note")->text() == "scanning");
        // the thumbnail too is upright, in the photo's proportions
        if (!step.whole)
            QCOMPARE(viewer.shown_image().size(), QSize(80, 160));
        QVERIFY(viewer.windowTitle().startsWith(list.item(step.row)->text()));
    }
    QCOMPARE(loaded, (QList<int>{0, 1, 2, 2, 1, 0, 0, 2}));

    // the tick is the list's: Space or the box there, and back
    QTest::keyClick(&viewer, Qt::Key_Space);
    QCOMPARE(list.item(2)->checkState(), Qt::Unchecked);
    auto *tick = viewer.findChild<QCheckBox *>();
    QVERIFY(!tick->isChecked());
    tick->click();
    QCOMPARE(list.item(2)->checkState(), Qt::Checked);
    list.item(2)->setCheckState(Qt::Unchecked);
    QVERIFY(!tick->isChecked());
    QCOMPARE(list.item(0)->checkState(), Qt::Checked);

    // a photo larger than the screen is decoded to fit it
    const QImage fitted = PhotoViewer::decode_fitted(photos.at(1), QSize(100, 100));
    QCOMPARE(fitted.size(), QSize(50, 100));
}

void TestWindowDetails::recovery_summary_data()
{
    QTest::addColumn<int>("written");
    QTest::addColumn<int>("failed");
    QTest::addColumn<int>("renamed");
    QTest::addColumn<int>("cancelled");
    QTest::addColumn<QStringList>("lines"); // the folder's line left out

    const QString file_time = QStringLiteral("Each photo's file date is the date it was taken, where the photo "
                                             "records one.");
    QTest::newRow("one written") << 1 << 0 << 0 << 0
                                 << QStringList{"1 photo was written into this folder:", "", file_time};
    QTest::newRow("failed and renamed")
        << 12 << 2 << 3 << 0
        << QStringList{"12 photos were written into this folder:",
                       "3 of them were saved under other names, because different files had their names.",
                       "2 photos could not be written.", "", file_time};
    QTest::newRow("cancelled") << 2 << 1 << 1 << 5
                               << QStringList{"2 photos were written into this folder:",
                                              "1 of them was saved under another name, because a different file had "
                                              "its name.",
                                              "1 photo could not be written.",
                                              "5 photos were not written, because the recovery was cancelled.", "",
                                              file_time};
    QTest::newRow("cancelled before the first") << 0 << 0 << 0 << 3
                                                << QStringList{"No photo was written: the recovery was cancelled.",
                                                               "3 photos were not written, because the recovery was "
                                                               "cancelled."};
}

void TestWindowDetails::recovery_summary()
{
    QFETCH(int, written);
    QFETCH(int, failed);
    QFETCH(int, renamed);
    QFETCH(int, cancelled);
    QFETCH(QStringList, lines);

    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    // a long folder is shortened in the middle to fit, and given whole as the tooltip
    const QString folder = QStringLiteral("/home/anna/") + QString(200, QLatin1Char('x')) + QStringLiteral("/holiday");
    QVERIFY(QMetaObject::invokeMethod(&window, "show_recovery_summary", Q_ARG(int, written), Q_ARG(int, failed),
                                      Q_ARG(int, renamed), Q_ARG(int, cancelled), Q_ARG(QString, folder)));
    auto *summary = child<QLabel>(window, "summaryLabel");
    QStringList shown = summary->text().split(QLatin1Char('\n'));
    const QString folder_line = shown.takeAt(1);
    QVERIFY(folder_line.startsWith(QLatin1String("/home/anna/")) && folder_line.endsWith(QLatin1String("/holiday")));
    QVERIFY(folder_line.contains(QChar(0x2026)));
    QCOMPARE(summary->toolTip(), folder);
    QCOMPARE(shown, lines);
    QCOMPARE(label_overflow(summary), QString());

    UrlCatcher urls;
    child<QPushButton>(window, "openFolderButton")->click();
    QCOMPARE(urls.opened, (QList<QUrl>{QUrl::fromLocalFile(folder)}));
}

void TestWindowDetails::whole_run_details_view_summary_and_file_times()
{
    const QString image = scratch.filePath("details.img");
    QVERIFY(testsupport::write_file(image, volume_of({exif_photo, plain_photo})));
    const QString target = scratch.filePath("window-out");
    QVERIFY(QDir().mkpath(target));

    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalAnswerer answers;
    UrlCatcher urls;
    start_scan(window, fake, image_device(image));
    // an image file is not mounted: the page says that live photos are listed too
    QVERIFY(child<QLabel>(window, "mountNote")->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(window, "label_3")->text(), scan_done, 30000);

    auto *list = child<QListWidget>(window, "listWidget_2");
    QCOMPARE(list->count(), 2);
    const QStringList first = list->item(0)->toolTip().split(QLatin1Char('\n'));
    QCOMPARE(first.value(0), QStringLiteral("IMAGE_0001.JPG"));
    QCOMPARE(first.value(1), QStringLiteral("640 x 400 pixels"));
    QCOMPARE(first.value(3), QStringLiteral("On the card at byte 2,048 (2.0 kB in)"));
    QVERIFY(first.contains(QStringLiteral("Camera: Canon EOS 80D")));
    QCOMPARE(list->item(1)->toolTip().split(QLatin1Char('\n')).size(), 4);

    // a double click on a thumbnail opens the larger view; the scan is over,
    // so the whole photo is read from the card
    const QPoint thumbnail = list->visualItemRect(list->item(1)).center() - QPoint(0, 20);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, thumbnail);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, thumbnail);
    auto *viewer = window.findChild<PhotoViewer *>();
    QVERIFY(viewer && viewer->isVisible());
    QCOMPARE(viewer->current_row(), 1);
    QVERIFY(viewer->shows_whole_photo());
    QCOMPARE(viewer->shown_image().size(), QSize(320, 200));
    viewer->close();

    answers.choose_directory(target);
    child<QPushButton>(window, "pushButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(page_of(window), 3, 10000);
    QCOMPARE(answers.unexpected, QStringList());
    QCOMPARE(urls.opened, (QList<QUrl>{QUrl::fromLocalFile(target)}));
    const QString summary = child<QLabel>(window, "summaryLabel")->text();
    QVERIFY2(summary.startsWith(QStringLiteral("2 photos were written into this folder:\n")
                                + QDir::toNativeSeparators(target) + QLatin1Char('\n')),
             qPrintable(summary));

    // the photo's date as the file time; without one, the time of recovery
    QCOMPARE(QFileInfo(QDir(target).filePath("IMAGE_0001.JPG")).lastModified(), camera_date);
    const QDateTime plain_time = QFileInfo(QDir(target).filePath("IMAGE_0002.JPG")).lastModified();
    QVERIFY(qAbs(plain_time.secsTo(QDateTime::currentDateTime())) < 120);
}

void TestWindowDetails::velvora_scan_sets_file_times()
{
    const QString image = scratch.filePath("cli.img");
    QVERIFY(testsupport::write_file(image, volume_of({plain_photo, exif_photo})));
    const QString target = scratch.filePath("cli-out");
    QByteArray output;
    QVERIFY(testsupport::run_tool(QStringLiteral(VELVORA_SCAN_PATH), {image, target}, &output));
    QCOMPARE(output.trimmed(), QByteArray("found=2 written=2 failed=0 unreadable_bytes=0 renamed=0 partial=0"));
    QCOMPARE(QFileInfo(QDir(target).filePath("IMAGE_0002.JPG")).lastModified(), camera_date);
    QVERIFY(qAbs(QFileInfo(QDir(target).filePath("IMAGE_0001.JPG")).lastModified().secsTo(
                QDateTime::currentDateTime()))
            < 120);
}

void TestWindowDetails::texts_fit_their_widgets()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    // the skip link as it shows beside the count of files
    QVERIFY(QMetaObject::invokeMethod(&window, "on_fs_indexer_processed", Q_ARG(int, 12345)));
    const QStringList overflowing = overflowing_texts(window);
    QVERIFY2(overflowing.isEmpty(), qPrintable(overflowing.join(QLatin1Char('\n'))));

    // the status texts of a scan, as the worker's signals bring them
    auto *status = child<QLabel>(window, "label_3");
    const QList<const char *> status_slots{"on_fs_indexer_start", "on_fs_indexer_done", "on_scanning_start",
                                           "on_scanning_stop", "on_scanning_done"};
    for (const char *slot : status_slots) {
        QVERIFY(QMetaObject::invokeMethod(&window, slot));
        QCOMPARE(label_overflow(status), QString());
        QVERIFY(status->geometry().right() < child<QCheckBox>(window, "checkBox")->x());
    }

    // the progress text is shortened to fit its bar, never cut
    auto *bar = child<QProgressBar>(window, "progressBar");
    QVERIFY(QMetaObject::invokeMethod(&window, "on_scanning_progress", Q_ARG(qint64, 4567), Q_ARG(qint64, 10000)));
    QVERIFY(bar->text().contains(QLatin1String("45.67%")));
    QVERIFY(bar->fontMetrics().horizontalAdvance(bar->text()) < bar->width());
}

QTEST_MAIN(TestWindowDetails)
#include "tst_windowdetails.moc"
