#include "devicepage.h"
#include "ui_devicepage.h"

#include "messages.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QSet>

namespace {

constexpr int device_poll_ms = 999;

// The device's node and where it is mounted, for its line in the device list.
QString device_tooltip(const RemovableDevice &device)
{
    const QString mount = device.root_path.isEmpty() ? DevicePage::tr("Not mounted")
                                                     : DevicePage::tr("Mounted at %1").arg(device.root_path);
    return device.raw_path + QLatin1Char('\n') + mount;
}

} // namespace

DevicePage::DevicePage(DeviceSource source, const RawAccess &access, BusyCheck busy, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::DevicePage)
    , device_source(std::move(source))
    , raw_access(access)
    , busy(std::move(busy))
{
    ui->setupUi(this);
    connect(&poll_timer, &QTimer::timeout, this, &DevicePage::refresh);

    empty_hint = new QLabel(tr("Insert a memory card or attach a camera"), ui->deviceList);
    empty_hint->setObjectName(QStringLiteral("emptyHint"));
    empty_hint->setAlignment(Qt::AlignCenter);
    empty_hint->setEnabled(false); // drawn in the palette's disabled, greyed text
    empty_hint->setAttribute(Qt::WA_TransparentForMouseEvents);
    empty_hint->setGeometry(ui->deviceList->rect());
    show_empty_hint();

    for (QCheckBox *kind : {ui->photosBox, ui->videosBox})
        connect(kind, &QCheckBox::toggled, this, &DevicePage::keep_one_kind);
    // the boxes as wide as their texts, the second right after the first
    for (QCheckBox *kind : {ui->photosBox, ui->videosBox})
        kind->resize(kind->sizeHint().width(), kind->height());
    ui->videosBox->move(ui->photosBox->geometry().right() + 12, ui->photosBox->y());
}

QList<MediaKind> DevicePage::kinds() const
{
    QList<MediaKind> chosen;
    if (ui->photosBox->isChecked())
        chosen << MediaKind::JpegPhoto << MediaKind::HeicPhoto;
    if (ui->videosBox->isChecked())
        chosen << MediaKind::Video;
    return chosen;
}

void DevicePage::keep_one_kind()
{
    const bool both = ui->photosBox->isChecked() && ui->videosBox->isChecked();
    for (QCheckBox *kind : {ui->photosBox, ui->videosBox})
        kind->setEnabled(both || !kind->isChecked());
}

DevicePage::~DevicePage()
{
    delete ui;
}

void DevicePage::set_polling(bool on)
{
    if (on)
        poll_timer.start(device_poll_ms);
    else
        poll_timer.stop();
}

void DevicePage::refresh()
{
    if (!poll_timer.isActive())
        return;
    devices = device_source ? device_source() : QMap<QString, RemovableDevice>();

    // Items that stay keep their place, selection and current mark.
    QSet<QString> shown;
    QList<QListWidgetItem *> gone;
    for (int row = 0; row < ui->deviceList->count(); ++row) {
        QListWidgetItem *item = ui->deviceList->item(row);
        const QString key = item->data(Qt::UserRole).toString();
        const auto device = devices.constFind(key);
        if (device == devices.constEnd()) {
            gone.append(item);
            continue;
        }
        const QString text = device->display_text();
        if (item->text() != text)
            item->setText(text);
        item->setToolTip(device_tooltip(*device));
        shown.insert(key);
    }
    qDeleteAll(gone);

    const QIcon volume_icon(QStringLiteral(":/icons/volume"));
    for (auto device = devices.constBegin(); device != devices.constEnd(); ++device) {
        if (shown.contains(device.key()))
            continue;
        auto *item = new QListWidgetItem(volume_icon, device->display_text());
        item->setData(Qt::UserRole, device->raw_path);
        item->setToolTip(device_tooltip(*device));
        ui->deviceList->addItem(item);
    }
    show_empty_hint();
}

void DevicePage::show_empty_hint()
{
    empty_hint->setVisible(ui->deviceList->count() == 0);
}

bool DevicePage::still_busy()
{
    if (!busy || !busy())
        return false;
    inform(this, tr("The previous scan is still ending. Please wait a moment and press Next again."));
    return true;
}

void DevicePage::on_pushButton_4_clicked()
{
    const QListWidgetItem *item = ui->deviceList->currentItem();
    if (!item) {
        if (devices.isEmpty())
            inform(this, tr("No devices found.\nPlease connect your removable device to computer."));
        else
            inform(this, tr("Please choose device."));
        return;
    }
    if (still_busy())
        return;
    scan_if_readable(devices.value(item->data(Qt::UserRole).toString()));
}

void DevicePage::on_deviceList_itemActivated(QListWidgetItem *)
{
    on_pushButton_4_clicked();
}

// An image of a card is scanned as the card would be: read only, never
// mounted, so every photo in it is listed.
void DevicePage::on_openImageButton_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open image file"), QDir::homePath(),
                                                      tr("Card images (*.img *.dd *.raw *.bin *.dmg *.iso);;"
                                                         "All files (*)"));
    window()->activateWindow();
    if (path.isEmpty() || still_busy())
        return;
    RemovableDevice device;
    volume_platform::Failure failure = volume_platform::Failure::None;
    if (!RemovableDevice::describe(QFileInfo(path).absoluteFilePath(), raw_access, &device, &failure)) {
        const QString why = failure == volume_platform::Failure::Other
            ? tr("Its size could not be read.")
            : volume_platform::failure_text(failure);
        inform(this, tr("The image file could not be read.\n%1").arg(why));
        return;
    }
    device.label = QFileInfo(path).fileName();
    scan_if_readable(device);
}

void DevicePage::scan_if_readable(const RemovableDevice &device)
{
    volume_platform::Failure failure = volume_platform::Failure::None;
    if (device.is_available(raw_access, &failure)) {
        emit scan_requested(device);
        return;
    }
    // A device that is there but may not be read is not "gone": say why.
    if (failure == volume_platform::Failure::PermissionDenied
        || failure == volume_platform::Failure::AuthorizationRefused)
        inform(this, tr("The device could not be read.\n%1").arg(volume_platform::failure_text(failure)));
    else
        inform(this, tr("Selected device no longer available. Please select again."));
}
