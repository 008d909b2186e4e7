// The wizard window offscreen: the device page with a device source the test
// controls, the scanning page driven by the real worker over image files, the
// results list and every question the window asks.

#include "windowdriver.h"

#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <clocale>

#include <unistd.h> // seteuid: a user who may not read a device

using namespace windowtest;
using testsupport::make_blank_image;

namespace {

const QString scan_done = QStringLiteral("Scanning finished");

// The ticks of the results as x (ticked) and - (not).
QString ticks(QListWidget *list)
{
    QString states;
    for (int row = 0; row < list->count(); ++row)
        states += list->item(row)->checkState() == Qt::Checked ? 'x' : '-';
    return states;
}

QStringList listed(QListWidget *list, int role = Qt::UserRole)
{
    QStringList shown;
    for (int row = 0; row < list->count(); ++row)
        shown.append(list->item(row)->data(role).toString());
    return shown;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void device_poll_and_close_question_only_on_the_device_page();
    void device_list_follows_devices_that_come_and_go();
    void next_explains_what_is_missing();
    void progress_shows_two_decimals_with_a_point_data();
    void progress_shows_two_decimals_with_a_point();
    void results_numbering_ticks_and_select_all();
    void questions_while_scanning_data();
    void questions_while_scanning();
    void skip_question_and_a_card_pulled_out();

private:
    QTemporaryDir scratch;
    QString big = scratch.filePath("big.img"); // 64 GiB of zeros: a scan long enough to stop
    QString root = scratch.filePath("root");   // photo-named files of zeros: an index phase long enough to skip
};

void TestMainWindow::initTestCase()
{
    QVERIFY(make_blank_image(big, qint64(64) * 1024 * 1024 * 1024) && QDir().mkpath(root));
    for (int i = 0; i < 40; ++i)
        QVERIFY(make_blank_image(QDir(root).filePath(QStringLiteral("DSC_%1.JPG").arg(i)), 128 * 1024 * 1024));
}

void TestMainWindow::device_poll_and_close_question_only_on_the_device_page()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    ModalAnswerer answers;
    QCOMPARE(page_of(window), device_page);
    QCOMPARE(fake.polls, 0);
    QTRY_VERIFY_WITH_TIMEOUT(fake.polls >= 1, 3000); // the list fills at the first tick
    for (const int page : {welcome_page, scan_page, final_page}) {
        child<QStackedWidget>(window, ui::pages)->setCurrentIndex(page);
        const int polls = fake.polls;
        QTest::qWait(1300);
        QVERIFY2(fake.polls == polls, qPrintable(QStringLiteral("polled on page %1").arg(page)));
    }
    // "Go back" from the final page to the results and on to the devices; the
    // welcome page's button refreshes the list at once.
    click(window, ui::final_back);
    QCOMPARE(page_of(window), scan_page);
    click(window, ui::scan_back); // no scan runs: no question
    QCOMPARE(page_of(window), device_page);
    QTRY_VERIFY_WITH_TIMEOUT(fake.polls >= 2, 3000);
    click(window, ui::device_back);
    const int polls = fake.polls;
    click(window, ui::start);
    QCOMPARE(page_of(window), device_page);
    QCOMPARE(fake.polls, polls + 1);

    answers.press("No");
    QVERIFY(!window.close() && window.isVisible());
    for (const int page : {welcome_page, final_page}) {
        window.show();
        child<QStackedWidget>(window, ui::pages)->setCurrentIndex(page);
        QVERIFY(window.close());
    }
    window.show();
    click(window, ui::close); // the final page's button
    QVERIFY(!window.isVisible());
    window.show();
    child<QStackedWidget>(window, ui::pages)->setCurrentIndex(device_page);
    answers.press("Yes");
    QVERIFY(window.close());
    QCOMPARE(answers.seen.size(), 2);
    QCOMPARE(answers.seen.at(0).text, QStringLiteral("Are you sure want to exit?"));
}

void TestMainWindow::device_list_follows_devices_that_come_and_go()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    auto *list = child<QListWidget>(window, ui::devices);
    const auto refresh = [&] { QMetaObject::invokeMethod(&window, "on_device_changed"); };
    const auto attach = [&](const QString &node, const QString &label, qint64 mib) {
        fake.attach(image_device(node, label));
        fake.now[node].size = mib * 1024 * 1024;
    };
    attach("/dev/sdc1", "PHOTOS", 7580);
    attach("/dev/sdb1", "", 1910);
    attach("/dev/mmcblk0p1", "CAM", 30000);
    attach("/dev/sdd", "STICK", 100);
    refresh();
    QCOMPARE(listed(list), (QStringList{"/dev/mmcblk0p1", "/dev/sdb1", "/dev/sdc1", "/dev/sdd"}));
    QCOMPARE(listed(list, Qt::DisplayRole).mid(1, 2), (QStringList{"Removable Media (sdb1) - 1910 MB\nFAT32 Volume",
                                                                   "PHOTOS (sdc1) - 7580 MB\nFAT32 Volume"}));
    list->setCurrentRow(2);
    // two pulled out at the same poll: exactly their items go; the current one stays
    fake.now.remove("/dev/mmcblk0p1");
    fake.now.remove("/dev/sdd");
    refresh();
    QCOMPARE(listed(list), (QStringList{"/dev/sdb1", "/dev/sdc1"}));
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
}

void TestMainWindow::next_explains_what_is_missing()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
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
    child<QListWidget>(window, ui::devices)->setCurrentRow(0);
    QVERIFY(QFile::remove(gone)); // pulled out between the last poll and "Next"
    next_says("Selected device no longer available. Please select again.");

    // there, but not readable by this user (root reads any file: an ordinary user for the one click)
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    fake.now.clear();
    fake.attach(image_device(locked, "LOCKED"));
    QMetaObject::invokeMethod(&window, "on_device_changed");
    child<QListWidget>(window, ui::devices)->setCurrentRow(0);
    const bool as_root = ::geteuid() == 0;
    QVERIFY(!as_root || ::seteuid(65534) == 0);
    next_says("The device could not be read.\n"
              "Permission denied: reading a device needs membership of the 'disk' group or root.");
    QVERIFY(!as_root || ::seteuid(0) == 0);
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindow::progress_shows_two_decimals_with_a_point_data()
{
    QTest::addColumn<qint64>("i");
    QTest::addColumn<qint64>("j");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("first block") << qint64(8192) << qint64(3000000) << 0 << "Scanning 0.27%";
    QTest::newRow("almost") << qint64(2999999) << qint64(3000000) << 99 << "Scanning 100.00%";
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
    QMetaObject::invokeMethod(&window, "on_scanning_progress", Q_ARG(qint64, i), Q_ARG(qint64, j));
    auto *bar = child<QProgressBar>(window, ui::bar);
    QCOMPARE(bar->value(), value);
    QCOMPARE(bar->text(), text);
    QVERIFY(!bar->isHidden() && !child<QWidget>(window, ui::stop)->isHidden());
    QVERIFY(child<QWidget>(window, ui::status)->isHidden());
}

// Two real scans over an image with four photos, then one without photos.
void TestMainWindow::results_numbering_ticks_and_select_all()
{
    const QString image = scratch.filePath("four.img"), empty = scratch.filePath("empty.img");
    QList<QByteArray> photos;
    for (int seed = 0; seed < 4; ++seed)
        photos.append(testsupport::qt_jpeg(testsupport::make_picture(320 + 16 * seed, 240, seed)));
    QVERIFY(testsupport::write_file(image, testsupport::volume_of(photos)) && make_blank_image(empty, 8 * 1024 * 1024));
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
    QCOMPARE(listed(list, Qt::DisplayRole), (QStringList{"IMAGE_0001.JPG", "IMAGE_0002.JPG", "IMAGE_0003.JPG", "IMAGE_0004.JPG"}));
    QVERIFY(!all->isHidden());
    for (int row = 0; row < 4; ++row) { // in volume order, each with its offset and thumbnail
        QVERIFY(list->item(row)->data(Qt::UserRole).toLongLong() > (row ? list->item(row - 1)->data(Qt::UserRole).toLongLong() : 2047));
        const QPixmap thumbnail = list->item(row)->data(Qt::DecorationRole).value<QPixmap>();
        QVERIFY(!thumbnail.isNull() && thumbnail.width() <= 120 && thumbnail.height() <= 90);
    }
    QCOMPARE(ticks(list), QStringLiteral("----"));
    click_entry(list, 0, false); // the thumbnail ignores clicks; the box toggles
    click_entry(list, 0, false, true);
    click_entry(list, 1, true);
    QCOMPARE(ticks(list), QStringLiteral("-x--"));
    all->setChecked(true); // "Select all" overrides every choice made by hand, both ways
    QCOMPARE(ticks(list), QStringLiteral("xxxx"));
    click_entry(list, 2, true);
    QCOMPARE(ticks(list), QStringLiteral("xx-x"));
    all->setChecked(false);
    QCOMPARE(ticks(list), QStringLiteral("----"));
    all->setChecked(true);
    list->setFocus(); // the keyboard toggles the current entry
    list->setCurrentRow(3);
    QTest::keyClick(list, Qt::Key_Space);
    QCOMPARE(ticks(list), QStringLiteral("xxx-"));

    // back, and a second scan: numbering starts again and entries are ticked
    ModalAnswerer answers; // the unrestored photos are given up
    answers.press("Yes");
    click(window, ui::scan_back);
    start_scan(window, fake, image_device(image));
    QCOMPARE(list->count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(list->count(), 4, 30000); // the status keeps the last run's text until the new run reports
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), scan_done, 30000);
    QCOMPARE(list->item(0)->text(), QStringLiteral("IMAGE_0001.JPG"));
    QCOMPARE(ticks(list), QStringLiteral("xxxx"));

    // no photos: "Select all" stays hidden; bytes that could not be read are told with the final status
    answers.press("Yes");
    click(window, ui::scan_back);
    start_scan(window, fake, image_device(empty, "EMPTY"));
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("No files found"), 30000);
    QVERIFY(list->count() == 0 && all->isHidden());
    QVERIFY(child<QWidget>(window, ui::bar)->isHidden() && child<QWidget>(window, ui::stop)->isHidden());
    QMetaObject::invokeMethod(&window, "on_scanning_unreadable", Q_ARG(qint64, 8192));
    QMetaObject::invokeMethod(&window, "on_scanning_done");
    auto *status = child<QLabel>(window, ui::status);
    QCOMPARE(status->text(), QStringLiteral("No files found (8.0 KiB unreadable)"));
    QVERIFY(status->width() >= status->sizeHint().width() && status->geometry().right() < all->x());
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
        action == "stop" ? click(window, ui::stop) : action == "go back" ? click(window, ui::scan_back) : void(window.close());
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
    QVERIFY(survived_escape && window.isVisible());
    QCOMPARE(page_of(window), scan_page);
    const QString text_then = bar->text();
    QTRY_VERIFY_WITH_TIMEOUT(bar->text() != text_then, 10000); // the scan goes on

    answers.press("Yes");
    ask();
    QCOMPARE(window.isVisible(), page >= 0);
    QVERIFY(page < 0 || page_of(window) == page);
    QTRY_COMPARE_WITH_TIMEOUT(status_of(window), QStringLiteral("Select files and press the restore button"), 10000);
    QVERIFY(bar->isHidden() && child<QWidget>(window, ui::stop)->isHidden());
    QCOMPARE(answers.seen.size(), 3);
    QCOMPARE(answers.seen.at(1).text, question);
    QVERIFY(answers.unexpected.isEmpty());
}

// No lets the index phase go on; the card is pulled out, Yes skips the rest of
// the index, and the raw read that follows says why it cannot read the card.
void TestMainWindow::skip_question_and_a_card_pulled_out()
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
    QVERIFY(QFile::rename(image, image + ".pulled"));
    answers.press("Yes");
    answers.press_ok(); // the explanation
    click(window, ui::skip);
    QTRY_COMPARE_WITH_TIMEOUT(answers.pending(), 0, 30000);
    QCOMPARE(status->text(), QStringLiteral("The device could not be read."));
    QCOMPARE(status->toolTip(), QStringLiteral("No such device or image file."));
    QVERIFY(skip->isHidden());
    QCOMPARE(answers.seen.at(0).text, QStringLiteral("Are you sure want to skip scanning existing files?"));
    QCOMPARE(answers.seen.at(2).text, QStringLiteral("The device could not be read.\nNo such device or image file."));

    // a stop during the index phase (by going back) hides the link too
    QVERIFY(QFile::rename(image + ".pulled", image));
    start_scan(window, fake, image_device(image, "CARD", root));
    QTRY_VERIFY_WITH_TIMEOUT(!skip->isHidden(), 10000);
    answers.press("Yes");
    click(window, ui::scan_back);
    QCOMPARE(page_of(window), device_page);
    QTRY_VERIFY_WITH_TIMEOUT(skip->isHidden(), 10000);
    QVERIFY(answers.unexpected.isEmpty());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
