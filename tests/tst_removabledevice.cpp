#include "removabledevice.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Ranges, links and full disks of copy_to_file are checked end to end by the
// recovery tests of velvora-scan and of the window; here its edges.
class TestRemovableDevice : public QObject
{
    Q_OBJECT

private slots:
    void display_text_data();
    void display_text();
    void identity_follows_the_file();
    void copy_to_file_edges();

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

void TestRemovableDevice::copy_to_file_edges()
{
    RemovableDevice device;
    device.raw_path = dir.filePath("edges.img");
    QByteArray volume(3000, Qt::Uninitialized);
    for (int i = 0; i < volume.size(); ++i)
        volume[i] = char(i * 7 % 251);
    QVERIFY(testsupport::write_file(device.raw_path, volume));
    const QString out = dir.filePath("out.jpg");
    QVERIFY(!device.copy_to_file(out, 0, 100)); // not open: nothing written
    QVERIFY(!QFile::exists(out));
    QVERIFY(device.open());
    QVERIFY(device.copy_to_file(out, 512, 0)); // nothing to copy: no file appears
    QVERIFY(!QFile::exists(out));
    QVERIFY(!device.copy_to_file(out, 2000, 5000)); // past the end: the bytes up to it, and false
    QCOMPARE(testsupport::read_file(out), volume.mid(2000));
    QVERIFY(device.copy_to_file(out, 0, 0)); // an existing file is left alone
    QCOMPARE(testsupport::read_file(out), volume.mid(2000));
    QVERIFY(!device.copy_to_file(out, 0, -5));
    QVERIFY(device.close());
}

QTEST_GUILESS_MAIN(TestRemovableDevice)
#include "tst_removabledevice.moc"
