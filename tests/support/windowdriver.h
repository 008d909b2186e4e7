#pragma once

// Drives the wizard window offscreen: its widgets by role, a device source the
// test controls, devices made from image files, and modal dialogs answered
// from a timer. Header only: link velvora_app.

#include "devicepage.h"
#include "mainwindow.h"
#include "removabledevice.h"
#include "resultsdelegate.h"
#include "scanpage.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>

namespace windowtest {

// The form's object names, by what they are.
namespace ui {
constexpr const char *pages = "stackedWidget", *devices = "deviceList", *next = "pushButton_4", *status = "label_3",
                     *bar = "progressBar", *stop = "pushButton_7", *skip = "pushButton_8",
                     *select_all = "checkBox", *results = "listWidget_2", *scan_back = "pushButton_6",
                     *restore = "pushButton", *final_back = "pushButton_9", *close = "pushButton_3";
}
enum Page { device_page, scan_page, final_page };

// The named child of the window; aborts when it is missing, as every later step would fail.
template<class T>
T *child(const QObject &window, const char *name)
{
    T *found = window.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("the window has no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

inline int page_of(const MainWindow &window) { return child<QStackedWidget>(window, ui::pages)->currentIndex(); }
inline QString status_of(const MainWindow &window) { return child<QLabel>(window, ui::status)->text(); }
inline void click(const MainWindow &window, const char *button) { child<QAbstractButton>(window, button)->click(); }

// The grid of found photos, and what its entry in row holds under role.
inline QListView *results_of(const QObject &window) { return child<QListView>(window, ui::results); }
inline int count_of(const QAbstractItemView *list) { return list->model()->rowCount(); }
inline QVariant entry(const QAbstractItemView *list, int row, int role = Qt::DisplayRole)
{
    return list->model()->index(row, 0).data(role);
}
// Makes row current and selected, as QListWidget::setCurrentRow does in a list that selects many.
inline void set_current_row(QAbstractItemView *list, int row)
{
    list->selectionModel()->setCurrentIndex(list->model()->index(row, 0), QItemSelectionModel::SelectCurrent);
}
inline QRect entry_rect(const QAbstractItemView *list, int row) { return list->visualRect(list->model()->index(row, 0)); }

// The page that shows a scan and its results, and the device page's poll, run now.
inline ScanPage &scan_page_of(const QObject &window) { return *child<ScanPage>(window, "ScanPage"); }
inline void refresh_devices(const QObject &window) { child<DevicePage>(window, "DevicePage")->refresh(); }

// Clicks (or double-clicks) the results entry in row on its check box or on its thumbnail, with modifiers held.
inline void click_entry(QAbstractItemView *list, int row, bool on_check_box = true, bool twice = false,
                        Qt::KeyboardModifiers modifiers = {})
{
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.rect = entry_rect(list, row);
    const auto *delegate = qobject_cast<ResultsDelegate *>(list->itemDelegate());
    const QPoint at = on_check_box ? delegate->check_box_rect(option, list->model()->index(row, 0)).center()
                                   : delegate->thumbnail_rect(option).center();
    twice ? QTest::mouseDClick(list->viewport(), Qt::LeftButton, modifiers, at)
          : QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, at);
}

// Answers the message boxes, file and folder dialogs and menus that open,
// one queued action each, and records every message box. Other modal widgets (the recovery's
// progress dialog) are left alone.
class ModalAnswerer : public QObject
{
public:
    using Action = std::function<void(QWidget *)>;
    struct Seen { QString text, default_button; };

    ModalAnswerer()
    {
        QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(10);
    }

    void then(Action action) { actions.enqueue(std::move(action)); }
    // Presses the message box button whose text (without its & marker) is text.
    void press(const QString &text)
    {
        then([text](QWidget *dialog) {
            auto *box = qobject_cast<QMessageBox *>(dialog);
            for (QAbstractButton *button : box ? box->buttons() : QList<QAbstractButton *>()) {
                if (button->text().remove(QLatin1Char('&')) == text)
                    return button->click();
            }
            qWarning("no button %s in the dialog; closing it", qPrintable(text));
            static_cast<QDialog *>(dialog)->done(0);
        });
    }
    void press_ok() { press(QStringLiteral("OK")); }
    // Picks the entry whose text is text in a menu, as a user would.
    void choose_entry(const QString &text)
    {
        then([text](QWidget *popup) {
            auto *menu = static_cast<QMenu *>(popup);
            for (QAction *action : menu->actions())
                action->text() == text ? menu->setActiveAction(action) : void();
            QTest::keyClick(menu, Qt::Key_Return);
        });
    }
    // Chooses file in a file dialog, typed into its name field as a user
    // would: selectFile() leaves the field alone once it has the focus.
    void choose_file(const QString &file)
    {
        then([file](QWidget *dialog) {
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            name ? name->setText(file) : void();
            static_cast<QDialog *>(dialog)->accept();
        });
    }
    // Chooses directory in a folder dialog (an empty one cancels it). The
    // dialog opens the folder and accepts with nothing selected: choosing it
    // from its parent races the dialog's file system model.
    void choose_directory(const QString &directory)
    {
        then([directory](QWidget *dialog) {
            auto *files = qobject_cast<QFileDialog *>(dialog);
            if (!files || directory.isEmpty())
                return static_cast<QDialog *>(dialog)->reject();
            files->setDirectory(directory);
            static_cast<QDialog *>(files)->accept(); // QFileDialog::accept, which checks the choice
        });
    }
    QString last() const { return seen.isEmpty() ? QString() : seen.last().text; }

    int pending() const { return int(actions.size()); }
    QList<Seen> seen;
    QStringList unexpected; // dialogs that opened with no action queued (closed at once)

private:
    void poll()
    {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget()); menu && menu != handled && !actions.isEmpty()) {
            handled = menu;
            return actions.dequeue()(menu);
        }
        QWidget *dialog = QApplication::activeModalWidget();
        auto *box = qobject_cast<QMessageBox *>(dialog);
        if (!dialog || !dialog->isVisible() || dialog == handled || (!box && !qobject_cast<QFileDialog *>(dialog)))
            return;
        handled = dialog;
        if (box)
            seen.append({box->text(), box->defaultButton() ? box->defaultButton()->text().remove('&') : QString()});
        if (!actions.isEmpty())
            return actions.dequeue()(dialog);
        unexpected.append(box ? box->text() : QStringLiteral("folder dialog"));
        static_cast<QDialog *>(dialog)->done(0);
    }

    QTimer timer;
    QQueue<Action> actions;
    QPointer<QWidget> handled;
};

// The devices "attached now", as the test says; counts the polls.
struct FakeDevices
{
    QMap<QString, RemovableDevice> now;
    int polls = 0;

    MainWindow::DeviceSource source()
    {
        return [this] { return ++polls, now; };
    }
    void attach(const RemovableDevice &device) { now.insert(device.raw_path, device); }
};

// A device record for an image file, as a card of that size would be listed.
inline RemovableDevice image_device(const QString &path, const QString &label = QStringLiteral("CARD"),
                                    const QString &root_path = QString())
{
    const qint64 size = QFileInfo(path).size();
    return {.drive = QFileInfo(path).fileName(), .raw_path = path, .label = label, .root_path = root_path,
            .file_system = QStringLiteral("FAT32"), .bytes_per_sector = 512, .sector_count = size / 512, .size = size};
}

// Refreshes the device page, makes the device with raw_path current and
// presses "Next"; false when it is not listed.
inline bool pick_device(MainWindow &window, const QString &raw_path)
{
    refresh_devices(window);
    auto *list = child<QListWidget>(window, ui::devices);
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->data(Qt::UserRole).toString() == raw_path) {
            list->setCurrentRow(row);
            click(window, ui::next);
            return true;
        }
    }
    return false;
}

// Shows the window, attaches the device to the fake source and starts its scan.
inline void start_scan(MainWindow &window, FakeDevices &fake, const RemovableDevice &device)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    fake.attach(device);
    pick_device(window, device.raw_path);
}

// Starts the scan of device and waits for its final status; true when it is text.
inline bool scan_ends_with(MainWindow &window, FakeDevices &fake, const RemovableDevice &device,
                           const QString &text = QStringLiteral("Scanning finished"))
{
    start_scan(window, fake, device);
    return QTest::qWaitFor([&] { return status_of(window) == text; }, 60000);
}

} // namespace windowtest
