#pragma once

// Shared by the window tests: answering modal dialogs from a timer, a
// device source the test controls, and devices made from image files.

#include "mainwindow.h"
#include "removabledevice.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QQueue>
#include <QStackedWidget>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace windowtest {

// The named child of the window; aborts the test program when it is missing,
// since every later step would only fail for the same reason.
template<class T>
T *child(const QObject &window, const char *name)
{
    T *found = window.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("the window has no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

inline int page_of(const MainWindow &window)
{
    return child<QStackedWidget>(window, "stackedWidget")->currentIndex();
}

// Answers the message boxes and folder dialogs that open, one action each,
// in the order they were queued. Records the title and text of every
// message box it answers.
class ModalAnswerer : public QObject
{
public:
    using Action = std::function<void(QWidget *)>;
    struct Seen
    {
        QString title;
        QString text;
    };

    ModalAnswerer()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start();
    }

    void then(Action action) { actions.enqueue(std::move(action)); }
    // Presses the message box button whose text (without its & marker) is text.
    void press(const QString &text)
    {
        then([text](QWidget *dialog) {
            auto *box = qobject_cast<QMessageBox *>(dialog);
            if (!box)
                return;
            for (QAbstractButton *button : box->buttons()) {
                if (button->text().remove(QLatin1Char('&')) == text) {
                    button->click();
                    return;
                }
            }
            qWarning("no button %s in the message box; closing it", qPrintable(text));
            box->done(0);
        });
    }
    void press_ok() { press(QStringLiteral("OK")); }
    // Chooses directory in a folder dialog (an empty directory cancels it).
    void choose_directory(const QString &directory)
    {
        then([directory](QWidget *dialog) {
            auto *files = qobject_cast<QFileDialog *>(dialog);
            if (!files)
                return;
            if (directory.isEmpty()) {
                files->reject();
                return;
            }
            // Open the folder itself and accept with nothing selected: the
            // dialog then answers its current folder. Selecting it from the
            // parent races the dialog's file system model, which loads in the
            // background, and can answer the parent instead.
            files->setDirectory(directory);
            static_cast<QDialog *>(files)->accept(); // QFileDialog::accept, which checks the choice
        });
    }

    int pending() const { return int(actions.size()); }
    QList<Seen> seen;
    // Dialogs that opened with no action queued for them (closed at once).
    QStringList unexpected;

private:
    void poll()
    {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog || !dialog->isVisible() || dialog == handled)
            return;
        auto *box = qobject_cast<QMessageBox *>(dialog);
        const bool file_dialog = qobject_cast<QFileDialog *>(dialog) != nullptr;
        if (!box && !file_dialog)
            return; // the recovery's progress dialog, which needs no answer
        handled = dialog;
        if (box)
            seen.append({box->windowTitle(), box->text()});
        if (actions.isEmpty()) {
            unexpected.append(box ? box->text() : QStringLiteral("folder dialog"));
            if (box)
                box->done(0);
            else
                static_cast<QDialog *>(dialog)->reject();
            return;
        }
        const Action action = actions.dequeue();
        action(dialog);
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
        return [this] {
            ++polls;
            return now;
        };
    }
    void attach(const RemovableDevice &device) { now.insert(device.raw_path, device); }
};

// A device record for an image file, as a card of that size would be listed.
inline RemovableDevice image_device(const QString &path, const QString &label = QStringLiteral("CARD"),
                                    const QString &root_path = QString())
{
    RemovableDevice device;
    device.drive = QFileInfo(path).fileName();
    device.raw_path = path;
    device.label = label;
    device.root_path = root_path;
    device.file_system = QStringLiteral("FAT32");
    device.bytes_per_sector = 512;
    device.size = QFileInfo(path).size();
    device.sector_count = device.size / 512;
    return device;
}

// A file of size bytes that takes no disk space: all zeros, slow enough to
// read that a scan of it can be stopped half-way.
inline bool make_sparse_file(const QString &path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

// Makes the device current on page 1 and presses "Next".
inline void start_scan(MainWindow &window, FakeDevices &fake, const RemovableDevice &device)
{
    fake.attach(device);
    QMetaObject::invokeMethod(&window, "on_device_changed");
    auto *list = child<QListWidget>(window, "deviceList");
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->data(Qt::UserRole).toString() == device.raw_path)
            list->setCurrentRow(row);
    }
    child<QPushButton>(window, "pushButton_4")->click();
}

} // namespace windowtest
