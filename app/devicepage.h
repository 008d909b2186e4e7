#pragma once

#include "mediakind.h"
#include "rawaccess.h"
#include "removabledevice.h"

#include <QMap>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>

class QLabel;
class QListWidgetItem;

namespace Ui {
class DevicePage;
}

// The removable volumes attached now, one a line, polled about once a second
// while the page shows, and what to look for on them (photos, videos or
// both). "Next" (Enter, a double click) on one, or an image file of a card
// opened instead, asks for its scan once it can be read.
class DevicePage : public QWidget
{
    Q_OBJECT

public:
    // Where the page gets the attached volumes from on every poll.
    using DeviceSource = std::function<QMap<QString, RemovableDevice>()>;
    // Whether a scan is still ending: no other may start meanwhile.
    using BusyCheck = std::function<bool()>;

    DevicePage(DeviceSource source, const RawAccess &access, BusyCheck busy, QWidget *parent = nullptr);
    ~DevicePage() override;

    // Polls the devices while on: the page shows.
    void set_polling(bool on);
    // The kinds of file ticked to look for: JPEG and HEIC photos, videos.
    QList<MediaKind> kinds() const;

public slots:
    // Lists the devices attached now; nothing while the page does not poll.
    void refresh();

signals:
    // device was chosen and can be read.
    void scan_requested(const RemovableDevice &device);

private slots:
    void on_pushButton_4_clicked();
    void on_deviceList_itemActivated(QListWidgetItem *item);
    void on_openImageButton_clicked();

private:
    // Asks for the scan of device when it can be read; otherwise says why.
    void scan_if_readable(const RemovableDevice &device);
    // Says so, and true, while the last scan is still ending.
    bool still_busy();
    // The hint over the device list while it is empty.
    void show_empty_hint();
    // At least one kind stays ticked: the only one ticked cannot be unticked.
    void keep_one_kind();

    Ui::DevicePage *ui = nullptr;
    DeviceSource device_source;
    RawAccess raw_access;
    BusyCheck busy;
    QMap<QString, RemovableDevice> devices;
    QTimer poll_timer;
    QLabel *empty_hint = nullptr;
};
