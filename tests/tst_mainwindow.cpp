// The wizard window offscreen: the device page with a device source the test
// controls, the scanning page driven by the real worker over image files, the
// results list and every question the window asks.

#include "windowdriver.h"

#include "resultsdelegate.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <clocale>

#include <unistd.h> // geteuid, seteuid: a user who may not read a device

using namespace windowtest;
using testsupport::make_blank_image;

namespace {

const QString scan_done = QStringLiteral("Scanning finished");
const QString scan_stopped = QStringLiteral("Select files and press the restore button");

// Where a click on the results entry in row lands on its check box or its thumbnail.
QPoint entry_point(QListWidget *list, int row, bool on_check_box)
{
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.rect = list->visualItemRect(list->item(row));
    const auto *delegate = qobject_cast<ResultsDelegate *>(list->itemDelegate());
    return on_check_box ? delegate->check_box_rect(option, list->model()->index(row, 0)).center()
                        : delegate->thumbnail_rect(option).center();
}

QList<Qt::CheckState> check_states(QListWidget *list)
{
    QList<Qt::CheckState> states;
    for (int row = 0; row < list->count(); ++row)
        states.append(list->item(row)->checkState());
    return states;
}

QStringList listed(QListWidget *list)
{
    QStringList shown;
    for (int row = 0; row < list->count(); ++row)
        shown.append(list->item(row)->data(Qt::UserRole).toString());
    return shown;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void device_poll_runs_only_on_the_device_page();
    void device_list_follows_devices_that_come_and_go();
    void next_explains_what_is_missing();
    void progress_shows_two_decimals_with_a_point_data();
    void progress_shows_two_decimals_with_a_point();
    void results_numbering_ticks_and_select_all();
    void questions_while_scanning_data();
    void questions_while_scanning();
    void close_asks_only_on_the_device_page();
    void skip_question_yes_and_no();
    void unreadable_device_is_explained();

private:
    QTemporaryDir scratch;
    QString big; // 64 GiB of zeros: a scan of it runs long enough to be stopped
    QString root; // large photo-named files of zeros: an index phase long enough to skip
};

void TestMainWindow::initTestCase()
{
    big = scratch.filePath("big.img");
    QVERIFY(make_blank_image(big, qint64(64) * 1024 * 1024 * 1024));
    root = scratch.filePath("root");
    QVERIFY(QDir().mkpath(root));
    for (int i = 0; i < 40; ++i)
        QVERIFY(make_blank_image(QDir(root).filePath(QStringLiteral("DSC_%1.JPG").arg(i)), 128 * 1024 * 1024));
}

void TestMainWindow::device_poll_runs_only_on_the_device_page()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    auto *pages = child<QStackedWidget>(window, ui::pages);
    QCOMPARE(page_of(window), device_page);
    QCOMPARE(fake.polls, 0);
    QTRY_VERIFY_WITH_TIMEOUT(fake.polls >= 1, 3000); // the list fills at the first tick
    for (const int page : {welcome_page, scan_page, final_page}) {
        pages->setCurrentIndex(page);
        const int polls = fake.polls;
        QTest::qWait(1300);
        QVERIFY2(fake.polls == polls, qPrintable(QStringLiteral("polled on page %1").arg(page)));
    }
    // "Go back" leads from the final page to the results, from there to the
    // devices, and the welcome page's button refreshes the list at once.
    click(window, ui::final_back);
    QCOMPARE(page_of(window), scan_page);
    click(window, ui::scan_back); // no scan runs: no question
    QCOMPARE(page_of(window), device_page);
    QTRY_VERIFY_WITH_TIMEOUT(fake.polls >= 2, 3000);
    click(window, ui::device_back);
    QCOMPARE(page_of(window), welcome_page);
    const int polls = fake.polls;
    click(window, ui::start);
    QCOMPARE(page_of(window), device_page);
    QCOMPARE(fake.polls, polls + 1);
}

void TestMainWindow::device_list_follows_devices_that_come_and_go()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    auto *list = child<QListWidget>(window, ui::devices);
    const auto refresh = [&] { QMetaObject::invokeMethod(&window, "on_device_changed"); };
    const auto attach = [&](const QString &node, const QString &label, qint64 mib) {
        RemovableDevice d = image_device(node, label);
        d.size = mib * 1024 * 1024;
        fake.attach(d);
    };
    attach("/dev/sdc1", "PHOTOS", 7580);
    attach("/dev/sdb1", "", 1910);
    attach("/dev/mmcblk0p1", "CAM", 30000);
    attach("/dev/sdd", "STICK", 100);
    refresh();
    QCOMPARE(listed(list), (QStringList{"/dev/mmcblk0p1", "/dev/sdb1", "/dev/sdc1", "/dev/sdd"}));
    QCOMPARE(list->item(2)->text(), QStringLiteral("PHOTOS (sdc1) - 7580 MB\nFAT32 Volume"));
    QCOMPARE(list->item(1)->text(), QStringLiteral("Removable Media (sdb1) - 1910 MB\nFAT32 Volume"));
    list->setCurrentRow(2);

    // two pulled out at the same poll: exactly their items go; the current one stays
    fake.now.remove("/dev/mmcblk0p1");
    fake.now.remove("/dev/sdd");
    refresh();
    QCOMPARE(listed(list), (QStringList{"/dev/sdb1", "/dev/sdc1"}));
    QCOMPARE(list->currentItem()->data(Qt::UserRole).toString(), QStringLiteral("/dev/sdc1"));
    QVERIFY(list->currentItem()->isSelected());
    // one plugged in goes last, whatever its name
    attach("/dev/sda1", "NEW", 64);
    refresh();
    QCOMPARE(listed(list), (QStringList{"/dev/sdb1", "/dev/sdc1", "/dev/sda1"}));
    QCOMPARE(list->currentItem()->data(Qt::UserRole).toString(), QStringLiteral("/dev/sdc1"));
    // a relabelled or reformatted volume shows so at the next poll
    fake.now["/dev/sdc1"].label = "HOLIDAY";
    fake.now["/dev/sdc1"].file_system.clear();
    refresh();
    QCOMPARE(list->item(1)->text(), QStringLiteral("HOLIDAY (sdc1) - 7580 MB\nNot formatted"));
    // the list is not touched while another page shows
    child<QStackedWidget>(window, ui::pages)->setCurrentIndex(scan_page);
    fake.now.clear();
    refresh();
    QCOMPARE(list->count(), 3);
    child<QStackedWidget>(window, ui::pages)->setCurrentIndex(device_page);
    refresh();
    QCOMPARE(list->count(), 0);
}

void TestMainWindow::next_explains_what_is_missing()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    auto *list = child<QListWidget>(window, ui::devices);
    const auto next_says = [&](const QString &text) {
        answers.press_ok();
        click(window, ui::next);
        QCOMPARE(answers.seen.last().text, text);
        QCOMPARE(page_of(window), device_page);
    };
    next_says("No devices found.\nPlease connect your removable device to computer.");
    const QString gone = scratch.filePath("gone.img"), locked = scratch.filePath("locked.img");
    QVERIFY(make_blank_image(gone, 4 * 1024 * 1024) && make_blank_image(locked, 4 * 1024 * 1024));
    fake.attach(image_device(gone));
    QMetaObject::invokeMethod(&window, "on_device_changed");
    next_says("Please choose device.");
    list->setCurrentRow(0);
    QVERIFY(QFile::remove(gone)); // pulled out between the last poll and "Next"
    next_says("Selected device no longer available. Please select again.");

    // there, but not readable by this user: said so, not "no longer available"
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    fake.now.clear();
    fake.attach(image_device(locked, "LOCKED"));
    QMetaObject::invokeMethod(&window, "on_device_changed");
    list->setCurrentRow(0);
    const bool as_root = ::geteuid() == 0; // root reads any file: an ordinary user for the one click
    if (as_root)
        QVERIFY(::seteuid(65534) == 0);
    next_says("The device could not be read.\n"
              "Permission denied: reading a device needs membership of the 'disk' group or root.");
    if (as_root)
        QVERIFY(::seteuid(0) == 0);
    QCOMPARE(answers.seen.first().title, QString());
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindow::progress_shows_two_decimals_with_a_point_data()
{
    QTest::addColumn<qint64>("i");
    QTest::addColumn<qint64>("j");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("start") << qint64(0) << qint64(3000000) << 0 << "Scanning 0.00%";
    QTest::newRow("first block") << qint64(8192) << qint64(3000000) << 0 << "Scanning 0.27%";
    QTest::newRow("a third") << qint64(1) << qint64(3) << 33 << "Scanning 33.33%";
    QTest::newRow("almost") << qint64(2999999) << qint64(3000000) << 99 << "Scanning 100.00%";
    QTest::newRow("done") << qint64(3000000) << qint64(3000000) << 100 << "Scanning 100.00%";
    QTest::newRow("2 TiB card") << (qint64(1) << 32) << (qint64(1) << 33) << 50 << "Scanning 50.00%";
    QTest::newRow("empty volume") << qint64(0) << qint64(0) << 0 << "Scanning 0.00%";
}

// In a locale with a decimal comma, for Qt and for the C library alike.
void TestMainWindow::progress_shows_two_decimals_with_a_point()
{
    QFETCH(qint64, i);
    QFETCH(qint64, j);
    QFETCH(int, value);
    QFETCH(QString, text);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const auto restore = qScopeGuard([] {
        std::setlocale(LC_NUMERIC, "C");
        QLocale::setDefault(QLocale::c());
    });
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    auto *bar = child<QProgressBar>(window, ui::bar);
    QMetaObject::invokeMethod(&window, "on_scanning_progress", Q_ARG(qint64, i), Q_ARG(qint64, j));
    QCOMPARE(bar->value(), value);
    QCOMPARE(bar->text(), text);
    QVERIFY(!bar->isHidden() && !child<QWidget>(window, ui::stop)->isHidden());
    QVERIFY(child<QWidget>(window, ui::status)->isHidden());
}

// Two real scans over an image with four photos: numbering, ticks by mouse,
// keyboard and "Select all"; then a volume without photos.
void TestMainWindow::results_numbering_ticks_and_select_all()
{
    const QString image = scratch.filePath("four.img");
    QByteArray volume(512 * 4, '\0');
    for (int seed = 0; seed < 4; ++seed) {
        volume += testsupport::qt_jpeg(testsupport::make_picture(320 + 16 * seed, 240, seed));
        volume.resize((volume.size() + 511) / 512 * 512 + 512 * 3, '\0');
    }
    QVERIFY(testsupport::write_file(image, volume));
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *list = child<QListWidget>(window, ui::results);
    auto *all = child<QCheckBox>(window, ui::select_all);

    all->setChecked(false); // unticked while the photos arrive: they arrive unticked
    start_scan(window, fake, image_device(image));
    QCOMPARE(page_of(window), scan_page);
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), scan_done, 30000);
    QCOMPARE(list->count(), 4);
    QVERIFY(!all->isHidden());
    for (int row = 0; row < 4; ++row) {
        QCOMPARE(list->item(row)->text(), QString::asprintf("IMAGE_%04d.JPG", row + 1));
        const QPixmap thumbnail = list->item(row)->data(Qt::DecorationRole).value<QPixmap>();
        QVERIFY(!thumbnail.isNull() && thumbnail.width() <= 120 && thumbnail.height() <= 90);
        // in volume order, each with its offset
        QVERIFY(list->item(row)->data(Qt::UserRole).toLongLong() >= (row ? list->item(row - 1)->data(Qt::UserRole).toLongLong() + 512 : 2048));
    }
    QCOMPARE(check_states(list), QList<Qt::CheckState>(4, Qt::Unchecked));

    // the thumbnail ignores clicks; the box toggles
    QWidget *viewport = list->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, entry_point(list, 0, false));
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, entry_point(list, 0, false));
    QTest::mouseClick(viewport, Qt::LeftButton, {}, entry_point(list, 1, true));
    QCOMPARE(check_states(list), (QList<Qt::CheckState>{Qt::Unchecked, Qt::Checked, Qt::Unchecked, Qt::Unchecked}));
    // "Select all" overrides every choice made by hand, both ways
    all->setChecked(true);
    QCOMPARE(check_states(list), QList<Qt::CheckState>(4, Qt::Checked));
    QTest::mouseClick(viewport, Qt::LeftButton, {}, entry_point(list, 2, true));
    QCOMPARE(list->item(2)->checkState(), Qt::Unchecked);
    all->setChecked(false);
    QCOMPARE(check_states(list), QList<Qt::CheckState>(4, Qt::Unchecked));
    all->setChecked(true);
    // the keyboard toggles the current entry
    list->setFocus();
    list->setCurrentRow(3);
    QTest::keyClick(list, Qt::Key_Space);
    QCOMPARE(list->item(3)->checkState(), Qt::Unchecked);

    // back, and a second scan: numbering starts again and entries are ticked
    click(window, ui::scan_back);
    start_scan(window, fake, image_device(image));
    QCOMPARE(list->count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(list->count(), 4, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), scan_done, 30000);
    QCOMPARE(list->item(0)->text(), QStringLiteral("IMAGE_0001.JPG"));
    QCOMPARE(check_states(list), QList<Qt::CheckState>(4, Qt::Checked));

    // a volume without photos: "No files found", "Select all" stays hidden
    const QString empty = scratch.filePath("empty.img");
    QVERIFY(make_blank_image(empty, 8 * 1024 * 1024));
    click(window, ui::scan_back);
    start_scan(window, fake, image_device(empty, "EMPTY"));
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("No files found"), 30000);
    QCOMPARE(list->count(), 0);
    QVERIFY(all->isHidden());
    QVERIFY(child<QWidget>(window, ui::bar)->isHidden() && child<QWidget>(window, ui::stop)->isHidden());
}

void TestMainWindow::questions_while_scanning_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("question");
    QTest::addColumn<int>("page"); // where Yes leads; -1: the window closes
    QTest::newRow("stop") << "stop" << "Are you sure you want to stop scanning?" << int(scan_page);
    QTest::newRow("go back") << "go back" << "Are you sure to stop scanning and select another one device?" << int(device_page);
    QTest::newRow("close") << "close" << "Are you sure want to exit?" << -1;
}

// Restoring while the scan runs is refused; No leaves the scan running, Yes stops it.
void TestMainWindow::questions_while_scanning()
{
    QFETCH(QString, action);
    QFETCH(QString, question);
    QFETCH(int, page);
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    ModalAnswerer answers;
    auto *bar = child<QProgressBar>(window, ui::bar);
    const auto ask = [&] {
        if (action == "stop")
            click(window, ui::stop);
        else if (action == "go back")
            click(window, ui::scan_back);
        else
            window.close();
    };
    start_scan(window, fake, image_device(big, "BIG"));
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isHidden(), 10000);
    QVERIFY(bar->text().startsWith("Scanning ") && bar->text().endsWith('%'));
    answers.press_ok();
    click(window, ui::restore);
    QCOMPARE(answers.seen.last().text, QStringLiteral("Scanning still in progress. Please wait or stop scanning."));

    bool survived_escape = true;
    answers.then([&](QWidget *dialog) {
        auto *box = qobject_cast<QMessageBox *>(dialog);
        if (action == "go back") { // Escape and the close button do not end this question
            QTest::keyClick(box, Qt::Key_Escape);
            box->close();
            survived_escape = box->isVisible();
        }
        for (QAbstractButton *button : box->buttons()) {
            if (button->text().remove('&') == "No")
                QTimer::singleShot(50, button, &QAbstractButton::click);
        }
    });
    ask();
    QVERIFY(survived_escape);
    QVERIFY(window.isVisible());
    QCOMPARE(page_of(window), scan_page);
    const QString text_then = bar->text();
    QTRY_VERIFY_WITH_TIMEOUT(bar->text() != text_then, 10000); // the scan goes on

    answers.press("Yes");
    ask();
    QCOMPARE(window.isVisible(), page >= 0);
    if (page >= 0)
        QCOMPARE(page_of(window), page);
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), scan_stopped, 10000);
    QVERIFY(bar->isHidden() && child<QWidget>(window, ui::stop)->isHidden());
    QCOMPARE(answers.seen.size(), 3);
    QCOMPARE(answers.seen.at(1).text, question);
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindow::close_asks_only_on_the_device_page()
{
    FakeDevices fake;
    ModalAnswerer answers;
    for (const int page : {welcome_page, final_page}) {
        MainWindow window(nullptr, fake.source());
        window.show();
        child<QStackedWidget>(window, ui::pages)->setCurrentIndex(page);
        QVERIFY(window.close());
    }
    MainWindow window(nullptr, fake.source());
    window.show();
    child<QStackedWidget>(window, ui::pages)->setCurrentIndex(final_page);
    click(window, ui::close);
    QVERIFY(!window.isVisible());
    QVERIFY(answers.seen.isEmpty());

    window.show();
    child<QStackedWidget>(window, ui::pages)->setCurrentIndex(device_page);
    answers.press("No");
    QVERIFY(!window.close());
    QVERIFY(window.isVisible());
    answers.press("Yes");
    QVERIFY(window.close());
    QCOMPARE(answers.seen.size(), 2);
    QCOMPARE(answers.seen.at(0).text, QStringLiteral("Are you sure want to exit?"));
    QCOMPARE(answers.seen.at(0).title, QString());
}

void TestMainWindow::skip_question_yes_and_no()
{
    const QString image = scratch.filePath("card.img");
    QVERIFY(make_blank_image(image, 8 * 1024 * 1024));
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    ModalAnswerer answers;
    auto *status = child<QLabel>(window, ui::status);
    auto *skip = child<QPushButton>(window, ui::skip);

    start_scan(window, fake, image_device(image, "CARD", root));
    QTRY_VERIFY_WITH_TIMEOUT(!skip->isHidden(), 10000);
    QVERIFY(status->text().startsWith("Please wait. Scanning exiting files ("));
    QCOMPARE(skip->pos(), QPoint(status->x() + status->width() + 5, status->y())); // the link follows the text
    QVERIFY(child<QWidget>(window, ui::stop)->isHidden());

    answers.press("No");
    click(window, ui::skip);
    QTRY_VERIFY_WITH_TIMEOUT(status->text().contains("(3)"), 20000); // the walk went on
    QVERIFY(!skip->isHidden());
    answers.press("Yes");
    click(window, ui::skip);
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("No files found"), 30000);
    QVERIFY(skip->isHidden());
    QCOMPARE(answers.seen.at(0).text, QStringLiteral("Are you sure want to skip scanning existing files?"));

    // a stop during the index phase (by going back) hides the link too
    start_scan(window, fake, image_device(image, "CARD", root));
    QTRY_VERIFY_WITH_TIMEOUT(!skip->isHidden(), 10000);
    answers.press("Yes");
    click(window, ui::scan_back);
    QCOMPARE(page_of(window), device_page);
    QTRY_VERIFY_WITH_TIMEOUT(skip->isHidden(), 10000);
    QVERIFY(answers.unexpected.isEmpty());
}

// The card is pulled out while the existing files are indexed: the raw read
// that follows cannot open it.
void TestMainWindow::unreadable_device_is_explained()
{
    const QString image = scratch.filePath("pulled.img");
    QVERIFY(make_blank_image(image, 8 * 1024 * 1024));
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    auto *status = child<QLabel>(window, ui::status);
    start_scan(window, fake, image_device(image, "CARD", root));
    QTRY_VERIFY_WITH_TIMEOUT(!child<QWidget>(window, ui::skip)->isHidden(), 10000);
    QVERIFY(QFile::remove(image));
    answers.press("Yes"); // skip the rest of the index
    answers.press_ok();   // the explanation
    click(window, ui::skip);
    QTRY_COMPARE_WITH_TIMEOUT(answers.pending(), 0, 30000);
    QCOMPARE(status->text(), QStringLiteral("The device could not be read."));
    QCOMPARE(answers.seen.at(1).text, QStringLiteral("The device could not be read.\nNo such device or image file."));
    QCOMPARE(status->toolTip(), QStringLiteral("No such device or image file."));
    QVERIFY(answers.unexpected.isEmpty());

    // bytes the engine could not read are reported with the final status
    QMetaObject::invokeMethod(&window, "on_scanning_unreadable", Q_ARG(qint64, 8192));
    QMetaObject::invokeMethod(&window, "on_scanning_done");
    QCOMPARE(status->text(), QStringLiteral("No files found (8.0 KiB unreadable)"));
    QVERIFY(status->width() >= status->sizeHint().width());
    QVERIFY(status->geometry().right() < child<QWidget>(window, ui::select_all)->x());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
