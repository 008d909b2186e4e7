#include "removabledevice.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestRemovableDevice : public QObject
{
    Q_OBJECT

private slots:
    void display_text_data();
    void display_text();
    void probes();
    void copy_to_file_ranges();
    void copy_to_file_never_follows_links();
    void copy_to_file_on_a_full_disk();

private:
    // A volume image whose byte i is i * 7 mod 251, so any range is checkable.
    QString make_volume(qint64 size);
    static QByteArray expected_range(qint64 offset, qint64 length);
    QTemporaryDir dir;
};

void TestRemovableDevice::display_text_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("file_system");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("text");
    QTest::newRow("labelled") << "PHOTOS" << "sdb1" << "vfat" << qint64(7948206080) << "PHOTOS (sdb1) - 7580 MB\nvfat Volume";
    QTest::newRow("unknown") << "" << "mmcblk0" << "" << qint64(2002780160) << "Removable Media (mmcblk0) - 1910 MB\nNot formatted";
    QTest::newRow("just under a MB") << "" << "" << "exfat" << qint64(1048575) << "Removable Media - 0 MB\nexfat Volume";
    QTest::newRow("one MB") << "X" << "" << "" << qint64(1048576) << "X - 1 MB\nNot formatted";
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
    QCOMPARE(RemovableDevice().display_text(), QStringLiteral("Removable Media - 0 MB\nNot formatted"));
}

void TestRemovableDevice::probes()
{
    RemovableDevice device;
    QVERIFY(!device.is_available());
    QVERIFY(!device.has_file_system());
    device.root_path = dir.path();
    QVERIFY(device.has_file_system());
    device.root_path = dir.filePath(QStringLiteral("not-there"));
    QVERIFY(!device.has_file_system());

    device.raw_path = make_volume(4096);
    QVERIFY(device.is_available());
    // A copy holds the same handle; closing one closes the volume for both.
    QVERIFY(device.open());
    const RemovableDevice copy = device;
    QCOMPARE(copy.handle, device.handle);
    QVERIFY(device.close());
    QCOMPARE(device.handle, volume_platform::invalid_handle);
    // Once the file is replaced by another, the record no longer names it.
    device.identity = volume_platform::identity_of(device.raw_path);
    QVERIFY(device.is_available());
    const QString other = make_volume(4096);
    QVERIFY(QFile::rename(device.raw_path, device.raw_path + QStringLiteral(".old")));
    QVERIFY(!device.is_available());
    QVERIFY(QFile::rename(other, device.raw_path));
    QVERIFY(!device.is_available());
}

void TestRemovableDevice::copy_to_file_ranges()
{
    constexpr qint64 size = 4 * 1024 * 1024 + 100;
    RemovableDevice device;
    device.raw_path = make_volume(size);
    QVERIFY(device.open());
    const QDir out(dir.filePath(QStringLiteral("out")));
    QVERIFY(out.mkpath(QStringLiteral(".")));

    // Nothing to copy: no file appears, an existing one is left alone.
    QVERIFY(device.copy_to_file(out.filePath(QStringLiteral("zero.jpg")), 512, 0));
    QVERIFY(!QFile::exists(out.filePath(QStringLiteral("zero.jpg"))));
    QVERIFY(testsupport::write_file(out.filePath(QStringLiteral("kept.jpg")), "keep me"));
    QVERIFY(device.copy_to_file(out.filePath(QStringLiteral("kept.jpg")), 0, 0));
    QCOMPARE(testsupport::read_file(out.filePath(QStringLiteral("kept.jpg"))), QByteArray("keep me"));

    // Ranges in any order of offsets, across the 1 MiB pieces.
    for (const auto &[offset, length] : {QPair<qint64, qint64>{2 * 1024 * 1024 + 512, 1024 * 1024 + 1},
                                         {0, 1024 * 1024 + 1}, {4096, 1}, {777, 1024 * 1024}}) {
        const QString path = out.filePath(QStringLiteral("range.jpg"));
        QVERIFY(device.copy_to_file(path, offset, length));
        QCOMPARE(testsupport::read_file(path), expected_range(offset, length)); // overwritten and cut to size
    }

    // Past the end of the volume: the bytes up to the end, and a false result.
    const QString tail = out.filePath(QStringLiteral("tail.jpg"));
    QVERIFY(!device.copy_to_file(tail, size - 1000, 5000));
    QCOMPARE(testsupport::read_file(tail), expected_range(size - 1000, 1000));

    // A negative length writes nothing and says so.
    QVERIFY(!device.copy_to_file(out.filePath(QStringLiteral("negative.jpg")), 0, -5));
    QVERIFY(device.close());

    // Without an open volume nothing is written.
    QVERIFY(!device.copy_to_file(out.filePath(QStringLiteral("closed.jpg")), 0, 100));
    QVERIFY(!QFile::exists(out.filePath(QStringLiteral("closed.jpg"))));
}

void TestRemovableDevice::copy_to_file_never_follows_links()
{
    RemovableDevice device;
    device.raw_path = make_volume(65536);
    QVERIFY(device.open());
    const QString victim = dir.filePath(QStringLiteral("victim.txt"));
    QVERIFY(testsupport::write_file(victim, "precious"));
    const QString link = dir.filePath(QStringLiteral("IMAGE_0001.JPG"));
    QVERIFY(QFile::link(victim, link));
    QVERIFY(device.copy_to_file(link, 1024, 2048));
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(testsupport::read_file(link), expected_range(1024, 2048));
    QCOMPARE(testsupport::read_file(victim), QByteArray("precious"));
    device.close();
}

void TestRemovableDevice::copy_to_file_on_a_full_disk()
{
    QTemporaryDir mount_point;
    const int mounted = QProcess::execute(QStringLiteral("mount"),
                                          {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                           QStringLiteral("size=256k"), QStringLiteral("tmpfs"), mount_point.path()});
    if (mounted != 0)
        QSKIP("cannot mount a small tmpfs here (needs root)");
    const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {mount_point.path()}); });

    RemovableDevice device;
    device.raw_path = make_volume(2 * 1024 * 1024);
    QVERIFY(device.open());
    const QDir out(mount_point.path());
    QVERIFY(device.copy_to_file(out.filePath(QStringLiteral("IMAGE_0001.JPG")), 0, 100 * 1024));
    // Too big for what is left: it fails and leaves nothing behind...
    QVERIFY(!device.copy_to_file(out.filePath(QStringLiteral("IMAGE_0002.JPG")), 0, 1024 * 1024));
    QCOMPARE(out.entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("IMAGE_0001.JPG")});
    // ...and the next one that fits is still written.
    QVERIFY(device.copy_to_file(out.filePath(QStringLiteral("IMAGE_0003.JPG")), 4096, 50 * 1024));
    QCOMPARE(testsupport::read_file(out.filePath(QStringLiteral("IMAGE_0003.JPG"))), expected_range(4096, 50 * 1024));
    device.close();
}

QString TestRemovableDevice::make_volume(qint64 size)
{
    static int serial = 0;
    const QString path = dir.filePath(QStringLiteral("volume-%1.img").arg(++serial));
    testsupport::write_file(path, expected_range(0, size));
    return path;
}

QByteArray TestRemovableDevice::expected_range(qint64 offset, qint64 length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (qint64 i = 0; i < length; ++i)
        bytes[i] = char(((offset + i) * 7) % 251);
    return bytes;
}

QTEST_GUILESS_MAIN(TestRemovableDevice)
#include "tst_removabledevice.moc"
