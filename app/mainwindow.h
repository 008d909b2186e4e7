#pragma once

#include "deviceenumeration.h"
#include "devicepage.h"
#include "photorecovery.h"
#include "rawaccess.h"
#include "volumescan.h"

#include <QMainWindow>

class QCloseEvent;
class FinishPage;
class ScanPage;

namespace Ui {
class MainWindow;
}

// The wizard: a shell that moves between its pages, the device list, the
// scan with its results, and the final page after a recovery, and runs the
// recovery between the last two.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    using DeviceSource = DevicePage::DeviceSource;
    using RestoreCounts = PhotoRecovery::Counts;

    // access opens the volumes for the availability check, the scan and the recovery.
    explicit MainWindow(QWidget *parent = nullptr, DeviceSource source = enumerate_removable_devices,
                        const RawAccess &access = RawAccess());
    ~MainWindow() override;

    // What the last "Restore..." did.
    RestoreCounts restore_counts() const { return last_restore; }

    // How the scan opens the volume, in place of the RawAccess given; tests
    // put a failing card in here.
    void set_volume_opener(VolumeScan::VolumeOpener opener);

protected:
    // Asks first, except on the final page; stops a running scan.
    void closeEvent(QCloseEvent *event) override;

private:
    void show_page(QWidget *page);
    void scan(const RemovableDevice &device);
    void restore();

    Ui::MainWindow *ui = nullptr;
    RawAccess raw_access;
    DevicePage *device_page = nullptr;
    ScanPage *scan_page = nullptr;
    FinishPage *finish_page = nullptr;
    RestoreCounts last_restore;
    bool closing = false;
};
