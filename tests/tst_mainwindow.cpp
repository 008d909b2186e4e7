// The wizard window offscreen, driven through its pages over image files and
// a device source the test controls: the device list, every question asked,
// the results and what they tell of each photo, and whole runs restored into
// real folders over the sample FAT32 card and a live exFAT loop device.

#include "windowdriver.h"

#include "cardimage.h"
#include "exifinfo.h"
#include "exiftags.h"
#include "folderdialog.h"
#include "loopdevice.h"
#include "mediacard.h"
#include "phototooltip.h"
#include "photowriter.h"
#include "photoviewer.h"
#include "progresstext.h"
#include "resultsmodel.h"
#include "testsupport.h"
#include "thumbnailqueue.h"

#include <QtTest>

#include <clocale>

#include <unistd.h> // seteuid: a user who may not read a device

using namespace windowtest;
using namespace testsupport;

namespace {

const QDateTime camera_date(QDate(2021, 7, 4), QTime(15, 30, 12), QTimeZone(7200)); // recorded as 2 hours ahead of UTC

// The ticks of the results as x (ticked) and - (not).
QString ticks(QAbstractItemView *list)
{
    QString states;
    for (int row = 0; row < count_of(list); ++row)
        states += entry(list, row, Qt::CheckStateRole).toInt() == Qt::Checked ? 'x' : '-';
    return states;
}

// Mean difference per channel between the results entry's thumbnail and picture squeezed to its size.
double off_by(QAbstractItemView *list, int row, const QImage &picture)
{
    const QImage shown = entry(list, row, Qt::DecorationRole).value<QPixmap>().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage expected = picture.scaled(shown.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            sum += qAbs(qRed(shown.pixel(x, y)) - qRed(expected.pixel(x, y))) + qAbs(qGreen(shown.pixel(x, y)) - qGreen(expected.pixel(x, y)));
    return sum / (2.0 * shown.width() * shown.height());
}

QStringList listed(QAbstractItemView *list, int role = Qt::UserRole)
{
    QStringList shown;
    for (int row = 0; row < count_of(list); ++row)
        shown.append(entry(list, row, role).toString());
    return shown;
}

// Catches the URLs the window asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    UrlCatcher() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    QString big = scratch.filePath("big.img"); // 64 GiB of zeros: a scan long enough to stop
    QString root = scratch.filePath("root");   // photo-named files of zeros: an index phase long enough to skip
    std::optional<MediaCard> media_card, pieced_card; // made once, for every row that needs them
    QString no_media_card;                            // why they cannot be made here

    // The camera card with videos and HEIC photos, whole or in pieces; null when it cannot be made here.
    const MediaCard *camera_card(bool in_pieces = false)
    {
        std::optional<MediaCard> &card = in_pieces ? pieced_card : media_card;
        if (!card && no_media_card.isEmpty()
            && !(in_pieces ? card.emplace().make_in_pieces(scratch.path(), &no_media_card) : card.emplace().make(scratch.path(), &no_media_card)))
            card.reset();
        return card ? &*card : nullptr;
    }

    // The larger view of a video opens at once on its thumbnail and shows its
    // first frame when the helper has made it; one for a file moved away from
    // before it came is never shown.
    void show_a_video_larger(MainWindow &window, const MediaCard &card, bool photos)
    {
        auto *list = results_of(window);
        const auto row_of = [&](const QString &name) { return int(listed(list, Qt::DisplayRole).indexOf(name)); };
        // a video: its kind, coding, length and recording time; a HEIC photo: its EXIF date
        const int video = row_of("MVI_0001.MP4"), clip = row_of(card.deleted.contains("PICT0005.AVI") ? "PICT0005.AVI" : "DJI_0003.MOV");
        QVERIFY(video >= 0 && clip >= 0);
        QVERIFY(qAbs(entry(list, video, ResultsModel::DurationRole).toLongLong() - 2000) < 100);
        QStringList tip = entry(list, video, Qt::ToolTipRole).toString().split('\n');
        QCOMPARE(tip.mid(0, 4), (QStringList{"MVI_0001.MP4", "DCIM/100CANON, deleted", "MP4 video (H.264), 0:02", "320 x 240 pixels"}));
        QVERIFY2(tip.filter(QRegularExpression("^Recorded Friday, May 1, 2026 at ")).size() == 1, qPrintable(tip.join('|')));
        QVERIFY(!card.deleted.contains("PICT0005.AVI") || entry(list, clip, Qt::ToolTipRole).toString().split('\n').at(2) == "AVI video (Motion JPEG), 0:03");
        list->scrollTo(list->model()->index(video, 0));
        QWidget *shown_tip = hover_tooltip(list, video);
        QVERIFY(shown_tip && qobject_cast<QLabel *>(shown_tip)->text().startsWith("MVI_0001.MP4"));
        grab_for_review(*shown_tip, "camera-card-video-tooltip");
        list->setFocus(); // the larger view: the first frame, read from the card through the helper
        set_current_row(list, video);
        QTest::keyClick(list, Qt::Key_Return);
        auto *viewer = window.findChild<PhotoViewer *>();
        QVERIFY(viewer && viewer->isVisible() && viewer->is_loading() && !viewer->shows_whole_photo());
        QCOMPARE(viewer->note_text(), QStringLiteral("Loading the larger picture..."));
        grab_for_review(*viewer, "camera-card-video-loading");
        QSignalSpy arrived(viewer, &PhotoViewer::picture_arrived);
        QVERIFY(arrived.wait(20000));
        QVERIFY2(viewer->shows_whole_photo() && viewer->shown_image().size() == QSize(320, 240), qPrintable(viewer->note_text()));
        QVERIFY(entry(list, video, Qt::DecorationRole).value<QPixmap>().deviceIndependentSize().width() < 320); // larger than its thumbnail
        QVERIFY2(viewer->details_text().contains("\nMP4 video (H.264), 0:02, 320 x 240 pixels, " + photo_byte_size(card.deleted["MVI_0001.MP4"].size()) + ", recorded 5/1/26 "),
                 qPrintable(viewer->details_text()));
        grab_for_review(*viewer, "camera-card-video-larger-view");
        if (photos) {
            const int heic = row_of("IMG_0006.HEIC");
            QVERIFY(heic >= 0 && entry(list, heic, Qt::ToolTipRole).toString().split('\n').contains("Taken Friday, May 1, 2026 at 10:20 AM"));
            viewer->show_row(clip); // left before its frame came
            viewer->show_row(heic);
            QVERIFY(arrived.wait(20000));
            QTest::qWait(500);
            QCOMPARE(arrived.count(), 2);
            QVERIFY(viewer->current_row() == heic && viewer->shows_whole_photo() && viewer->shown_image().size() == QSize(400, 300));
            grab_for_review(*viewer, "camera-card-heic-larger-view");
        }
        // the card gone: no picture to be had, the thumbnail shown with why
        QVERIFY(QFile::rename(card.image, card.image + ".pulled"));
        viewer->show_row(video);
        const bool came = arrived.wait(20000);
        QVERIFY(QFile::rename(card.image + ".pulled", card.image));
        QVERIFY(came && !viewer->shows_whole_photo());
        QCOMPARE(viewer->note_text(), QStringLiteral("The card could not be read where this file lies; this is its thumbnail."));
        viewer->close();
    }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QVERIFY(make_blank_image(big, qint64(64) << 30) && QDir().mkpath(root));
        for (int i = 0; i < 40; ++i)
            QVERIFY(make_blank_image(QDir(root).filePath(QStringLiteral("DSC_%1.JPG").arg(i)), 128 << 20));
    }

    // Items that stay keep their place and selection; the list is polled on the device
    // page only; "Go back" leads from the final page to the results and the devices.
    void device_page_follows_devices_and_polls_only_there()
    {
        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        auto *list = child<QListWidget>(window, ui::devices);
        QTRY_VERIFY_WITH_TIMEOUT(fake.polls >= 1, 3000); // the first tick
        const auto refresh = [&] { refresh_devices(window); };
        for (const QString node : {"/dev/sdc1", "/dev/sdb1", "/dev/mmcblk0p1", "/dev/sdd"})
            fake.attach(image_device(node, node.endsWith("c1") ? "PHOTOS" : ""));
        fake.now["/dev/sdc1"].size = qint64(7580) << 20;
        fake.now["/dev/sdc1"].root_path = "/media/anna/PHOTOS";
        refresh();
        QVERIFY(list->item(2)->toolTip() == "/dev/sdc1\nMounted at /media/anna/PHOTOS" && child<QLabel>(window, "emptyHint")->isHidden());
        QCOMPARE(listed(list), (QStringList{"/dev/mmcblk0p1", "/dev/sdb1", "/dev/sdc1", "/dev/sdd"}));
        list->setCurrentRow(2);
        fake.now.remove("/dev/mmcblk0p1"); // two pulled out at the same poll: exactly their items go
        fake.now.remove("/dev/sdd");
        fake.attach(image_device("/dev/sda1")); // one plugged in goes last, whatever its name
        fake.now["/dev/sdc1"].label = "HOLIDAY"; // relabelled and reformatted
        fake.now["/dev/sdc1"].file_system.clear();
        refresh();
        QCOMPARE(listed(list), (QStringList{"/dev/sdb1", "/dev/sdc1", "/dev/sda1"}));
        QVERIFY(list->currentRow() == 1 && list->currentItem()->isSelected());
        QCOMPARE(list->item(1)->text(), QStringLiteral("HOLIDAY (sdc1) - 7580 MB\nNot formatted"));

        child<QStackedWidget>(window, ui::pages)->setCurrentIndex(final_page);
        fake.now.clear();
        refresh(); // not while another page shows
        QCOMPARE(list->count(), 3);
        click(window, ui::final_back);
        QCOMPARE(page_of(window), scan_page);
        click(window, ui::scan_back); // no scan runs: no question
        QCOMPARE(page_of(window), device_page);
        QTRY_COMPARE_WITH_TIMEOUT(list->count(), 0, 3000); // polled again
        QVERIFY(!child<QLabel>(window, "emptyHint")->isHidden());
        QVERIFY(answers.seen.isEmpty() && answers.unexpected.isEmpty());
    }

    void next_explains_what_is_missing()
    {
        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        const auto next_says = [&](const QString &text, bool by_enter = false) { // Enter on the device is "Next"
            answers.press_ok();
            by_enter ? QTest::keyClick(child<QListWidget>(window, ui::devices), Qt::Key_Return) : click(window, ui::next);
            QCOMPARE(answers.last(), text);
            QCOMPARE(page_of(window), device_page);
        };
        const auto offer = [&](const QString &image) {
            fake.now.clear();
            fake.attach(image_device(image));
            refresh_devices(window);
            child<QListWidget>(window, ui::devices)->setCurrentRow(0);
        };
        next_says("No devices found.\nPlease connect your removable device to computer.");
        const QString gone = scratch.filePath("gone.img"), locked = scratch.filePath("locked.img");
        QVERIFY(make_blank_image(gone, 4 << 20) && make_blank_image(locked, 4 << 20));
        offer(gone);
        QVERIFY(QFile::remove(gone)); // pulled out between the last poll and "Next"
        next_says("Selected device no longer available. Please select again.", true);

        // there, but not readable by this user (root reads any file: an ordinary user for the one click)
        QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
        offer(locked);
        const bool as_root = ::geteuid() == 0;
        QVERIFY(!as_root || ::seteuid(65534) == 0);
        next_says("The device could not be read.\n"
                  "Permission denied: reading a device needs membership of the 'disk' group or root.");
        QVERIFY(!as_root || ::seteuid(0) == 0);
        QVERIFY(answers.unexpected.isEmpty());
    }

    void progress_data()
    {
        QTest::addColumn<qint64>("i");
        QTest::addColumn<qint64>("j");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qreal>("points"); // the page's font: 150 % of a 9 pt desktop font is 13.5 pt
        QTest::newRow("first block, 100 %") << qint64(8192) << qint64(3000000) << 0 << "Scanning 0.27%" << 9.0;
        QTest::newRow("almost, 150 %") << qint64(2999999) << qint64(3000000) << 99 << "Scanning 100.00%" << 13.5;
        QTest::newRow("2 TiB card, a large desktop font") << (qint64(1) << 32) << (qint64(1) << 33) << 50 << "Scanning 50.00%" << 18.0;
        QTest::newRow("empty volume") << qint64(0) << qint64(0) << 0 << "Scanning 0.00%" << 9.0;
    }

    // The bar shows two decimals with a point in a locale with a decimal comma,
    // for Qt and for the C library alike. Every stage of a scan, from the first
    // block to thousands of photos with speed and time left: the text beside
    // the bar fits it, keeps its per cent whole and cuts no word.
    void progress()
    {
        QFETCH(qint64, i);
        QFETCH(qint64, j);
        QFETCH(qreal, points);
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
        const auto restore = qScopeGuard([&] {
            std::setlocale(LC_NUMERIC, "C");
            QLocale::setDefault(before);
        });
        DrivenWindow driven;
        MainWindow &window = driven.window;
        QFont font = scan_page_of(window).font();
        font.setPointSizeF(points);
        scan_page_of(window).setFont(font);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        scan_page_of(window).show_progress(i, j);
        auto *bar = child<QProgressBar>(window, ui::bar);
        QTEST(bar->value(), "value");
        QTEST(bar->text(), "text");
        QVERIFY(!bar->isHidden() && !child<QWidget>(window, ui::stop)->isHidden() && child<QWidget>(window, ui::status)->isHidden());
        auto *label = child<QLabel>(window, "progressText");
        const int room = label->contentsRect().width();
        QVERIFY(!label->isHidden() && label->fontMetrics().horizontalAdvance(label->text()) <= room);
        grab_for_review(scan_page_of(window), QStringLiteral("progress-text-%1pt").arg(points));
        for (const float percent : {0.27f, 45.0f, 100.0f}) {
            for (const int photos : {0, 38, 1857, 123456}) {
                for (const qint64 left : {-1, 7, 59, 750, 45000}) {
                    const std::optional<double> speed = left < 0 ? std::nullopt : std::optional<double>(38e6);
                    const std::optional<qint64> time = left < 0 ? std::nullopt : std::optional<qint64>(left);
                    const QString whole = progress_text(percent, photos, speed, time, label->fontMetrics(), INT_MAX);
                    const QString shown = progress_text(percent, photos, speed, time, label->fontMetrics(), room);
                    QVERIFY2(label->fontMetrics().horizontalAdvance(shown) <= room, qPrintable(shown));
                    QVERIFY2(shown.contains(QString::number(percent, 'f', 2) + '%'), qPrintable(shown));
                    for (const QString &word : shown.split(' '))
                        QVERIFY2(whole.split(' ').contains(word), qPrintable(shown + " | " + whole));
                }
            }
        }
    }

    void folder_dialog_takes_typed_paths_data()
    {
        QTest::addColumn<QString>("typed"); // relative to the folder the dialog shows
        QTest::addColumn<bool>("made_after_opening");
        QTest::addColumn<QString>("chosen"); // relative; empty: refused
        QTest::newRow("there, no trailing slash") << "old" << false << "old";
        QTest::newRow("there, with one") << "old/" << false << "old";
        QTest::newRow("made elsewhere once the dialog was open") << "later" << true << "later";
        QTest::newRow("new, two levels, made") << "new/inner" << false << "new/inner";
        QTest::newRow("nothing typed: the folder shown") << "" << false << ".";
        QTest::newRow("a file") << "photo.jpg" << false << "";
        QTest::newRow("names the dialog wrote for its selection") << "\"old\" \"photo.jpg\"" << false << "old";
    }

    void folder_dialog_takes_typed_paths()
    {
        QFETCH(QString, typed);
        QFETCH(bool, made_after_opening);
        QFETCH(QString, chosen);
        QTemporaryDir base;
        QVERIFY(QDir(base.path()).mkdir("old") && write_file(base.filePath("photo.jpg"), "not a folder"));
        FolderDialog dialog(nullptr, "Restore", base.path());
        ModalAnswerer answers;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::qWait(100); // the dialog lists the folder
        if (made_after_opening)
            QVERIFY(QDir(base.path()).mkdir(typed));
        auto *choose = dialog.findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Open);
        QTest::keyClicks(dialog.findChild<QLineEdit *>("fileNameEdit"), typed);
        if (chosen.isEmpty()) { // refused with a message, whatever the button shows
            answers.press_ok();
            dialog.accept();
            QVERIFY(dialog.isVisible() && dialog.chosen().isEmpty() && QFileInfo(base.filePath(typed)).isFile());
            QCOMPARE(answers.last(), base.filePath(typed) + " is a file, not a folder.");
            return;
        }
        QTRY_VERIFY(choose->isEnabled());
        choose->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.chosen(), QDir::cleanPath(base.filePath(chosen)));
        QVERIFY(QFileInfo(dialog.chosen()).isDir());
    }

    // Tab reaches every control of each page, and each shows that it has the
    // focus: the device list, the buttons, "Select all", the grid's current
    // entry, the last page's buttons. Run offscreen and, by ctest, under a
    // window manager on a virtual X server, where the window takes the focus
    // as on a desktop.
    void focus_is_visible_on_every_control()
    {
        const QString image = scratch.filePath("focus.img"), target = scratch.filePath("focus-out");
        QVERIFY(write_file(image, volume_of({qt_jpeg(make_picture(320, 240, 7)), qt_jpeg(make_picture(320, 240, 8))})));
        QVERIFY(QDir().mkpath(target));
        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        UrlCatcher urls;
        fake.attach(image_device(image));
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        refresh_devices(window);
        QStringList visited, unseen;
        const auto walk_from = [&](const char *first) {
            // after a dialog, a window manager may keep the focus from the window until it is clicked
            QTest::qWait(200);
            window.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&window));
            child<QWidget>(window, first)->setFocus(Qt::TabFocusReason);
            QTRY_VERIFY(child<QWidget>(window, first)->hasFocus());
            unseen += controls_without_visible_focus(window, &visited);
        };
        child<QListWidget>(window, ui::devices)->setCurrentRow(0);
        walk_from(ui::devices);
        click(window, ui::next);
        QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("Scanning finished"), 30000);
        walk_from(ui::results);
        QVERIFY(!restore_into(window, answers, target).isEmpty());
        walk_from("openFolderButton");
        QVERIFY2(unseen.isEmpty(), qPrintable("no focus shown on " + unseen.join(", ") + "; reached " + visited.join(", ")));
        for (const char *control : {ui::devices, ui::next, "openImageButton", ui::results, ui::select_all, ui::scan_back,
                                    ui::restore, "openFolderButton", ui::final_back, ui::close})
            QVERIFY2(!visited.filter(QRegularExpression(QStringLiteral("^%1( |$)").arg(control))).isEmpty(),
                     qPrintable(QStringLiteral("Tab does not reach %1: %2").arg(control, visited.join(", "))));
    }

    // Real scans over an image of four photos (the first with a date and camera)
    // and over one of none, with a recovery in between.
    void results_numbering_ticks_details_and_file_times()
    {
        QList<QByteArray> photos{with_exif_tags(qt_jpeg(make_picture(640, 400, 0)),
                                                {"-DateTimeOriginal=2021:07:04 15:30:12", "-OffsetTimeOriginal=+02:00", "-Model=Canon EOS 80D"})};
        if (photos[0].isEmpty())
            QSKIP("exiftool is not installed");
        for (int seed = 1; seed < 4; ++seed)
            photos.append(qt_jpeg(make_picture(320, 200 + 16 * seed, seed)));
        photos[3] = with_exif_tags(photos[3], {"-n", "-Orientation=6"}); // to be turned a quarter clockwise
        photos.append(qt_jpeg(make_picture(320, 240, 4)));
        photos[4].truncate(photos[4].size() * 3 / 5 / 512 * 512); // cut short: only its top part comes out
        const QString image = scratch.filePath("four.img"), empty = scratch.filePath("empty.img"), target = scratch.filePath("out");
        QVERIFY(write_file(image, volume_of(photos)) && make_blank_image(empty, 8 << 20) && QDir().mkpath(target));
        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        UrlCatcher urls;
        auto *list = results_of(window);
        auto *all = child<QCheckBox>(window, ui::select_all);

        all->setChecked(false); // unticked while the photos arrive: they arrive unticked
        window.show();
        answers.choose_file(image);
        click(window, "openImageButton"); // scanned as a card would be
        QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("Scanning finished"), 60000);
        QVERIFY(child<QLabel>(window, "mountNote")->isVisible()); // no mount: the live photos are listed too
        QCOMPARE(listed(list, Qt::DisplayRole), (QStringList{"IMAGE_0001.JPG", "IMAGE_0002.JPG", "IMAGE_0003.JPG", "IMAGE_0004.JPG", "IMAGE_0005.partial.JPG"}));
        // stays after the scan, with what is shown and ticked under it
        QCOMPARE(child<QLabel>(window, "countLabel")->text(), QStringLiteral("5 photos, 1 only in part\n5 shown, none ticked"));
        scan_page_of(window).show_progress(1, 2);
        QCOMPARE(child<QProgressBar>(window, ui::bar)->text(), QStringLiteral("Scanning 50.00% - 5 photos")); // the list's count
        QVERIFY(entry(list, 4, ResultsModel::PartialRole).toBool() && !entry(list, 3, ResultsModel::PartialRole).toBool());
        QBuffer bytes(&photos[3]); // the turned photo's thumbnail shows it upright
        QImageReader reader(&bytes, "JPEG");
        reader.setAutoTransform(false);
        const QImage stored = reader.read();
        QVERIFY2(off_by(list, 3, stored.transformed(QTransform().rotate(90))) < 8 && off_by(list, 3, stored) > 30,
                 qPrintable(QString::number(off_by(list, 3, stored.transformed(QTransform().rotate(90))))));
        for (int row = 0; row < 4; ++row) { // in volume order, each with its offset and thumbnail
            QVERIFY(entry(list, row, ResultsModel::OffsetRole).toLongLong() > (row ? entry(list, row - 1, ResultsModel::OffsetRole).toLongLong() : 2047));
            const QPixmap thumbnail = entry(list, row, Qt::DecorationRole).value<QPixmap>();
            QVERIFY(!thumbnail.isNull() && thumbnail.width() <= 120 && thumbnail.height() <= 90);
        }
        // what each row holds of its photo, for views that sort or filter them
        QVERIFY(entry(list, 0, ResultsModel::LengthRole).toLongLong() == photos[0].size()
                && entry(list, 0, ResultsModel::TakenRole).toDateTime() == camera_date
                && entry(list, 0, ResultsModel::FolderRole).toString().isEmpty()); // no entry named it
        QCOMPARE(entry(list, 3, ResultsModel::PixelSizeRole).toSize(), QSize(248, 320)); // as shown, upright
        const QStringList tooltip = entry(list, 0, Qt::ToolTipRole).toString().split('\n'); // from what the scan decoded
        QCOMPARE(tooltip.mid(0, 4), (QStringList{"IMAGE_0001.JPG", "Original name not known; found by its content.", "JPEG photo", "640 x 400 pixels"}));
        QCOMPARE(tooltip.mid(5), (QStringList{"On the card at byte 2,048 (2.0 kB in)", "Taken Sunday, July 4, 2021 at 3:30 PM", "Camera: Canon EOS 80D"}));
        QWidget *tip = hover_tooltip(list, 0); // shown over the grid as the model gives it
        QVERIFY(tip && qobject_cast<QLabel *>(tip)->text().contains("Original name not known; found by its content."));
        grab_for_review(*tip, "unknown-name-tooltip");
        QCOMPARE(ticks(list), QStringLiteral("-----"));
        click_entry(list, 1, false); // a click on the thumbnail ticks nothing; a double click opens the larger view,
        click_entry(list, 1, false, true); // with the whole photo read from the card: the scan is over
        auto *viewer = window.findChild<PhotoViewer *>();
        QVERIFY(viewer && viewer->isVisible() && viewer->current_row() == 1);
        QTRY_VERIFY(viewer->shows_whole_photo() && viewer->shown_image().size() == QSize(320, 216));
        viewer->show_row(4);
        QCOMPARE(viewer->windowTitle(), QStringLiteral("IMAGE_0005.partial.JPG (5 of 5) - top part only"));
        viewer->close();
        click_entry(list, 1, true); // some ticked: "Select all" says so, and the count
        QVERIFY(ticks(list) == "-x---" && all->checkState() == Qt::PartiallyChecked);
        QVERIFY(child<QLabel>(window, "countLabel")->text().startsWith(QStringLiteral("5 photos, 1 only in part\n5 shown, 1 ticked (")));
        grab_for_review(window, "select-all-partly-ticked");
        all->click(); // "Select all" overrides every choice made by hand, both ways
        QVERIFY(ticks(list) == "xxxxx" && all->checkState() == Qt::Checked);
        click_entry(list, 2, true);
        QVERIFY(ticks(list) == "xx-xx" && all->checkState() == Qt::PartiallyChecked);
        click_entry(list, 2, true); // all ticked by hand: so is "Select all"
        QVERIFY(all->checkState() == Qt::Checked && !all->isTristate());
        click_entry(list, 2, true);
        all->setChecked(false);
        QVERIFY(ticks(list) == "-----" && all->checkState() == Qt::Unchecked);
        all->setChecked(true);
        list->setFocus(); // the keyboard toggles the current entry
        set_current_row(list, 3);
        QTest::keyClick(list, Qt::Key_Space);
        QCOMPARE(ticks(list), QStringLiteral("xxx-x"));
        // as in a file manager: Space ticks as the current entry's opposite every entry selected
        click_entry(list, 0, false);
        click_entry(list, 2, false, false, Qt::ShiftModifier);
        QTest::keyClick(list, Qt::Key_Space);
        QCOMPARE(ticks(list), QStringLiteral("----x"));
        click_entry(list, 1, false, false, Qt::ControlModifier); // out of the selection, and current
        QTest::keyClick(list, Qt::Key_Space);
        QCOMPARE(ticks(list), QStringLiteral("x-x-x"));
        QTest::keyClick(list, Qt::Key_Return); // Enter opens the current one
        QTRY_VERIFY(window.findChild<PhotoViewer *>() && window.findChild<PhotoViewer *>()->current_row() == 1);
        window.findChild<PhotoViewer *>()->close();
        answers.choose_entry("Tick"); // the menu of an entry outside the selection acts on that entry alone
        emit list->customContextMenuRequested(entry_rect(list, 3).center());
        QCOMPARE(ticks(list), QStringLiteral("x-xxx"));

        // closing would lose them: said so, No by default
        answers.press("No");
        window.close();
        QVERIFY(window.isVisible() && answers.seen.last().default_button == "No");
        QCOMPARE(answers.last(), QStringLiteral("The 5 photos found have not been restored. Exit and discard them?"));
        // back (the unrestored photos given up), and a second scan: numbering starts again, entries ticked
        answers.press("Yes");
        click(window, ui::scan_back);
        start_scan(window, fake, image_device(image));
        QCOMPARE(count_of(list), 0);
        QTRY_COMPARE_WITH_TIMEOUT(count_of(list), 5, 30000); // the status keeps the last run's text until the new run reports
        QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("Scanning finished"), 30000);
        QVERIFY(entry(list, 0).toString() == "IMAGE_0001.JPG" && ticks(list) == "xxxxx");

        const QString typed = scratch.filePath("typed/new");
        answers.type_directory(typed); // made, though typed without a trailing slash
        click(window, ui::restore);
        QCOMPARE(page_of(window), final_page);
        QCOMPARE(entries_of(typed).size(), 5);
        click(window, ui::final_back); // restored, so closing is asked as ever
        answers.press("No");
        window.close();
        QCOMPARE(answers.last(), QStringLiteral("Are you sure want to exit?"));
        QVERIFY(restore_into(window, answers, target).startsWith("5 photos were written into this folder:\n" + target + '\n'));
        child<QPushButton>(window, "openFolderButton")->click(); // the folder opened by itself, and once more
        QCOMPARE(urls.opened, (QList<QUrl>{QUrl::fromLocalFile(typed), QUrl::fromLocalFile(target), QUrl::fromLocalFile(target)}));
        // the photo's date as its file time; without one, the time of recovery
        QCOMPARE(QFileInfo(target + "/IMAGE_0001.JPG").lastModified(), camera_date);
        QVERIFY(qAbs(QFileInfo(target + "/IMAGE_0002.JPG").lastModified().secsTo(QDateTime::currentDateTime())) < 120);
        click(window, ui::final_back); // the same again: nothing new, and said so
        QVERIFY(restore_into(window, answers, target).startsWith("No new photo was written into this folder:\n" + target + "\n5 photos were in this folder already"));
        QVERIFY(window.restore_counts().written == 0 && window.restore_counts().present == 5 && entries_of(target).size() == 5);

        // restored, so back without a question; no photos: "Select all" stays
        // hidden, and bytes that could not be read are told with the final status
        click(window, ui::final_back);
        click(window, ui::scan_back);
        QVERIFY(scan_ends_with(window, fake, image_device(empty, "EMPTY"), "No files found"));
        QVERIFY(count_of(list) == 0 && all->isHidden() && child<QWidget>(window, ui::bar)->isHidden()
                && child<QWidget>(window, ui::stop)->isHidden());
        scan_page_of(window).note_unreadable(8192);
        scan_page_of(window).show_done();
        auto *status = child<QLabel>(window, ui::status);
        QCOMPARE(status->text(), QStringLiteral("No files found (8.0 KiB unreadable)"));
        QVERIFY(status->width() >= status->sizeHint().width() && status->geometry().right() < all->x());
        QCOMPARE(answers.unexpected, QStringList());
    }

    void camera_card_kinds_data()
    {
        QTest::addColumn<bool>("photos"); // ticked on the device page
        QTest::addColumn<bool>("videos");
        QTest::addColumn<QStringList>("suffixes"); // of the deleted files found
        QTest::addColumn<QString>("count"); // beside the title
        QTest::addColumn<QString>("found"); // as the questions and the last page name them
        QTest::addColumn<bool>("in_pieces"); // the card whose deleted files lie in pieces
        QTest::addColumn<QString>("told"); // after restoring, where the first file's name is taken in the folder
        QTest::newRow("photos and videos, as by default") << true << true << QStringList{"JPG", "HEIC", "MP4", "MOV", "AVI"} << "3 photos, 5 videos" << "8 photos and videos" << false << QString();
        QTest::newRow("photos only: JPEG and HEIC") << true << false << QStringList{"JPG", "HEIC"} << "3 photos" << "3 photos" << false << QString();
        QTest::newRow("videos only") << false << true << QStringList{"MP4", "MOV", "AVI"} << "5 videos" << "5 videos" << false << QString();
        QTest::newRow("videos only, a video's name taken in the folder") << false << true << QStringList{"MP4", "MOV", "AVI"} << "5 videos" << "5 videos" << false << "1 video was saved under another name";
        QTest::newRow("a video, a movie, a clip and a HEIC photo in pieces") << true << true << QStringList{"HEIC", "MP4", "MOV", "AVI"} << "1 photo, 3 videos" << "4 photos and videos" << true << QString();
    }

    // A camera card with photos, videos and HEIC photos, about half of each
    // deleted: the kinds ticked on the device page are found under their
    // names, videos marked as such with their length, the questions and the
    // last page name what was found, and the larger view opens at once and
    // shows a video's first frame and a HEIC photo from the card when made.
    // "Restore..." names what it writes as what it is, also in what it tells.
    void camera_card_kinds()
    {
        QFETCH(bool, photos);
        QFETCH(bool, videos);
        QFETCH(QStringList, suffixes);
        QFETCH(QString, found);
        QFETCH(bool, in_pieces);
        QFETCH(QString, told);
        const MediaCard *card = camera_card(in_pieces);
        if (!card)
            QSKIP(qPrintable(no_media_card));
        QVERIFY(!in_pieces || card->in_pieces.contains("MVI_0001.MP4"));
        QStringList expected;
        for (const QString &name : card->deleted.keys())
            expected += suffixes.contains(QFileInfo(name).suffix()) ? QStringList{name} : QStringList{};
        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        auto *photos_box = child<QCheckBox>(window, "photosBox"), *videos_box = child<QCheckBox>(window, "videosBox");
        QVERIFY(photos_box->isChecked() && videos_box->isChecked());
        photos ? void() : photos_box->click();
        videos ? void() : videos_box->click();
        QCOMPARE(photos_box->isChecked(), photos);
        QCOMPARE(videos_box->isChecked(), videos);
        QCOMPARE(photos_box->isEnabled(), !photos || videos); // the only kind ticked cannot be unticked
        QCOMPARE(videos_box->isEnabled(), !videos || photos);
        QVERIFY(scan_ends_with(window, fake, image_device(card->image, "CANON")));
        auto *list = results_of(window);
        QStringList names = listed(list, Qt::DisplayRole);
        names.sort();
        QCOMPARE(names, expected); // nothing live, no frame of a clip as a photo
        QTEST(child<QLabel>(window, "countLabel")->text().section('\n', 0, 0), "count");
        QCOMPARE(child<QWidget>(window, "kindBox")->isVisibleTo(&window), videos); // the grid's kind filter
        for (int row = 0; row < count_of(list); ++row)
            QVERIFY2(!entry(list, row, Qt::DecorationRole).value<QPixmap>().isNull(), qPrintable(entry(list, row).toString()));
        grab_for_review(window, QStringLiteral("camera-card-%1%2").arg(photos ? "photos" : "", videos ? "videos" : ""));
        if (videos)
            show_a_video_larger(window, *card, photos);
        if (QTest::currentTestFailed())
            return;

        // what going back or closing would give up, and what was written, named as what it is
        UrlCatcher urls;
        const QString tag = QStringLiteral("%1%2%3%4").arg(photos ? "photos" : "", videos ? "videos" : "", in_pieces ? "-pieces" : "",
                                                           told.isEmpty() ? "" : "-taken");
        answers.press("No");
        click(window, ui::scan_back);
        QCOMPARE(answers.last(), QStringLiteral("The %1 found have not been restored. Go back and discard them?").arg(found.section(' ', 1)));
        answers.press("No", "camera-card-close-question-" + tag);
        window.close();
        QCOMPARE(answers.last(), QStringLiteral("The %1 found have not been restored. Exit and discard them?").arg(found));
        const QString target = scratch.filePath("camera-" + tag);
        QVERIFY(QDir().mkpath(target));
        if (!told.isEmpty())
            QVERIFY(write_file(QDir(target).filePath(expected.first()), "an earlier file"));
        const QString account = restore_into(window, answers, target, !told.isEmpty());
        QCOMPARE(answers.folder_titles.last(), QStringLiteral("Recover %1 to directory").arg(found.section(' ', 1)));
        QVERIFY2(told.isEmpty() || answers.last().startsWith(told + ", because a file of its name with other contents "
                                                                     "was already in the folder:\n" + expected.first()),
                 qPrintable(answers.last()));
        QVERIFY2(account.startsWith(found + " were written into this folder:\n"), qPrintable(account));
        grab_for_review(window, "camera-card-finish-page-" + tag);
        QCOMPARE(entries_of(target).size(), expected.size() + (told.isEmpty() ? 0 : 1));
        QVERIFY(answers.unexpected.isEmpty());
    }

    void questions_while_scanning_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("question");
        QTest::addColumn<int>("page"); // where Yes leads; -1: the window closes
        QTest::newRow("stop") << "stop" << "Are you sure you want to stop scanning?" << int(scan_page);
        QTest::newRow("go back") << "go back" << "Are you sure to stop scanning and select another one device?" << int(device_page);
        QTest::newRow("close") << "close" << "The scan is still running. Stop it and exit?" << -1;
    }

    // Restoring while the scan runs is refused; No leaves the scan running, Yes stops it.
    void questions_while_scanning()
    {
        QFETCH(QString, action);
        QFETCH(int, page);
        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        auto *bar = child<QProgressBar>(window, ui::bar);
        const auto ask = [&] {
            action == "stop" ? click(window, ui::stop) : action == "go back" ? click(window, ui::scan_back) : void(window.close());
        };
        start_scan(window, fake, image_device(big, "BIG"));
        QTRY_VERIFY_WITH_TIMEOUT(!bar->isHidden(), 10000);
        answers.press_ok();
        click(window, ui::restore);
        QCOMPARE(answers.last(), QStringLiteral("Scanning still in progress. Please wait or stop scanning."));
        answers.press("No");
        ask();
        QVERIFY(window.isVisible() && page_of(window) == scan_page);
        const QString text_then = bar->text();
        QTRY_VERIFY_WITH_TIMEOUT(bar->text() != text_then, 10000); // the scan goes on

        answers.press("Yes");
        ask();
        QVERIFY(action != "stop" || status_of(window) == "Stopping the scan..."); // at once, before the worker has ended
        QCOMPARE(window.isVisible(), page >= 0);
        QVERIFY(page < 0 || page_of(window) == page);
        // stopped: how far it got, and that the rest was not searched
        QTRY_VERIFY_WITH_TIMEOUT(status_of(window).startsWith("Stopped at ") && status_of(window).endsWith("; the rest was not searched"), 10000);
        QVERIFY(bar->isHidden() && child<QWidget>(window, ui::stop)->isHidden());
        QTEST(answers.seen.at(1).text, "question");
        QCOMPARE(answers.seen.at(1).default_button, QStringLiteral("No")); // Enter gives up nothing
        QVERIFY(answers.seen.size() == 3 && answers.unexpected.isEmpty());
    }

    // The card is pulled out while its files are indexed; Yes skips the rest of
    // the index, and the raw read that follows says why it cannot read the card.
    void skip_question_and_a_card_pulled_out()
    {
        const QString image = scratch.filePath("card.img");
        QVERIFY(make_blank_image(image, 8 << 20));
        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        auto *status = child<QLabel>(window, ui::status);
        auto *skip = child<QPushButton>(window, ui::skip);
        start_scan(window, fake, image_device(image, "CARD", root));
        QTRY_VERIFY_WITH_TIMEOUT(!skip->isHidden(), 10000);
        QVERIFY(status->text().startsWith("Please wait. Scanning exiting files (")
                && skip->pos() == QPoint(status->x() + status->width() + 5, status->y())); // the link follows the text
        QVERIFY(QFile::rename(image, image + ".pulled"));
        answers.press("Yes");
        answers.press_ok(); // the explanation
        click(window, ui::skip);
        QTRY_COMPARE_WITH_TIMEOUT(answers.pending(), 0, 30000);
        QCOMPARE(status->text(), QStringLiteral("The device could not be read."));
        QCOMPARE(status->toolTip(), QStringLiteral("No such device or image file."));
        QVERIFY(skip->isHidden());
        QCOMPARE(answers.seen.at(0).text, QStringLiteral("Are you sure want to skip scanning existing files?"));
        QCOMPARE(answers.last(), QStringLiteral("The device could not be read.\nNo such device or image file."));
    }

    // One scan of the card (its live files standing in for the mount point), then
    // every way "Restore..." can go.
    void restore_paths_over_the_sample_card()
    {
        if (const QStringList missing = missing_tools({"mkfs.fat", "mcopy", "cjpeg", "exiftool"}); !missing.isEmpty())
            QSKIP(qPrintable(QStringLiteral("not installed: %1").arg(missing.join(' '))));
        QTemporaryDir target, cancelled, elsewhere;
        SampleCard card;
        QString error;
        QVERIFY2(card.make(scratch.path(), &error), qPrintable(error));
        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        QVERIFY(scan_ends_with(window, fake, image_device(card.image, "VELVORA", card.live)));
        auto *list = results_of(window);
        QCOMPARE(count_of(list), card.deleted.size()); // the live photos were indexed
        // under the names their entries kept, with where they were and when
        QCOMPARE(listed(list, Qt::DisplayRole), card.recovered_names());
        const QStringList tooltip = entry(list, 0, Qt::ToolTipRole).toString().split('\n');
        QVERIFY2(tooltip.contains("DCIM/100CAMERA, deleted"), qPrintable(tooltip.join(" | ")));
        const QString modified = QLocale().toString(QDateTime(QDate(2009, 7, 1), QTime(12, 0)), QLocale::ShortFormat);
        QVERIFY2(tooltip.contains("Modified " + modified), qPrintable(tooltip.join(" | ")));
        QVERIFY(entry(list, 0, ResultsModel::FolderRole).toString() == "DCIM/100CAMERA"
                && entry(list, 0, ResultsModel::ModifiedRole).toDateTime() == QDateTime(QDate(2009, 7, 1), QTime(12, 0)));
        const auto restore_told = [&](const QString &folder, const QString &told) {
            restore_into(window, answers, folder, !told.isNull());
            QCOMPARE(answers.pending(), 0);
            QVERIFY2(told.isNull() || answers.last().startsWith(told), qPrintable(answers.last()));
        };
        const auto summary = [&] { return child<QLabel>(window, "summaryLabel")->text(); };

        click(window, ui::select_all); // nothing ticked: said so, no folder dialog
        answers.press_ok();
        click(window, ui::restore);
        QCOMPARE(answers.last(), QStringLiteral("Please select files to recover"));
        click(window, ui::select_all);
        restore_told(QString(), QString()); // the folder dialog cancelled: nothing happens
        QCOMPARE(answers.seen.size(), 1);
        QVERIFY(QFile::rename(card.image, card.image + ".away")); // the card gone since the scan
        restore_told(target.path(), "The device could not be opened to recover the photos.\nNo such device or image file.");
        QVERIFY(QFile::rename(card.image + ".away", card.image));
        QVERIFY(page_of(window) == scan_page && entries_of(target.path()).isEmpty());

        // The second photo unticked by hand; in the folder an earlier file of the
        // first photo's name, a link in the third's place and a folder in the
        // fourth's: none is replaced or followed, those photos take a suffix.
        click_entry(list, 1);
        const QStringList names = card.recovered_names();
        const QByteArray earlier(3 << 20, 'x');
        QVERIFY(write_file(target.filePath(names[0]), earlier));
        const QString outside = elsewhere.filePath("precious.txt");
        QVERIFY(write_file(outside, "keep me") && QFile::link(outside, target.filePath(names[2])));
        QVERIFY(QDir(target.path()).mkdir(names[3]));
        const int ticked = int(card.deleted.size()) - 1;
        restore_told(target.path(), QStringLiteral("3 photo(s) were saved under other names"));
        QCOMPARE(page_of(window), final_page); // the final page follows the message
        QCOMPARE(read_file(target.filePath(names[0])), earlier);
        QVERIFY(QFileInfo(target.filePath(names[2])).isSymLink() && QDir(target.filePath(names[3])).isEmpty());
        QCOMPARE(read_file(outside), QByteArray("keep me"));
        QCOMPARE(read_file(target.filePath(PhotoWriter::variant_of(names[0], 2))), card.deleted[0]);
        // no date in its EXIF: the file keeps the time its entry kept
        QCOMPARE(QFileInfo(target.filePath(names[4])).lastModified(), QDateTime(QDate(2009, 7, 1), QTime(12, 0)));
        QList<QByteArray> contents;
        for (const QString &name : entries_of(target.path()))
            contents.append(read_file(target.filePath(name)));
        QCOMPARE(contents.size(), 3 + ticked);
        for (int i = 0; i < card.deleted.size(); ++i)
            QCOMPARE(contents.contains(card.deleted[i]), i != 1);
        QVERIFY(window.restore_counts().written == ticked && window.restore_counts().renamed == 3);
        QVERIFY(summary().contains(QStringLiteral("\n3 of them were saved under other names")));
        QCOMPARE(child<QPlainTextEdit>(window, "restoredNames")->toPlainText().count(" as IMG_"), 3); // each with a suffix
        click(window, ui::final_back);
        restore_told(target.path(), QString()); // again: all there already, under their names; nothing to tell
        QVERIFY(window.restore_counts().written == 0 && window.restore_counts().present == ticked && window.restore_counts().renamed == 0);
        QVERIFY(summary().contains(QStringLiteral("\n%1 photos were in this folder already, byte for byte").arg(ticked)));
        QCOMPARE(entries_of(target.path()).size(), 3 + ticked);

        // Back to the results as they were; all ticked, and Cancel pressed as soon
        // as the progress dialog shows: the photos written so far stay, whole.
        click(window, ui::final_back);
        QVERIFY(page_of(window) == scan_page && entry(list, 1, Qt::CheckStateRole).toInt() == Qt::Unchecked);
        click_entry(list, 1);
        QPointer<QProgressDialog> progress;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget()); dialog && !dialog->wasCanceled())
                (progress = dialog)->cancel();
        });
        watch.start(0);
        restore_told(cancelled.path(), QString());
        watch.stop();
        QCOMPARE(page_of(window), final_page); // the final page follows a cancel too
        const QStringList written = entries_of(cancelled.path());
        QVERIFY2(!written.isEmpty() && written.size() < card.deleted.size(), qPrintable(written.join(' ')));
        for (int i = 0; i < written.size(); ++i) {
            QCOMPARE(written[i], card.recovered_names()[i]);
            QCOMPARE(read_file(cancelled.filePath(written[i])), card.deleted[i]);
        }
        const qsizetype left = card.deleted.size() - written.size();
        QVERIFY2(summary().contains(QString::number(left) + (left == 1 ? " photo was" : " photos were")
                                    + " not written, because the recovery was cancelled."), qPrintable(summary()));
        QTRY_VERIFY(progress.isNull()); // released once the event loop runs
        click(window, ui::close); // on the final page: no question
        QVERIFY(!window.isVisible());
        QVERIFY2(answers.unexpected.isEmpty(), qPrintable(answers.unexpected.join("; ")));
    }

    void live_loop_device_mounted_with_exfat_fuse()
    {
        if (const QString why_not = loop_unavailable_reason({"mkfs.exfat", "mount.exfat-fuse"}); !why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        QTemporaryDir dir, target;
        const QString image = dir.filePath("exfat.img"), point = dir.filePath("mnt");
        QVERIFY(make_exfat_image(image, 48 << 20, "VLVGUI") && QDir().mkpath(point));
        LoopDevice loop;
        if (!loop.attach(image) || !loop.mount_exfat(point))
            QSKIP("cannot attach and mount an exFAT image here");
        // the folder for the refusal below, made first: later, it could take a deleted photo's clusters
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
        QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("Scanning finished"), 60000);
        QCOMPARE(count_of(results_of(window)), 2); // the live photo was indexed

        restore_into(window, answers, on_card, true); // a folder on the scanned card is refused
        QVERIFY(answers.last().startsWith("This folder is on the device the photos are recovered from."));
        QVERIFY(QDir(on_card).isEmpty());
        QVERIFY(!restore_into(window, answers, target.path()).isEmpty());
        QCOMPARE(read_file(target.filePath("P0.JPG")), photos.at(0)); // under the names exFAT kept
        QCOMPARE(read_file(target.filePath("P2.JPG")), photos.at(2));
        QVERIFY(answers.unexpected.isEmpty());
    }

    void photo_facts_data()
    {
        QTest::addColumn<QStringList>("tags"); // exiftool assignments; none leaves the photo without EXIF
        QTest::addColumn<bool>("partial");
        QTest::addColumn<qint64>("memory"); // the decoder's limit
        QTest::addColumn<QDateTime>("taken");
        QTest::addColumn<QString>("folder"); // of its deleted entry; none: found by its content
        QTest::addColumn<QStringList>("lines"); // the tooltip after its name and byte size lines
        QTest::addColumn<qint64>("duration"); // milliseconds of the video the facts stand for; -1: a photo
        const QString at = "On the card at byte 1,048,576 (1.0 MB in)", unknown = "Original name not known; found by its content.";
        const QString jpeg = "JPEG photo", pixels = "640 x 400 pixels";
        const auto row = [](const char *name, const QStringList &lines, const QString &folder = {}, qint64 duration = -1,
                            const QStringList &tags = {}, bool partial = false, const QDateTime &taken = {},
                            qint64 memory = JpegDecodeCheck::memory_budget) {
            QTest::newRow(name) << tags << partial << memory << taken << folder << lines << duration;
        };
        row("no EXIF", {unknown, jpeg, pixels, at});
        row("named by its deleted entry", {"DCIM/100CANON, deleted", jpeg, pixels, at}, "DCIM/100CANON");
        row("too large to decode in its memory",
            {unknown, jpeg, pixels, at, "No preview: the photo is too large to decode while scanning. It is recovered all the same."},
            {}, -1, {}, false, {}, 64 * 1024);
        row("no DateTimeOriginal, turned, only its top",
            {unknown, jpeg, "400 x 640 pixels", at, "Taken Wednesday, January 2, 2019 at 3:04 AM", "Camera: Velvora Test 1",
             "Only its top part could be recovered."},
            {}, -1, {"-n", "-ModifyDate=2019:01:02 03:04:05", "-Make=Velvora", "-Model=Test 1", "-Orientation=6"}, true,
            QDateTime(QDate(2019, 1, 2), QTime(3, 4, 5)));
        // the window's rows of videos (the camera card's) are seconds long
        row("a video of a minute and more", {"DCIM/100GOPRO, deleted", "MOV video (HEVC), 1:05", pixels, at}, "DCIM/100GOPRO", 65'432);
        row("a video of hours", {unknown, "MOV video (HEVC), 1:02:05", pixels, at}, {}, 3'725'000);
    }

    // The facts come from the decoding of the found stream, as in a scan. Cut
    // anywhere in its leading segments, or with bytes of its EXIF changed, a photo
    // from a card never makes the reader go astray.
    void photo_facts()
    {
        QFETCH(QStringList, tags);
        QFETCH(QDateTime, taken);
        QFETCH(bool, partial);
        QFETCH(qint64, memory);
        QByteArray jpeg = qt_jpeg(make_picture(640, 400, 3));
        if (!tags.isEmpty() && (jpeg = with_exif_tags(jpeg, tags)).isEmpty())
            QSKIP("exiftool is not installed");
        const ThumbnailQueue::Result decoded = ThumbnailQueue::decode(jpeg, memory);
        QCOMPARE(decoded.thumbnail.isNull(), decoded.too_large_to_preview);
        QCOMPARE(decoded.too_large_to_preview, memory < JpegDecodeCheck::memory_budget);
        QCOMPARE(decoded.exif.has_exif(), !tags.isEmpty());
        QCOMPARE(decoded.exif.date_taken(), taken);
        PhotoFacts facts{1048576, jpeg.size(), decoded.pixel_size, decoded.exif};
        facts.partial = partial;
        facts.no_preview = decoded.too_large_to_preview;
        QFETCH(QString, folder);
        QFETCH(qint64, duration);
        const QString suffix = duration < 0 ? "JPG" : "MOV";
        if (duration >= 0) { // what the media probe tells of a video
            facts.kind = MediaKind::Video;
            facts.duration_ms = duration;
            facts.codec = "hevc";
        }
        if (!folder.isEmpty())
            facts.origin = FileOrigin{"IMG_0007." + suffix, folder, {}, {}, {}};
        QStringList tooltip = photo_tooltip((facts.origin.is_known() ? "IMG_0007." : "IMAGE_0007.") + suffix, facts).split('\n');
        tooltip.takeFirst();
        const QString size_line = tooltip.takeAt(3);
        QVERIFY2(size_line.endsWith(QStringLiteral(" kB (%1 bytes)").arg(QLocale().toString(jpeg.size()))), qPrintable(size_line));
        QTEST(tooltip, "lines");

        const qsizetype exif_end = jpeg.indexOf(QByteArray("\xFF\xDB", 2));
        for (qsizetype n = 0; n < exif_end; ++n) {
            const QDateTime cut = ExifInfo(jpeg.left(n)).date_taken();
            QVERIFY(!cut.isValid() || cut == taken);
        }
        QRandomGenerator random(11);
        for (int round = 0; !tags.isEmpty() && round < 2000; ++round) {
            QByteArray damaged = jpeg.left(exif_end);
            for (int i = 0; i < 4; ++i)
                damaged[12 + random.bounded(int(exif_end - 12))] = char(random.bounded(256));
            QVERIFY(ExifInfo(damaged).camera().size() < exif_end);
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
