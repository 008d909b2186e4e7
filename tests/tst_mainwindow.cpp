// The wizard window offscreen: its form, the device page with a device
// source the test controls, the scanning page driven by the real worker over
// image files, the results list and every question the window asks.

#include "tst_mainwindow_support.h"

#include "resultsdelegate.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QTemporaryDir>

#include <clocale>

#include <unistd.h> // geteuid, seteuid: a user who may not read a device

using namespace windowtest;

namespace {

const QString scan_done = QStringLiteral("Scanning finished");
const QString scan_stopped = QStringLiteral("Select files and press the restore button");
const QString go_back_question = QStringLiteral("Are you sure to stop scanning and select another one device?");

QStringList child_names(const QWidget *page)
{
    QStringList names;
    for (const QObject *object : page->children()) {
        if (object->isWidgetType())
            names.append(object->objectName());
    }
    return names;
}

// The point of the results entry in row where a click lands on what part names.
QPoint entry_point(QListWidget *list, int row, bool on_check_box)
{
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.rect = list->visualItemRect(list->item(row));
    const auto *delegate = qobject_cast<ResultsDelegate *>(list->itemDelegate());
    const QModelIndex index = list->model()->index(row, 0);
    return on_check_box ? delegate->check_box_rect(option, index).center()
                        : delegate->thumbnail_rect(option).center();
}

QList<Qt::CheckState> check_states(QListWidget *list)
{
    QList<Qt::CheckState> states;
    for (int row = 0; row < list->count(); ++row)
        states.append(list->item(row)->checkState());
    return states;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void form_pages_texts_and_images();
    void device_poll_runs_only_on_the_device_page();
    void device_list_follows_devices_that_come_and_go();
    void next_explains_what_is_missing();
    void progress_shows_two_decimals_with_a_point();
    void results_entries_ticks_and_select_all();
    void stop_question_yes_and_no();
    void skip_question_yes_and_no();
    void go_back_question_yes_and_no();
    void close_asks_only_on_the_device_and_scanning_pages();
    void unreadable_device_is_explained();

private:
    QTemporaryDir scratch;
};

void TestMainWindow::init()
{
    QVERIFY(scratch.isValid());
}

void TestMainWindow::form_pages_texts_and_images()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());

    QCOMPARE(window.windowTitle(), QStringLiteral("Velvora Recovery 3.0"));
    QCOMPARE(window.minimumSize(), QSize(742, 514));
    QCOMPARE(window.maximumSize(), QSize(742, 514));
    QVERIFY(!window.menuWidget());

    auto *stack = child<QStackedWidget>(window, "stackedWidget");
    QCOMPARE(stack->geometry(), QRect(0, 0, 753, 514));
    QCOMPARE(stack->count(), 4);
    const QStringList pages{"page", "page_3", "page_2", "page_4"};
    for (int i = 0; i < pages.size(); ++i)
        QCOMPARE(stack->widget(i)->objectName(), pages.at(i));
    QCOMPARE(stack->currentIndex(), 1);

    // z-order: children are kept bottom first
    QCOMPARE(child_names(stack->widget(0)), (QStringList{"label_8", "pushButton_2", "label_5", "label_7"}));
    QCOMPARE(child_names(stack->widget(1)), (QStringList{"label_9", "label_2", "deviceList", "pushButton_4",
                                                         "pushButton_5", "label_6", "label_12", "label_14"}));
    QCOMPARE(child_names(stack->widget(2)),
             (QStringList{"label_11", "label_3", "listWidget_2", "pushButton_6", "pushButton", "progressBar",
                          "pushButton_7", "label_15", "label_17", "checkBox", "pushButton_8", "mountNote"}));
    QCOMPARE(child_names(stack->widget(3)),
             (QStringList{"label_13", "pushButton_9", "pushButton_3", "label_4", "label_16", "summaryLabel",
                          "openFolderButton"}));

    struct Expected
    {
        const char *name;
        QRect geometry;
        QString text;
    };
    const QList<Expected> widgets{
        {"pushButton_2", {160, 430, 541, 41}, "Start scanning"},
        {"label_5", {10, 10, 701, 81},
         "Welcome to the Dodur Edivezav.\nThis software is easy way to find and recover your photos from removable "
         "devices like SD cards, USB sticks and digital photo cameras."},
        {"label_2", {10, 100, 331, 16}, "Removable devices:"},
        {"pushButton_4", {637, 480, 95, 23}, "Next"},
        {"pushButton_5", {535, 480, 95, 23}, "Go back"},
        {"label_6", {10, 56, 711, 51},
         "Now insert your SD card or digital camera to computer and choose the appeared item. Then click \"Next\" "
         "button to begin recovering process."},
        {"label_12", {10, 20, 371, 21}, "Select device you want to recover files from"},
        {"label_3", {10, 480, 221, 21}, "Scanning"},
        {"pushButton_6", {535, 480, 95, 23}, "Go back"},
        {"pushButton", {637, 480, 95, 23}, "Restore..."},
        {"pushButton_7", {210, 479, 23, 23}, ""},
        {"label_17", {10, 20, 311, 21}, "Data scanning..."},
        {"checkBox", {449, 480, 81, 23}, "Select all"},
        {"pushButton_8", {364, 480, 71, 23}, "Click to skip"},
        {"pushButton_9", {535, 470, 95, 23}, "Go back"},
        {"pushButton_3", {637, 470, 95, 23}, "Close"},
        {"label_4", {10, 20, 701, 21}, "Thanks for using Velvora Recovery software!"},
    };
    for (const Expected &expected : widgets) {
        const QWidget *widget = child<QWidget>(window, expected.name);
        QCOMPARE(widget->geometry(), expected.geometry);
        const QString text = widget->property("text").toString();
        QVERIFY2(text == expected.text, expected.name);
    }

    auto *bar = child<QProgressBar>(window, "progressBar");
    QCOMPARE(bar->geometry(), QRect(10, 480, 201, 21));
    QCOMPARE(bar->format(), QStringLiteral("Scanning media"));
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->maximum(), 100);

    // hidden by the constructor; the stop button is left shown
    QVERIFY(bar->isHidden());
    QVERIFY(child<QCheckBox>(window, "checkBox")->isHidden());
    QVERIFY(child<QCheckBox>(window, "checkBox")->isChecked());
    QVERIFY(child<QPushButton>(window, "pushButton_8")->isHidden());
    QVERIFY(child<QPushButton>(window, "pushButton_5")->isHidden());
    QVERIFY(!child<QPushButton>(window, "pushButton_7")->isHidden());

    // the compiled-in images, at their sizes, where the form shows them
    const QImage background(QStringLiteral(":/graphics/resources/graphics/welcome-background.png"));
    QCOMPARE(background.size(), QSize(753, 514));
    QCOMPARE(QImage(QStringLiteral(":/graphics/resources/graphics/welcome-logo.png")).size(), QSize(500, 400));
    QCOMPARE(QImage(QStringLiteral(":/graphics/resources/graphics/top.png")).size(), QSize(93, 59));
    QCOMPARE(QImage(QStringLiteral(":/icons/stop")).size(), QSize(24, 24));
    QCOMPARE(QImage(QStringLiteral(":/icons/volume")).size(), QSize(128, 128));
    for (const char *name : {"label_8", "label_9", "label_11", "label_13"}) {
        const auto *label = child<QLabel>(window, name);
        QCOMPARE(label->geometry(), QRect(0, 0, 753, 514));
        QCOMPARE(label->pixmap().toImage().convertToFormat(QImage::Format_RGB32),
                 background.convertToFormat(QImage::Format_RGB32));
    }
    for (const char *name : {"label_14", "label_15", "label_16"}) {
        QCOMPARE(child<QLabel>(window, name)->geometry(), QRect(645, 3, 91, 51));
        QCOMPARE(child<QLabel>(window, name)->pixmap().size(), QSize(93, 59));
    }
    QCOMPARE(child<QLabel>(window, "label_7")->pixmap().size(), QSize(500, 400));
    const auto *stop = child<QPushButton>(window, "pushButton_7");
    QVERIFY(!stop->icon().isNull());
    QCOMPARE(stop->iconSize(), QSize(18, 18));
    QVERIFY(stop->isFlat());
}

void TestMainWindow::device_poll_runs_only_on_the_device_page()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    auto *stack = child<QStackedWidget>(window, "stackedWidget");

    // opens on page 1 with the poll running; the list fills at the first tick
    QCOMPARE(stack->currentIndex(), 1);
    QCOMPARE(fake.polls, 0);
    QTRY_VERIFY_WITH_TIMEOUT(fake.polls >= 1, 3000);

    for (const int page : {0, 2, 3}) {
        stack->setCurrentIndex(page);
        const int polls = fake.polls;
        QTest::qWait(1300);
        QVERIFY2(fake.polls == polls, qPrintable(QStringLiteral("polled on page %1").arg(page)));
    }

    // page 3 "Go back" leads to page 2, page 2 has its own; the welcome
    // button returns to page 1 and refreshes at once
    child<QPushButton>(window, "pushButton_9")->click();
    QCOMPARE(stack->currentIndex(), 2);
    child<QPushButton>(window, "pushButton_6")->click(); // no scan runs: no question
    QCOMPARE(stack->currentIndex(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(fake.polls >= 2, 3000);
    child<QPushButton>(window, "pushButton_5")->click();
    QCOMPARE(stack->currentIndex(), 0);
    const int polls = fake.polls;
    child<QPushButton>(window, "pushButton_2")->click();
    QCOMPARE(stack->currentIndex(), 1);
    QCOMPARE(fake.polls, polls + 1);
}

void TestMainWindow::device_list_follows_devices_that_come_and_go()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    auto *list = child<QListWidget>(window, "deviceList");
    const auto refresh = [&] { QVERIFY(QMetaObject::invokeMethod(&window, "on_device_changed")); };
    const auto keys = [&] {
        QStringList shown;
        for (int row = 0; row < list->count(); ++row)
            shown.append(list->item(row)->data(Qt::UserRole).toString());
        return shown;
    };
    const auto device = [](const QString &node, const QString &label, qint64 mib) {
        RemovableDevice d;
        d.drive = QFileInfo(node).fileName();
        d.raw_path = node;
        d.label = label;
        d.file_system = QStringLiteral("FAT32");
        d.bytes_per_sector = 512;
        d.size = mib * 1024 * 1024;
        d.sector_count = d.size / 512;
        return d;
    };

    fake.attach(device("/dev/sdc1", "PHOTOS", 7580));
    fake.attach(device("/dev/sdb1", "", 1910));
    fake.attach(device("/dev/mmcblk0p1", "CAM", 30000));
    fake.attach(device("/dev/sdd", "STICK", 100));
    refresh();
    QCOMPARE(keys(), (QStringList{"/dev/mmcblk0p1", "/dev/sdb1", "/dev/sdc1", "/dev/sdd"}));
    QCOMPARE(list->item(2)->text(), QStringLiteral("PHOTOS (sdc1) - 7580 MB\nFAT32 Volume"));
    QCOMPARE(list->item(1)->text(), QStringLiteral("Removable Media (sdb1) - 1910 MB\nFAT32 Volume"));
    QCOMPARE(list->item(0)->icon().pixmap(128).toImage().size(), QSize(128, 128));

    list->setCurrentRow(2);
    QVERIFY(list->item(2)->isSelected());

    // two pulled out at the same poll: exactly their items go
    fake.now.remove("/dev/mmcblk0p1");
    fake.now.remove("/dev/sdd");
    refresh();
    QCOMPARE(keys(), (QStringList{"/dev/sdb1", "/dev/sdc1"}));
    QCOMPARE(list->currentItem()->data(Qt::UserRole).toString(), QStringLiteral("/dev/sdc1"));
    QVERIFY(list->currentItem()->isSelected());

    // one plugged in goes last, whatever its name; the current one stays
    fake.attach(device("/dev/sda1", "NEW", 64));
    refresh();
    QCOMPARE(keys(), (QStringList{"/dev/sdb1", "/dev/sdc1", "/dev/sda1"}));
    QCOMPARE(list->currentItem()->data(Qt::UserRole).toString(), QStringLiteral("/dev/sdc1"));

    // a relabelled or reformatted volume shows so at the next poll
    fake.now["/dev/sdc1"].label = QStringLiteral("HOLIDAY");
    fake.now["/dev/sdc1"].file_system.clear();
    refresh();
    QCOMPARE(list->item(1)->text(), QStringLiteral("HOLIDAY (sdc1) - 7580 MB\nNot formatted"));

    // the list is not touched while another page shows, and is kept there
    child<QStackedWidget>(window, "stackedWidget")->setCurrentIndex(2);
    fake.now.clear();
    refresh();
    QCOMPARE(list->count(), 3);
    child<QStackedWidget>(window, "stackedWidget")->setCurrentIndex(1);
    refresh();
    QCOMPARE(list->count(), 0);
}

void TestMainWindow::next_explains_what_is_missing()
{
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    auto *next = child<QPushButton>(window, "pushButton_4");

    answers.press_ok();
    next->click();
    QVERIFY(QMetaObject::invokeMethod(&window, "on_device_changed"));

    const QString image = scratch.filePath("gone.img");
    QVERIFY(make_sparse_file(image, 4 * 1024 * 1024));
    fake.attach(image_device(image));
    QVERIFY(QMetaObject::invokeMethod(&window, "on_device_changed"));
    answers.press_ok();
    next->click();

    // pulled out between the last poll and "Next"
    child<QListWidget>(window, "deviceList")->setCurrentRow(0);
    QVERIFY(QFile::remove(image));
    answers.press_ok();
    next->click();

    // there, but not readable by this user: said so, not "no longer available"
    const QString locked = scratch.filePath("locked.img");
    QVERIFY(make_sparse_file(locked, 4 * 1024 * 1024));
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    fake.now.remove(image);
    fake.attach(image_device(locked, "LOCKED"));
    QVERIFY(QMetaObject::invokeMethod(&window, "on_device_changed"));
    child<QListWidget>(window, "deviceList")->setCurrentRow(0);
    QCOMPARE(child<QListWidget>(window, "deviceList")->currentItem()->data(Qt::UserRole).toString(), locked);
    // root reads any file; an ordinary user is borrowed for the one click
    const bool as_root = ::geteuid() == 0;
    if (as_root)
        QVERIFY(::seteuid(65534) == 0);
    answers.press_ok();
    next->click();
    if (as_root)
        QVERIFY(::seteuid(0) == 0);

    QCOMPARE(answers.pending(), 0);
    QCOMPARE(answers.seen.size(), 4);
    QCOMPARE(answers.seen.at(3).text,
             QStringLiteral("The device could not be read.\n"
                            "Permission denied: reading a device needs membership of the 'disk' group or root."));
    QCOMPARE(answers.seen.at(0).text, QStringLiteral("No devices found.\nPlease connect your removable device to computer."));
    QCOMPARE(answers.seen.at(0).title, QString());
    QCOMPARE(answers.seen.at(1).text, QStringLiteral("Please choose device."));
    QCOMPARE(answers.seen.at(2).text, QStringLiteral("Selected device no longer available. Please select again."));
    QCOMPARE(page_of(window), 1);
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindow::progress_shows_two_decimals_with_a_point()
{
    // A locale with a decimal comma, for Qt and for the C library alike.
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const bool c_locale_changed = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    if (!c_locale_changed)
        qInfo("de_DE.UTF-8 is not installed; only Qt's locale is German in this test");

    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    auto *bar = child<QProgressBar>(window, "progressBar");
    auto *label = child<QLabel>(window, "label_3");
    auto *stop = child<QPushButton>(window, "pushButton_7");
    const auto progress = [&](qint64 i, qint64 j) {
        QVERIFY(QMetaObject::invokeMethod(&window, "on_scanning_progress", Q_ARG(qint64, i), Q_ARG(qint64, j)));
    };

    struct Case
    {
        qint64 i, j;
        int value;
        QString text;
    };
    const QList<Case> cases{
        {0, 3000000, 0, "Scanning 0.00%"},
        {8192, 3000000, 0, "Scanning 0.27%"},
        {1, 3, 33, "Scanning 33.33%"},
        {2999999, 3000000, 99, "Scanning 100.00%"},
        {3000000, 3000000, 100, "Scanning 100.00%"},
        // a 2 TiB card: sector counts beyond 32 bits
        {qint64(1) << 32, qint64(1) << 33, 50, "Scanning 50.00%"},
        {0, 0, 0, "Scanning 0.00%"},
    };
    for (const Case &c : cases) {
        progress(c.i, c.j);
        QCOMPARE(bar->value(), c.value);
        QCOMPARE(bar->text(), c.text);
        QVERIFY(!bar->isHidden());
        QVERIFY(!stop->isHidden());
        QVERIFY(label->isHidden());
    }

    if (c_locale_changed)
        std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(previous);
}

void TestMainWindow::results_entries_ticks_and_select_all()
{
    // Two real scans over one card image holding four photos.
    const QString image = scratch.filePath("four.img");
    {
        QByteArray volume(512 * 4, '\0');
        for (int seed = 0; seed < 4; ++seed) {
            volume += testsupport::qt_jpeg(testsupport::make_picture(320 + 16 * seed, 240, seed));
            volume.resize((volume.size() + 511) / 512 * 512 + 512 * 3, '\0');
        }
        QVERIFY(testsupport::write_file(image, volume));
    }
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *list = child<QListWidget>(window, "listWidget_2");
    auto *all = child<QCheckBox>(window, "checkBox");
    auto *status = child<QLabel>(window, "label_3");

    // "Select all" unticked while the photos arrive: they arrive unticked
    all->setChecked(false);
    start_scan(window, fake, image_device(image));
    QCOMPARE(page_of(window), 2);
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), scan_done, 30000);
    QCOMPARE(list->count(), 4);
    QVERIFY(!all->isHidden());
    for (int row = 0; row < 4; ++row) {
        QCOMPARE(list->item(row)->text(), QString::asprintf("IMAGE_%04d.JPG", row + 1));
        QCOMPARE(list->item(row)->checkState(), Qt::Unchecked);
        const QPixmap thumbnail = list->item(row)->data(Qt::DecorationRole).value<QPixmap>();
        QVERIFY(!thumbnail.isNull());
        QVERIFY(thumbnail.width() <= 120 && thumbnail.height() <= 90);
    }
    // entries arrive in volume order, each with its offset
    QCOMPARE(list->item(0)->data(Qt::UserRole).toLongLong(), 512 * 4);
    for (int row = 1; row < 4; ++row)
        QVERIFY(list->item(row)->data(Qt::UserRole).toLongLong() > list->item(row - 1)->data(Qt::UserRole).toLongLong());

    // the thumbnail ignores clicks; the box and its name toggle
    QWidget *viewport = list->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, entry_point(list, 0, false));
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, entry_point(list, 0, false));
    QCOMPARE(check_states(list), (QList<Qt::CheckState>(4, Qt::Unchecked)));
    QTest::mouseClick(viewport, Qt::LeftButton, {}, entry_point(list, 1, true));
    QCOMPARE(check_states(list), (QList<Qt::CheckState>{Qt::Unchecked, Qt::Checked, Qt::Unchecked, Qt::Unchecked}));

    // "Select all" overrides every choice made by hand, both ways
    all->setChecked(true);
    QCOMPARE(check_states(list), (QList<Qt::CheckState>(4, Qt::Checked)));
    QTest::mouseClick(viewport, Qt::LeftButton, {}, entry_point(list, 2, true));
    QCOMPARE(list->item(2)->checkState(), Qt::Unchecked);
    QVERIFY(all->isChecked());
    all->setChecked(false);
    QCOMPARE(check_states(list), (QList<Qt::CheckState>(4, Qt::Unchecked)));
    all->setChecked(true);

    // the keyboard toggles the current entry
    list->setFocus();
    list->setCurrentRow(3);
    QTest::keyClick(list, Qt::Key_Space);
    QCOMPARE(list->item(3)->checkState(), Qt::Unchecked);

    // back (the unrestored photos are given up), and a second scan:
    // numbering starts again and entries are ticked
    ModalAnswerer answers;
    answers.press("Yes");
    window.findChild<QPushButton *>("pushButton_6")->click();
    QCOMPARE(page_of(window), 1);
    start_scan(window, fake, image_device(image));
    QCOMPARE(list->count(), 0);
    // the label keeps the last run's text until the new run reports
    QCOMPARE(status->text(), scan_done);
    QTRY_COMPARE_WITH_TIMEOUT(list->count(), 4, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), scan_done, 30000);
    QCOMPARE(list->item(0)->text(), QStringLiteral("IMAGE_0001.JPG"));
    QCOMPARE(check_states(list), (QList<Qt::CheckState>(4, Qt::Checked)));

    // a volume without photos: "No files found", "Select all" stays hidden
    const QString empty = scratch.filePath("empty.img");
    QVERIFY(make_sparse_file(empty, 8 * 1024 * 1024));
    answers.press("Yes");
    window.findChild<QPushButton *>("pushButton_6")->click();
    start_scan(window, fake, image_device(empty, "EMPTY"));
    QVERIFY(all->isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("No files found"), 30000);
    QCOMPARE(list->count(), 0);
    QVERIFY(all->isHidden());
    QVERIFY(child<QProgressBar>(window, "progressBar")->isHidden());
    QVERIFY(child<QPushButton>(window, "pushButton_7")->isHidden());
}

void TestMainWindow::stop_question_yes_and_no()
{
    // Zeros read slowly enough to stop half-way.
    const QString image = scratch.filePath("big.img");
    QVERIFY(make_sparse_file(image, qint64(64) * 1024 * 1024 * 1024));
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    auto *bar = child<QProgressBar>(window, "progressBar");
    auto *stop = child<QPushButton>(window, "pushButton_7");

    start_scan(window, fake, image_device(image, "BIG"));
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isHidden() && !stop->isHidden(), 10000);
    QVERIFY(bar->text().startsWith("Scanning ") && bar->text().endsWith('%'));

    // restoring while the scan runs is refused, even with photos ticked or not
    answers.press_ok();
    child<QPushButton>(window, "pushButton")->click();

    answers.press("No");
    stop->click();
    const int value_then = bar->value();
    const QString text_then = bar->text();
    QTRY_VERIFY_WITH_TIMEOUT(bar->text() != text_then, 10000); // still reading
    QVERIFY(bar->value() >= value_then);

    answers.press("Yes");
    stop->click();
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(window, "label_3")->text(), scan_stopped, 10000);
    QVERIFY(bar->isHidden());
    QVERIFY(stop->isHidden());
    QCOMPARE(page_of(window), 2);

    QCOMPARE(answers.seen.size(), 3);
    QCOMPARE(answers.seen.at(0).text, QStringLiteral("Scanning still in progress. Please wait or stop scanning."));
    QCOMPARE(answers.seen.at(1).title, QStringLiteral("Program"));
    QCOMPARE(answers.seen.at(1).text, QStringLiteral("Are you sure you want to stop scanning?"));
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindow::skip_question_yes_and_no()
{
    // An index phase long enough to skip: large photo-named files that read
    // as zeros, on a folder standing in for the card's mount point.
    const QString root = scratch.filePath("root");
    QVERIFY(QDir().mkpath(root));
    for (int i = 0; i < 40; ++i)
        QVERIFY(make_sparse_file(QDir(root).filePath(QStringLiteral("DSC_%1.JPG").arg(i)), 128 * 1024 * 1024));
    const QString image = scratch.filePath("card.img");
    QVERIFY(make_sparse_file(image, 8 * 1024 * 1024));

    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    window.show();
    ModalAnswerer answers;
    auto *status = child<QLabel>(window, "label_3");
    auto *skip = child<QPushButton>(window, "pushButton_8");

    start_scan(window, fake, image_device(image, "CARD", root));
    QTRY_VERIFY_WITH_TIMEOUT(!skip->isHidden(), 10000);
    QVERIFY(status->text().startsWith("Please wait. Scanning exiting files ("));
    // the link follows the end of the text
    QCOMPARE(skip->x(), status->x() + status->width() + 5);
    QCOMPARE(skip->y(), status->y());
    QCOMPARE(status->height(), skip->height());
    QVERIFY(child<QPushButton>(window, "pushButton_7")->isHidden());

    answers.press("No");
    skip->click();
    QTRY_VERIFY_WITH_TIMEOUT(status->text().contains("(3)"), 20000); // the walk went on
    QVERIFY(!skip->isHidden());

    answers.press("Yes");
    skip->click();
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("No files found"), 30000);
    QVERIFY(skip->isHidden());
    QCOMPARE(answers.seen.size(), 2);
    QCOMPARE(answers.seen.at(0).title, QString());
    QCOMPARE(answers.seen.at(0).text, QStringLiteral("Are you sure want to skip scanning existing files?"));

    // a stop during the index phase (by going back) hides the link too
    start_scan(window, fake, image_device(image, "CARD", root));
    QTRY_VERIFY_WITH_TIMEOUT(!skip->isHidden(), 10000);
    answers.press("Yes");
    child<QPushButton>(window, "pushButton_6")->click();
    QCOMPARE(page_of(window), 1);
    QTRY_VERIFY_WITH_TIMEOUT(skip->isHidden(), 10000);
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindow::go_back_question_yes_and_no()
{
    const QString image = scratch.filePath("big.img");
    QVERIFY(make_sparse_file(image, qint64(64) * 1024 * 1024 * 1024));
    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    auto *back = child<QPushButton>(window, "pushButton_6");
    auto *bar = child<QProgressBar>(window, "progressBar");

    start_scan(window, fake, image_device(image, "BIG"));
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isHidden(), 10000);

    // Escape and the close button do not end the question; only Yes or No do
    QString buttons;
    bool survived_escape = false;
    answers.then([&](QWidget *dialog) {
        auto *box = qobject_cast<QMessageBox *>(dialog);
        for (QAbstractButton *button : box->buttons())
            buttons += box->buttonRole(button) == QMessageBox::ActionRole ? button->text() + ' ' : QString("?");
        QTest::keyClick(box, Qt::Key_Escape);
        box->close();
        survived_escape = box->isVisible();
        QTimer::singleShot(50, box, [box] {
            for (QAbstractButton *button : box->buttons())
                if (button->text() == "No")
                    button->click();
        });
    });
    back->click();
    QCOMPARE(buttons, QStringLiteral("Yes No "));
    QVERIFY(survived_escape);
    QCOMPARE(page_of(window), 2);
    const QString text_then = bar->text();
    QTRY_VERIFY_WITH_TIMEOUT(bar->text() != text_then, 10000); // the scan goes on

    answers.press("Yes");
    back->click();
    QCOMPARE(page_of(window), 1);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(window, "label_3")->text(), scan_stopped, 10000);

    QCOMPARE(answers.seen.size(), 2);
    QCOMPARE(answers.seen.at(0).text, go_back_question);
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindow::close_asks_only_on_the_device_and_scanning_pages()
{
    FakeDevices fake;
    ModalAnswerer answers;
    {
        MainWindow window(nullptr, fake.source());
        window.show();
        answers.press("No");
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QCOMPARE(page_of(window), 1);
        answers.press("Yes");
        QVERIFY(window.close());
        QVERIFY(!window.isVisible());
        QCOMPARE(answers.seen.size(), 2);
        QCOMPARE(answers.seen.at(0).text, QStringLiteral("Are you sure want to exit?"));
        QCOMPARE(answers.seen.at(0).title, QString());
    }
    for (const int page : {0, 3}) {
        MainWindow window(nullptr, fake.source());
        window.show();
        child<QStackedWidget>(window, "stackedWidget")->setCurrentIndex(page);
        QVERIFY(window.close());
        if (page == 3) {
            window.show();
            child<QPushButton>(window, "pushButton_3")->click();
            QVERIFY(!window.isVisible());
        }
    }
    QCOMPARE(answers.seen.size(), 2);

    // during a scan: No leaves it running, Yes stops it and closes
    const QString image = scratch.filePath("big.img");
    QVERIFY(make_sparse_file(image, qint64(64) * 1024 * 1024 * 1024));
    MainWindow window(nullptr, fake.source());
    window.show();
    auto *bar = child<QProgressBar>(window, "progressBar");
    start_scan(window, fake, image_device(image, "BIG"));
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isHidden(), 10000);
    answers.press("No");
    QVERIFY(!window.close());
    const QString text_then = bar->text();
    QTRY_VERIFY_WITH_TIMEOUT(bar->text() != text_then, 10000);
    answers.press("Yes");
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(window, "label_3")->text(), scan_stopped, 10000);
    QVERIFY(answers.unexpected.isEmpty());
}

void TestMainWindow::unreadable_device_is_explained()
{
    // The card is pulled out while the existing files are indexed: the raw
    // read that follows cannot open it.
    const QString root = scratch.filePath("root");
    QVERIFY(QDir().mkpath(root));
    for (int i = 0; i < 20; ++i)
        QVERIFY(make_sparse_file(QDir(root).filePath(QStringLiteral("DSC_%1.JPG").arg(i)), 128 * 1024 * 1024));
    const QString image = scratch.filePath("card.img");
    QVERIFY(make_sparse_file(image, 8 * 1024 * 1024));

    FakeDevices fake;
    MainWindow window(nullptr, fake.source());
    ModalAnswerer answers;
    auto *skip = child<QPushButton>(window, "pushButton_8");
    auto *status = child<QLabel>(window, "label_3");
    start_scan(window, fake, image_device(image, "CARD", root));
    QTRY_VERIFY_WITH_TIMEOUT(!skip->isHidden(), 10000);
    QVERIFY(QFile::remove(image));
    answers.press("Yes"); // skip the rest of the index
    answers.press_ok();   // the explanation
    skip->click();
    QTRY_COMPARE_WITH_TIMEOUT(answers.pending(), 0, 30000);

    QCOMPARE(status->text(), QStringLiteral("The device could not be read."));
    QCOMPARE(answers.seen.size(), 2);
    QCOMPARE(answers.seen.at(1).text, QStringLiteral("The device could not be read.\nNo such device or image file."));
    QCOMPARE(status->toolTip(), QStringLiteral("No such device or image file."));
    QVERIFY(answers.unexpected.isEmpty());

    // sectors the engine skipped are reported with the final status
    QVERIFY(QMetaObject::invokeMethod(&window, "on_scanning_unreadable", Q_ARG(qint64, 8192)));
    QVERIFY(QMetaObject::invokeMethod(&window, "on_scanning_done"));
    QCOMPARE(status->text(), QStringLiteral("No files found (8.0 KiB unreadable)"));
    QVERIFY(status->width() >= status->sizeHint().width());
    QVERIFY(status->geometry().right() < child<QCheckBox>(window, "checkBox")->x());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
