// The results as the grid shows them: sorted, filtered and grouped by
// folder over the results model, ticks given through the view, photos
// arriving while it shows; velvora-scan writing only the photos chosen; and
// the window grouping a camera card by folder and restoring one folder.

#include "windowdriver.h"

#include "cameracard.h"
#include "exifinfo.h"
#include "exiftags.h"
#include "mediafiles.h"
#include "photowriter.h"
#include "resultsgrid.h"
#include "resultsmodel.h"
#include "resultsproxy.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QtTest>

using namespace windowtest;
using namespace testsupport;

namespace {

// Photos of every size band the filters know, from the encoder, dated by
// their EXIF data (written with exiftool) or by their deleted entry, some in
// camera folders, some found by their content alone. In the order found.
struct Sample
{
    QString name;
    QString folder;  // empty: found by content
    QString exif;    // DateTimeOriginal, "" for none
    QDate entry_day; // the modification day the deleted entry kept
    QSize pixels;
};
const QList<Sample> samples = {
    {"IMG_0101.JPG", "DCIM/100CANON", "2021:07:04 10:00:00", {}, {2400, 1600}}, // 1 MB and more
    {"IMAGE_0001.JPG", "", "", {}, {96, 64}},                                   // an icon
    {"IMG_0102.JPG", "DCIM/100CANON", "2021:07:02 09:00:00", {}, {1400, 1000}}, // 200 KB to 1 MB
    {"IMG_0007.JPG", "DCIM/101CANON", "", {2021, 7, 3}, {600, 400}},            // 50 to 200 KB
    {"IMAGE_0002.JPG", "", "2021:06:30 18:00:00", {}, {1200, 800}},             // 200 KB to 1 MB
    {"holiday.jpg", "DCIM/100CANON", "", {}, {540, 380}},                       // 50 to 200 KB
};
// The smallest size of each sample's band, and the largest it may have.
const QList<QPair<qint64, qint64>> bands = {{1'000'000, 20'000'000}, {0, 50'000}, {200'000, 1'000'000},
                                            {50'000, 200'000}, {200'000, 1'000'000}, {50'000, 200'000}};

QList<QByteArray> sample_bytes;

// The photo as the scan describes it, named name (its sample's by default).
ResultsModel::Photo photo_of(int sample, const QString &name = QString())
{
    const Sample &s = samples.at(sample);
    ResultsModel::Photo photo;
    photo.facts.offset = qint64(sample) * 4 << 20;
    photo.facts.length = sample_bytes.at(sample).size();
    photo.facts.exif = ExifInfo(sample_bytes.at(sample));
    photo.facts.pixel_size = s.pixels;
    if (!s.folder.isEmpty()) {
        photo.facts.origin.name = name.isEmpty() ? s.name : name;
        photo.facts.origin.folder = s.folder;
        if (s.entry_day.isValid())
            photo.facts.origin.modified = QDateTime(s.entry_day, QTime(12, 0));
    }
    photo.name = name.isEmpty() ? s.name : name;
    return photo;
}

QList<ResultsModel::Photo> all_samples()
{
    QList<ResultsModel::Photo> photos;
    for (int n = 0; n < samples.size(); ++n)
        photos.append(photo_of(n));
    return photos;
}

// The rows shown: photos by name, headers as [folder].
QStringList shown_of(const QAbstractItemModel &view)
{
    QStringList rows;
    for (int row = 0; row < view.rowCount(); ++row) {
        const QModelIndex at = view.index(row, 0);
        const QString text = at.data().toString();
        rows.append(at.data(ResultsProxy::HeaderRole).toBool() ? '[' + text + ']' : text);
    }
    return rows;
}

QStringList ticked_of(const ResultsModel &model)
{
    QStringList names;
    for (int row = 0; row < model.rowCount(); ++row) {
        if (model.index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked)
            names.append(model.index(row, 0).data().toString());
    }
    return names;
}

int header_row(const QAbstractItemModel &view, const QString &text)
{
    return int(shown_of(view).indexOf('[' + text + ']'));
}

// The model and the view over it, with the model tester watching every change.
struct Results
{
    ResultsModel model;
    ResultsProxy view;
    QAbstractItemModelTester tester{&view, QAbstractItemModelTester::FailureReportingMode::QtTest};

    Results() { view.setSourceModel(&model); }
    void choose(int order, qint64 min_bytes, QDate since, QDate until, int kinds, const QString &search, bool grouped)
    {
        PhotoFilter filter;
        filter.min_bytes = min_bytes;
        filter.since = since;
        filter.until = until;
        filter.kinds = quint8(kinds);
        view.set_order(ResultsProxy::Order(order));
        view.set_filter(filter);
        view.set_search(search);
        view.set_grouped(grouped);
    }
};

constexpr int found = int(ResultsProxy::Order::Found), by_date = int(ResultsProxy::Order::DateTaken),
              largest = int(ResultsProxy::Order::LargestFirst), by_name = int(ResultsProxy::Order::Name);
constexpr int all_kinds = PhotoFilter::AllKinds;

} // namespace

class TestResults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!missing_tools({"exiftool"}).isEmpty())
            QSKIP("needs exiftool for the photos' dates");
        for (int n = 0; n < samples.size(); ++n) {
            const Sample &sample = samples.at(n);
            const QByteArray plain = qt_jpeg(make_picture(sample.pixels.width(), sample.pixels.height(), 40 + n), 92);
            sample_bytes.append(sample.exif.isEmpty() ? plain : with_exif_tags(plain, {"-DateTimeOriginal=" + sample.exif}));
            const qint64 size = sample_bytes.last().size();
            QVERIFY2(size >= bands.at(n).first && size < bands.at(n).second,
                     qPrintable(samples.at(n).name + " is " + QString::number(size) + " bytes, out of its band"));
        }
    }

    void arrangement_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<qint64>("min_bytes");
        QTest::addColumn<QDate>("since");
        QTest::addColumn<QDate>("until");
        QTest::addColumn<int>("kinds");
        QTest::addColumn<QString>("search");
        QTest::addColumn<bool>("grouped");
        QTest::addColumn<QStringList>("shown");
        const QDate any, jul2(2021, 7, 2), jul3(2021, 7, 3), jul4(2021, 7, 4);
        const auto row = [](const char *name, int order, qint64 min_bytes, QDate since, QDate until, const QString &search,
                            const QStringList &shown, bool grouped = false, int kinds = all_kinds) {
            QTest::newRow(name) << order << min_bytes << since << until << kinds << search << grouped << shown;
        };
        row("order found", found, 0, any, any, "",
            {"IMG_0101.JPG", "IMAGE_0001.JPG", "IMG_0102.JPG", "IMG_0007.JPG", "IMAGE_0002.JPG", "holiday.jpg"});
        row("date taken, else the entry's; undated last in the order found", by_date, 0, any, any, "",
            {"IMAGE_0002.JPG", "IMG_0102.JPG", "IMG_0007.JPG", "IMG_0101.JPG", "IMAGE_0001.JPG", "holiday.jpg"});
        row("largest first", largest, 0, any, any, "",
            {"IMG_0101.JPG", "IMG_0102.JPG", "IMAGE_0002.JPG", "IMG_0007.JPG", "holiday.jpg", "IMAGE_0001.JPG"});
        row("name, in any case", by_name, 0, any, any, "",
            {"holiday.jpg", "IMAGE_0001.JPG", "IMAGE_0002.JPG", "IMG_0007.JPG", "IMG_0101.JPG", "IMG_0102.JPG"});
        row("hide under 50 KB", found, 50'000, any, any, "",
            {"IMG_0101.JPG", "IMG_0102.JPG", "IMG_0007.JPG", "IMAGE_0002.JPG", "holiday.jpg"});
        row("hide under 200 KB, largest first", largest, 200'000, any, any, "", {"IMG_0101.JPG", "IMG_0102.JPG", "IMAGE_0002.JPG"});
        row("hide under 1 MB", found, 1'000'000, any, any, "", {"IMG_0101.JPG"});
        row("from a day: undated photos stay", found, 0, jul3, any, "",
            {"IMG_0101.JPG", "IMAGE_0001.JPG", "IMG_0007.JPG", "holiday.jpg"});
        row("until a day, that day included", found, 0, any, jul2, "",
            {"IMAGE_0001.JPG", "IMG_0102.JPG", "IMAGE_0002.JPG", "holiday.jpg"});
        row("one day", found, 0, jul4, jul4, "", {"IMG_0101.JPG", "IMAGE_0001.JPG", "holiday.jpg"});
        row("search a folder", found, 0, any, any, "101canon", {"IMG_0007.JPG"});
        row("search a name", by_name, 0, any, any, " img_01 ", {"IMG_0101.JPG", "IMG_0102.JPG"});
        row("videos only: no photo", found, 0, any, any, "", {}, false, int(PhotoFilter::Videos));
        row("grouped by folder, found by content last", found, 0, any, any, "",
            {"[DCIM/100CANON]", "IMG_0101.JPG", "IMG_0102.JPG", "holiday.jpg", "[DCIM/101CANON]", "IMG_0007.JPG",
             "[found by content]", "IMAGE_0001.JPG", "IMAGE_0002.JPG"}, true);
        row("grouped, by date within each folder", by_date, 0, any, any, "",
            {"[DCIM/100CANON]", "IMG_0102.JPG", "IMG_0101.JPG", "holiday.jpg", "[DCIM/101CANON]", "IMG_0007.JPG",
             "[found by content]", "IMAGE_0002.JPG", "IMAGE_0001.JPG"}, true);
        row("grouped and filtered: an emptied folder has no header", largest, 200'000, any, any, "",
            {"[DCIM/100CANON]", "IMG_0101.JPG", "IMG_0102.JPG", "[found by content]", "IMAGE_0002.JPG"}, true);
    }

    // Every choice made after the photos are in, and the same choice made
    // before they arrive, show the same rows.
    void arrangement()
    {
        QFETCH(int, order);
        QFETCH(qint64, min_bytes);
        QFETCH(QDate, since);
        QFETCH(QDate, until);
        QFETCH(int, kinds);
        QFETCH(QString, search);
        QFETCH(bool, grouped);
        QFETCH(QStringList, shown);

        Results after;
        after.model.append(all_samples());
        after.choose(order, min_bytes, since, until, kinds, search, grouped);
        QCOMPARE(shown_of(after.view), shown);

        Results before;
        before.choose(order, min_bytes, since, until, kinds, search, grouped);
        for (const ResultsModel::Photo &photo : all_samples())
            before.model.append({photo});
        QCOMPARE(shown_of(before.view), shown);

        // back to everything in the order found
        after.choose(found, 0, {}, {}, all_kinds, {}, false);
        QCOMPARE(shown_of(after.view).size(), samples.size());
        QCOMPARE(after.view.tally().shown, samples.size());
    }

    void ticks_through_filters_data()
    {
        QTest::addColumn<bool>("ticked_before");
        QTest::addColumn<qint64>("min_bytes");
        QTest::addColumn<bool>("grouped");
        QTest::addColumn<QString>("box"); // "Select all", or the folder whose header box is clicked
        QTest::addColumn<QStringList>("ticked");
        QTest::addColumn<int>("ticked_hidden");
        QTest::addColumn<int>("folder_state_unfiltered"); // of DCIM/100CANON's box, once everything shows

        const auto row = [](const char *name, bool ticked_before, qint64 min_bytes, bool grouped, const QString &box,
                            const QStringList &ticked, int ticked_hidden, int folder_state_unfiltered = -1) {
            QTest::newRow(name) << ticked_before << min_bytes << grouped << box << ticked << ticked_hidden << folder_state_unfiltered;
        };
        row("unticking all unticks only what is shown", true, 200'000, false, "Select all",
            {"IMAGE_0001.JPG", "IMG_0007.JPG", "holiday.jpg"}, 3);
        row("ticking all ticks only what is shown", false, 50'000, false, "Select all",
            {"IMG_0101.JPG", "IMG_0102.JPG", "IMG_0007.JPG", "IMAGE_0002.JPG", "holiday.jpg"}, 0);
        row("a folder's box ticks its photos", false, 0, true, "DCIM/100CANON", {"IMG_0101.JPG", "IMG_0102.JPG", "holiday.jpg"}, 0,
            Qt::Checked);
        row("a folder's box ticks only its photos shown", false, 200'000, true, "DCIM/100CANON", {"IMG_0101.JPG", "IMG_0102.JPG"}, 0,
            Qt::PartiallyChecked);
        row("a folder's box unticks; photos hidden keep their ticks", true, 200'000, true, "DCIM/100CANON",
            {"IMAGE_0001.JPG", "IMG_0007.JPG", "IMAGE_0002.JPG", "holiday.jpg"}, 3, Qt::PartiallyChecked);
    }

    void ticks_through_filters()
    {
        QFETCH(bool, ticked_before);
        QFETCH(qint64, min_bytes);
        QFETCH(bool, grouped);
        QFETCH(QString, box);
        QFETCH(QStringList, ticked);
        QFETCH(int, ticked_hidden);
        QFETCH(int, folder_state_unfiltered);

        Results results;
        QList<ResultsModel::Photo> photos = all_samples();
        for (ResultsModel::Photo &photo : photos)
            photo.checked = ticked_before;
        results.model.append(photos);
        results.choose(found, min_bytes, {}, {}, all_kinds, {}, grouped);
        QSignalSpy told(&results.view, &ResultsProxy::tally_changed);
        if (box == "Select all") {
            results.view.set_shown_checked(!ticked_before);
        } else {
            // as the grid's delegate does: a click turns the box to its opposite
            const QModelIndex header = results.view.index(header_row(results.view, box), 0);
            QCOMPARE(header.data(Qt::CheckStateRole).toInt(), ticked_before ? int(Qt::Checked) : int(Qt::Unchecked));
            QVERIFY(results.view.setData(header, ticked_before ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole));
            QCOMPARE(header.data(Qt::CheckStateRole).toInt(), ticked_before ? int(Qt::Unchecked) : int(Qt::Checked));
        }
        QCOMPARE(told.count(), 1);
        QCOMPARE(ticked_of(results.model), ticked);
        const ResultsProxy::Tally tally = results.view.tally();
        qint64 bytes = 0;
        for (int n = 0; n < samples.size(); ++n)
            bytes += ticked.contains(samples.at(n).name) ? sample_bytes.at(n).size() : 0;
        QCOMPARE(tally.ticked, ticked.size());
        QCOMPARE(tally.ticked_bytes, bytes);
        QCOMPARE(tally.ticked_hidden, ticked_hidden);
        QCOMPARE(tally.total, samples.size());

        results.choose(found, 0, {}, {}, all_kinds, {}, grouped);
        if (folder_state_unfiltered >= 0)
            QCOMPARE(results.view.index(header_row(results.view, "DCIM/100CANON"), 0).data(Qt::CheckStateRole).toInt(),
                     folder_state_unfiltered);
        QCOMPARE(results.view.tally().ticked_hidden, 0);
    }

    void live_arrival_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<qint64>("min_bytes");
        QTest::addColumn<bool>("grouped");
        QTest::newRow("order found") << found << 0ll << false;
        QTest::newRow("largest first, hiding small ones") << largest << 200'000ll << false;
        QTest::newRow("by name") << by_name << 0ll << false;
        QTest::newRow("grouped by folder, by date") << by_date << 0ll << true;
    }

    // Photos arriving join their place one by one: the rows are those of
    // the same choice made over all of them at once, and the grid keeps its
    // current photo and where it is scrolled to.
    void live_arrival()
    {
        QFETCH(int, order);
        QFETCH(qint64, min_bytes);
        QFETCH(bool, grouped);
        const auto batch = [](int first, int count) {
            QList<ResultsModel::Photo> photos;
            for (int n = first; n < first + count; ++n)
                photos.append(photo_of(n % samples.size(), QString::asprintf("P%03d_", n) + samples.at(n % samples.size()).name));
            return photos;
        };
        Results results;
        results.choose(order, min_bytes, {}, {}, all_kinds, {}, grouped);
        results.model.append(batch(0, 150));

        ResultsGrid grid;
        grid.setViewMode(QListView::IconMode);
        grid.setMovement(QListView::Static);
        grid.setGridSize(QSize(138, 125));
        grid.resize(721, 381);
        grid.set_grouped(grouped);
        grid.setModel(&results.view);
        grid.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        const int current_row = results.view.rowCount() / 2 + 1;
        set_current_row(&grid, current_row);
        const QString current = grid.currentIndex().data().toString();
        QScrollBar *scroll = grid.verticalScrollBar();
        QTRY_VERIFY(scroll->maximum() > 0);
        scroll->setValue(scroll->maximum() / 2);
        const int scrolled = scroll->value();

        QSignalSpy inserted(&results.view, &QAbstractItemModel::rowsInserted);
        QSignalSpy reset(&results.view, &QAbstractItemModel::modelReset);
        QSignalSpy rearranged(&results.view, &QAbstractItemModel::layoutChanged);
        results.model.append(batch(150, 90));
        results.model.append(batch(240, 30));
        QCoreApplication::processEvents();
        QVERIFY(inserted.count() > 0 && reset.isEmpty() && rearranged.isEmpty());
        QCOMPARE(grid.currentIndex().data().toString(), current);
        QCOMPARE(scroll->value(), scrolled);

        Results at_once;
        at_once.model.append(batch(0, 270));
        at_once.choose(order, min_bytes, {}, {}, all_kinds, {}, grouped);
        QCOMPARE(shown_of(results.view), shown_of(at_once.view));

        // a new choice keeps the current photo where it still shows
        results.view.set_order(ResultsProxy::Order(order == by_name ? found : by_name));
        QCOMPARE(grid.currentIndex().data().toString(), current);
    }

    void headless_choices_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("media");  // the camera's videos and HEIC photos after the photos
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QStringList>("written"); // numbered in the order found, skipped ones keep theirs
        QTest::addColumn<int>("found");
        QTest::addColumn<QString>("said");        // on stderr, for bad usage

        const QStringList jpegs{"IMAGE_0001.JPG", "IMAGE_0002.JPG", "IMAGE_0003.JPG",
                                "IMAGE_0004.JPG", "IMAGE_0005.JPG", "IMAGE_0006.JPG"};
        // each kind on its own counter, the extension from the video's header
        const QStringList videos{"VIDEO_0001.MP4", "VIDEO_0002.MP4", "VIDEO_0003.MOV", "VIDEO_0004.MOV",
                                 "VIDEO_0005.AVI", "VIDEO_0006.MP4", "VIDEO_0007.AVI"};
        const QStringList heic{"IMAGE_0001.HEIC", "IMAGE_0002.HEIC"};
        const auto row = [](const char *name, const QStringList &options, bool media, const QStringList &written, int found,
                            int exit_code = 0, const QString &said = {}) {
            QTest::newRow(name) << options << media << exit_code << written << found << said;
        };
        row("no choice", {}, false, jpegs, 6);
        row("--min-size", {"--min-size", "200000"}, false, {"IMAGE_0001.JPG", "IMAGE_0003.JPG", "IMAGE_0005.JPG"}, 6);
        row("--since: undated photos are written", {"--since", "2021-07-03"}, false,
            {"IMAGE_0001.JPG", "IMAGE_0002.JPG", "IMAGE_0004.JPG", "IMAGE_0006.JPG"}, 6);
        row("--until and --min-size", {"--until=2021-07-02", "--min-size=200000"}, false, {"IMAGE_0003.JPG", "IMAGE_0005.JPG"}, 6);
        row("--kinds videos: photos are not looked for", {"--kinds", "videos"}, false, {}, 0);
        row("every kind by default", {}, true, jpegs + heic + videos, 15);
        row("--kinds video", {"--kinds", "video"}, true, videos, 7);
        row("--kinds jpeg,heic", {"--kinds", "jpeg,heic"}, true, jpegs + heic, 8);
        row("--kinds heic,video and --min-size", {"--kinds", "heic,video", "--min-size", "1"}, true, heic + videos, 9);
        row("--kinds photos,videos", {"--kinds", "photos,videos"}, true, jpegs + heic + videos, 15);
        row("a size that is no number", {"--min-size", "200KB"}, false, {}, 0, 2, "--min-size takes a number of bytes, not '200KB'.");
        row("no such day", {"--since", "2021-02-30"}, false, {}, 0, 2, "--since takes a date as YYYY-MM-DD, not '2021-02-30'.");
        row("an empty range", {"--since", "2021-07-05", "--until", "2021-07-01"}, false, {}, 0, 2, "--since is later than --until");
        row("an unknown kind", {"--kinds", "jpeg,pictures"}, false, {}, 0, 2, "--kinds takes a list of jpeg, heic and video");
    }

    // On a raw volume nothing tells a file's entry: EXIF dates only, and
    // every file numbered.
    void headless_choices()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, media);
        QFETCH(int, exit_code);
        QFETCH(QStringList, written);
        QFETCH(int, found);
        QFETCH(QString, said);
        if (media && camera_media().isEmpty())
            QSKIP("needs ffmpeg and heif-enc for the camera's videos and HEIC photos");
        // the expected bytes of every numbered name
        QMap<QString, QByteArray> files;
        QList<QByteArray> pieces = sample_bytes;
        for (int n = 0; n < sample_bytes.size(); ++n)
            files.insert(PhotoWriter::photo_name(n + 1), sample_bytes.at(n));
        int numbered_videos = 0, numbered_heic = 0;
        for (const MediaFile &file : media ? camera_media() : QList<MediaFile>()) {
            const int number = file.video ? ++numbered_videos : ++numbered_heic;
            files.insert(QString::asprintf("%s_%04d.", file.video ? "VIDEO" : "IMAGE", number) + file.suffix, file.bytes);
            pieces.append(file.bytes);
        }
        QTemporaryDir dir;
        const QString image = dir.filePath("card.img");
        QVERIFY(write_file(image, volume_of(pieces) + QByteArray(64 * 1024, '\0')));
        const QString out = dir.filePath("out");
        const ProgramRun run = run_program(QStringLiteral(VELVORA_SCAN_PATH), options + QStringList{image, out});
        QCOMPARE(run.exit_code, exit_code);
        if (exit_code != 0) {
            QVERIFY2(run.err.contains(said.toUtf8()), run.err.constData());
            QVERIFY(run.out.isEmpty() && !QFileInfo::exists(out));
            return;
        }
        QStringList expected_names = written;
        expected_names.sort();
        QCOMPARE(entries_of(out), expected_names);
        const int videos = int(written.filter(QRegularExpression("^VIDEO_")).size());
        const int heic = int(written.filter(QRegularExpression("\\.HEIC$")).size());
        const QString expected = QStringLiteral("found=%1 written=%2 failed=0 unreadable_bytes=0 renamed=0 partial=0 "
                                                "present=0 named=0 damaged=0 skipped=%3 videos=%4 heic=%5\n")
                                     .arg(found).arg(written.size()).arg(found - written.size()).arg(videos).arg(heic);
        QCOMPARE(QString::fromLatin1(run.out), expected);
        for (const QString &name : written) {
            QVERIFY2(read_file(out + '/' + name) == files.value(name), qPrintable(name));
            // a dated photo's file bears the time it was taken
            const QDateTime taken = ExifInfo(files.value(name)).date_taken();
            if (taken.isValid() && name.endsWith(".JPG"))
                QCOMPARE(QFileInfo(out + '/' + name).lastModified(), taken);
        }
    }

    // The camera card in the window: found by folder, one folder ticked
    // under a filter, and exactly its photos restored.
    void window_restores_one_folder()
    {
        QTemporaryDir dir;
        CameraCard card;
        QString why;
        if (!card.make(CameraCard::Fat32LongName, dir.path(), &why))
            QSKIP(qPrintable(why));
        QVERIFY(card.named.size() >= 2 && !card.unnamed.isEmpty());

        DrivenWindow driven;
        auto &[fake, window, answers] = driven;
        QVERIFY(scan_ends_with(window, fake, image_device(card.image)));
        QListView *list = results_of(window);
        QTRY_COMPARE(count_of(list), int(card.named.size() + card.unnamed.size()));
        QVERIFY(child<QWidget>(window, "resultsBar")->isVisible());

        // nothing ticked, then only the folder's photos shown, grouped under it
        click(window, ui::select_all);
        QVERIFY(ticked_of(scan_page_of(window).results()).isEmpty());
        child<QLineEdit>(window, "searchField")->setText("100canon");
        child<QCheckBox>(window, "groupBox")->click();
        QStringList expected{"[DCIM/100CANON]"};
        expected += card.named.keys();
        QStringList rows = shown_of(*list->model());
        std::sort(rows.begin() + 1, rows.end());
        QCOMPARE(rows, expected);
        QVERIFY(child<QLabel>(window, "countLabel")->text().contains(
            QStringLiteral("%1 shown, none ticked").arg(card.named.size())));

        QTRY_VERIFY(entry_rect(list, 0).width() > 2 * entry_rect(list, 1).width()); // a line of its own
        click_entry(list, 0); // the folder's box
        QCOMPARE(entry(list, 0, Qt::CheckStateRole).toInt(), int(Qt::Checked));
        child<QLineEdit>(window, "searchField")->clear();
        QCOMPARE(count_of(list), int(card.named.size() + card.unnamed.size()) + 2);

        const QString target = dir.filePath("restored");
        QVERIFY(QDir().mkpath(target));
        QVERIFY(!restore_into(window, answers, target).isEmpty());
        QCOMPARE(entries_of(target).size(), card.named.size());
        for (auto photo = card.named.cbegin(); photo != card.named.cend(); ++photo)
            QVERIFY2(read_file(target + '/' + photo.key()) == photo.value(), qPrintable(photo.key()));
    }
};

QTEST_MAIN(TestResults)
#include "tst_results.moc"
