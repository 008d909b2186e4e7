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

// Saves a picture of widget as name.png into the folder that
// VELVORA_SCREENSHOTS names, for a person to look at; nothing when unset.
inline void grab_for_review(QWidget &widget, const QString &name)
{
    const QString folder = qEnvironmentVariable("VELVORA_SCREENSHOTS");
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return;
    QCoreApplication::processEvents();
    if (!widget.grab().save(QDir(folder).filePath(name + QStringLiteral(".png"))))
        qWarning("could not save the screenshot %s", qPrintable(name));
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
    // Presses the message box button whose text (without its & marker) is
    // text; first saves a picture of the box as grab_as (see grab_for_review).
    void press(const QString &text, const QString &grab_as = QString())
    {
        then([text, grab_as](QWidget *dialog) {
            if (!grab_as.isEmpty())
                grab_for_review(*dialog, grab_as);
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
    // Types folder into a folder dialog's name field, as a user would (no
    // trailing slash needed), and presses "Choose" once it is enabled.
    void type_directory(const QString &folder)
    {
        then([folder](QWidget *dialog) {
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
            QPushButton *choose = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
            if (!name || !choose)
                return static_cast<QDialog *>(dialog)->reject();
            name->setFocus(); // typed there: the dialog's list then leaves the text alone
            name->setText(folder);
            if (!QTest::qWaitFor([&] { return choose->isEnabled(); }, 2000)) {
                qWarning("\"%s\" stays grey for %s", qPrintable(choose->text()), qPrintable(folder));
                return static_cast<QDialog *>(dialog)->reject();
            }
            choose->click();
        });
    }
    QString last() const { return seen.isEmpty() ? QString() : seen.last().text; }

    int pending() const { return int(actions.size()); }
    QList<Seen> seen;
    QStringList folder_titles; // of the folder dialogs, in the order they opened
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
        else
            folder_titles.append(dialog->windowTitle());
        if (!actions.isEmpty())
            return actions.dequeue()(dialog);
        unexpected.append(box ? box->text() : QStringLiteral("folder dialog"));
        static_cast<QDialog *>(dialog)->done(0);
    }

    QTimer timer;
    QQueue<Action> actions;
    QPointer<QWidget> handled;
};

// Hovers the results entry in row until its tooltip shows; the tooltip's
// window, or null when none showed.
inline QWidget *hover_tooltip(QAbstractItemView *list, int row)
{
    const QPoint at = entry_rect(list, row).center();
    QHelpEvent hover(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(list->viewport(), &hover);
    QWidget *tip = nullptr;
    static_cast<void>(QTest::qWaitFor([&] {
        for (QWidget *widget : QApplication::topLevelWidgets())
            tip = widget->inherits("QTipLabel") && widget->isVisible() ? widget : tip;
        return tip != nullptr;
    }, 2000));
    return tip;
}

// Pixels that differ clearly between two pictures of the same place, as a
// focus frame drawn in a colour of its own does; a faint change, which a
// user does not see, is not counted.
inline int clearly_changed_pixels(const QImage &one, const QImage &other)
{
    if (one.size() != other.size())
        return one.width() * one.height();
    const QImage a = one.convertToFormat(QImage::Format_RGB32), b = other.convertToFormat(QImage::Format_RGB32);
    int changed = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            changed += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q)) >= 120;
        }
    }
    return changed;
}

// Walks the window's controls with Tab from the one that has the focus,
// each once, and names those whose look does not clearly change when they
// take the focus (no focus frame to be seen); visited gets every control reached.
inline QStringList controls_without_visible_focus(QWidget &window, QStringList *visited)
{
    const auto name_of = [](const QWidget *widget) {
        const auto *button = qobject_cast<const QAbstractButton *>(widget);
        return widget->objectName() + (button ? QStringLiteral(" \"%1\"").arg(button->text()) : QString());
    };
    const auto look_of = [&window](QWidget *widget) {
        const QRect area(widget->mapTo(&window, QPoint(0, 0)), widget->size());
        QCoreApplication::processEvents();
        return window.grab(area.adjusted(-3, -3, 3, 3)).toImage();
    };
    QStringList unseen;
    QSet<QWidget *> reached;
    for (QWidget *widget = QApplication::focusWidget(); widget && !reached.contains(widget);
         widget = QApplication::focusWidget()) {
        reached.insert(widget);
        visited->append(name_of(widget));
        const QImage focused = look_of(widget);
        widget->clearFocus();
        const QImage unfocused = look_of(widget);
        widget->setFocus(Qt::TabFocusReason);
        if (clearly_changed_pixels(focused, unfocused) < qMin(widget->width(), widget->height()))
            unseen.append(name_of(widget));
        grab_for_review(window, QStringLiteral("focus-%1").arg(visited->size(), 2, 10, QLatin1Char('0')));
        QTest::keyClick(widget, Qt::Key_Tab);
    }
    return unseen;
}

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

// The window over a device source the test controls, with its dialogs
// answered: bind its parts, auto &[fake, window, answers] = driven.
struct DrivenWindow
{
    FakeDevices fake;
    MainWindow window{nullptr, fake.source()};
    ModalAnswerer answers;
};

// "Restore..." into folder through the folder dialog, pressing OK on the
// message that follows when told: the last page's account of what was
// written, or empty when that page did not follow.
inline QString restore_into(MainWindow &window, ModalAnswerer &answers, const QString &folder, bool told = false)
{
    answers.choose_directory(folder);
    told ? answers.press_ok() : void();
    click(window, ui::restore);
    return page_of(window) == final_page ? child<QLabel>(window, "summaryLabel")->text() : QString();
}

// Starts the scan of device and waits for its final status; true when it is text.
inline bool scan_ends_with(MainWindow &window, FakeDevices &fake, const RemovableDevice &device,
                           const QString &text = QStringLiteral("Scanning finished"))
{
    start_scan(window, fake, device);
    return QTest::qWaitFor([&] { return status_of(window) == text; }, 60000);
}

} // namespace windowtest
