#include "removabledevice.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Byte i of every test volume is i * 7 mod 251, so any range is checkable.
QByteArray volume_bytes(qint64 offset, qint64 length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (qint64 i = 0; i < length; ++i)
        bytes[i] = char(((offset + i) * 7) % 251);
    return bytes;
}

} // namespace

class TestRemovableDevice : public QObject
{
    Q_OBJECT

private slots:
    void display_text_data();
    void display_text();
    void identity_follows_the_file();
    void copy_to_file_data();
    void copy_to_file();
    void copy_to_file_on_a_full_disk();

private:
    RemovableDevice open_volume(qint64 size);
    QTemporaryDir dir;
};

RemovableDevice TestRemovableDevice::open_volume(qint64 size)
{
    static int serial = 0;
    RemovableDevice device;
    device.raw_path = dir.filePath(QStringLiteral("volume-%1.img").arg(++serial));
    testsupport::write_file(device.raw_path, volume_bytes(0, size));
    [&] { QVERIFY(device.open()); }();
    return device;
}

void TestRemovableDevice::display_text_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("file_system");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing known") << "" << "" << "" << qint64(0) << "Removable Media - 0 MB\nNot formatted";
    QTest::newRow("labelled") << "PHOTOS" << "sdb1" << "vfat" << qint64(7948206080) << "PHOTOS (sdb1) - 7580 MB\nvfat Volume";
    QTest::newRow("unknown") << "" << "mmcblk0" << "" << qint64(2002780160) << "Removable Media (mmcblk0) - 1910 MB\nNot formatted";
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
    QVERIFY(!device.is_available());
    QVERIFY(!device.has_file_system());
    device.root_path = dir.path();
    QVERIFY(device.has_file_system());
    device.root_path = dir.filePath(QStringLiteral("not-there"));
    QVERIFY(!device.has_file_system());

    device = open_volume(4096);
    // A copy holds the same handle; closing one closes the volume for both.
    const RemovableDevice copy = device;
    QCOMPARE(copy.handle, device.handle);
    QVERIFY(device.close());
    QCOMPARE(device.handle, volume_platform::invalid_handle);
    // Another file moved into its place is not the volume that was chosen.
    device.identity = volume_platform::identity_of(device.raw_path);
    QVERIFY(device.is_available());
    const QString other = dir.filePath(QStringLiteral("other.img"));
    QVERIFY(testsupport::write_file(other, volume_bytes(0, 4096)));
    QVERIFY(QFile::rename(device.raw_path, device.raw_path + QStringLiteral(".old")));
    QVERIFY(!device.is_available());
    QVERIFY(QFile::rename(other, device.raw_path));
    QVERIFY(!device.is_available());
}

void TestRemovableDevice::copy_to_file_data()
{
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("written"); // -1: no file
    constexpr qint64 piece = 1024 * 1024;
    QTest::newRow("across pieces") << 2 * piece + 512 << piece + 1 << true << piece + 1;
    QTest::newRow("from the start") << qint64(0) << piece + 1 << true << piece + 1;
    QTest::newRow("one byte") << qint64(4096) << qint64(1) << true << qint64(1);
    QTest::newRow("odd offset") << qint64(777) << piece << true << piece;
    QTest::newRow("past the end: the bytes up to it") << 4 * piece - 900 << qint64(5000) << false << qint64(1000);
    QTest::newRow("nothing to copy") << qint64(512) << qint64(0) << true << qint64(-1);
    QTest::newRow("negative length") << qint64(0) << qint64(-5) << false << qint64(-1);
}

// Into a fresh name, over a longer file, and over a symbolic link, which is
// replaced and never followed.
void TestRemovableDevice::copy_to_file()
{
    QFETCH(qint64, offset);
    QFETCH(qint64, length);
    QFETCH(bool, ok);
    QFETCH(qint64, written);
    RemovableDevice device = open_volume(4 * 1024 * 1024 + 100);
    const QDir out(dir.filePath(QStringLiteral("out")));
    QVERIFY(out.mkpath(QStringLiteral(".")));
    const QString fresh = out.filePath(QStringLiteral("fresh.jpg")), longer = out.filePath(QStringLiteral("longer.jpg"));
    const QString link = out.filePath(QStringLiteral("link.jpg")), victim = dir.filePath(QStringLiteral("victim.txt"));
    QVERIFY(testsupport::write_file(longer, QByteArray(3 * 1024 * 1024, 'x')));
    QVERIFY(testsupport::write_file(victim, "precious"));
    QVERIFY(QFile::link(victim, link));
    for (const QString &path : {fresh, longer, link}) {
        QCOMPARE(device.copy_to_file(path, offset, length), ok);
        if (written >= 0) {
            QVERIFY(!QFileInfo(path).isSymLink());
            QCOMPARE(testsupport::read_file(path), volume_bytes(offset, written));
        }
    }
    if (written < 0 && ok) { // nothing to copy: no file appears, an existing one is left alone
        QVERIFY(!QFile::exists(fresh));
        QCOMPARE(QFileInfo(longer).size(), 3 * 1024 * 1024);
    }
    QCOMPARE(testsupport::read_file(victim), QByteArray("precious"));
    QVERIFY(device.close());
    QVERIFY(!device.copy_to_file(fresh + QStringLiteral(".closed"), 0, 100)); // without an open volume
    QVERIFY(!QFile::exists(fresh + QStringLiteral(".closed")));
    QVERIFY(QDir(out).removeRecursively());
    QVERIFY(QFile::remove(victim));
}

void TestRemovableDevice::copy_to_file_on_a_full_disk()
{
    QTemporaryDir small;
    const testsupport::TmpfsMount mount(small.path(), QStringLiteral("256k"));
    if (!mount.mounted())
        QSKIP("cannot mount a small tmpfs here (needs root)");
    RemovableDevice device = open_volume(2 * 1024 * 1024);
    const QDir out(small.path());
    QVERIFY(device.copy_to_file(out.filePath(QStringLiteral("IMAGE_0001.JPG")), 0, 100 * 1024));
    // Too big for what is left: it fails and leaves nothing behind...
    QVERIFY(!device.copy_to_file(out.filePath(QStringLiteral("IMAGE_0002.JPG")), 0, 1024 * 1024));
    QCOMPARE(out.entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("IMAGE_0001.JPG")});
    // ...and the next one that fits is still written.
    QVERIFY(device.copy_to_file(out.filePath(QStringLiteral("IMAGE_0003.JPG")), 4096, 50 * 1024));
    QCOMPARE(testsupport::read_file(out.filePath(QStringLiteral("IMAGE_0003.JPG"))), volume_bytes(4096, 50 * 1024));
    device.close();
}

QTEST_GUILESS_MAIN(TestRemovableDevice)
#include "tst_removabledevice.moc"
