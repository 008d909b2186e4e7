#include "removabledevice.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestRemovableDevice : public QObject
{
    Q_OBJECT

private slots:
    void display_text_data();
    void display_text();
    void identity_follows_the_file();

private:
    QTemporaryDir dir;
};

void TestRemovableDevice::display_text_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("file_system");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing known") << "" << "" << "" << qint64(0) << "Removable Media - 0 MB\nNot formatted";
    // labelled and unlabelled volumes of every size in between: the window's device list
    QTest::newRow("just under a MB") << "" << "" << "exfat" << qint64(1048575) << "Removable Media - 0 MB\nexfat Volume";
    QTest::newRow("a TiB card") << "BIG" << "sdc" << "exfat" << (qint64(1) << 40) << "BIG (sdc) - 1048576 MB\nexfat Volume";
}

void TestRemovableDevice::display_text()
{
    QFETCH(QString, label);
    QFETCH(QString, drive);
    QFETCH(QString, file_system);
    QFETCH(qint64, size);
    QFETCH(QString, text);
    RemovableDevice device;
    device.label = label;
    device.drive = drive;
    device.file_system = file_system;
    device.size = size;
    QCOMPARE(device.display_text(), text);
}

void TestRemovableDevice::identity_follows_the_file()
{
    RemovableDevice device;
    QVERIFY(!device.is_available() && !device.has_file_system());
    device.root_path = dir.path();
    QVERIFY(device.has_file_system());
    device.root_path = dir.filePath("not-there");
    QVERIFY(!device.has_file_system());

    device.raw_path = dir.filePath("card.img");
    QVERIFY(testsupport::write_file(device.raw_path, QByteArray(4096, 'a')));
    QVERIFY(device.open());
    const RemovableDevice copy = device; // a copy holds the same handle; closing one closes it for both
    QCOMPARE(copy.handle, device.handle);
    QVERIFY(device.close());
    QCOMPARE(device.handle, volume_platform::invalid_handle);
    // another file moved into its place is not the volume that was chosen
    device.identity = volume_platform::identity_of(device.raw_path);
    QVERIFY(device.is_available());
    QVERIFY(QFile::rename(device.raw_path, device.raw_path + ".old"));
    QVERIFY(!device.is_available());
    QVERIFY(testsupport::write_file(device.raw_path, QByteArray(4096, 'a')));
    QVERIFY(!device.is_available());
}

QTEST_GUILESS_MAIN(TestRemovableDevice)
#include "tst_removabledevice.moc"
