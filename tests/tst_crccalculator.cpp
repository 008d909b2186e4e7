#include "crccalculator.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

class TestCrcCalculator : public QObject
{
    Q_OBJECT

private slots:
    void streams_give_the_standard_crc32();
    void register_protocol();
    void whole_files();
};

void TestCrcCalculator::streams_give_the_standard_crc32()
{
    CrcCalculator crc;
    const QByteArray check("123456789");
    crc.begin(7);
    crc.update(7, check.constData(), check.size());
    QCOMPARE(crc.finish(7), 0xCBF43926u); // the CRC-32/ISO-HDLC check value

    // A stream fed in pieces under two interleaved keys equals the one-shot CRC.
    const QByteArray photo = testsupport::qt_jpeg(testsupport::make_picture(320, 200, 3));
    crc.begin(1);
    crc.begin(-5);
    for (qsizetype at = 0; at < photo.size(); at += 1000) {
        const qsizetype n = qMin<qsizetype>(1000, photo.size() - at);
        crc.update(1, photo.constData() + at, n);
        crc.update(-5, photo.constData() + at, n);
    }
    const uint expected = uint(crc32_z(0, reinterpret_cast<const Bytef *>(photo.constData()), size_t(photo.size())));
    QCOMPARE(crc.finish(1), expected);
    QCOMPARE(crc.finish(-5), expected);
}

void TestCrcCalculator::register_protocol()
{
    CrcCalculator crc;
    // begin directly followed by finish: no bytes, so the register marks "no CRC"
    crc.begin(3);
    QCOMPARE(crc.finish(3), 0u); // the CRC of no bytes is 0
    QCOMPARE(crc.finish(3), 0u);
    QCOMPARE(crc.finish(99), 0u); // never begun
    crc.update(98, "abc", 3);     // updates to a key never begun change nothing
    QCOMPARE(crc.finish(98), 0u);

    // begin again overwrites a running register
    crc.begin(4);
    crc.update(4, "garbage", 7);
    crc.begin(4);
    crc.update(4, "123456789", 9);
    QCOMPARE(crc.finish(4), 0xCBF43926u);
}

void TestCrcCalculator::whole_files()
{
    QTemporaryDir dir;
    const QByteArray photo = testsupport::qt_jpeg(testsupport::make_picture(800, 600, 5), 95);
    QVERIFY(photo.size() > 3 * CrcCalculator::file_piece);
    const QString path = dir.filePath(QStringLiteral("PHOTO.JPG"));
    QVERIFY(testsupport::write_file(path, photo));

    CrcCalculator crc;
    QByteArray seen;
    bool ok = false;
    const uint whole = crc.crc_of_file(path, &ok, [&seen](const char *data, qint64 n) { seen.append(data, n); });
    QVERIFY(ok);
    QCOMPARE(whole, uint(crc32_z(0, reinterpret_cast<const Bytef *>(photo.constData()), size_t(photo.size()))));
    QCOMPARE(seen, photo); // the observer sees every byte once, in order

    const QString empty = dir.filePath(QStringLiteral("empty.jpg"));
    QVERIFY(testsupport::write_file(empty, {}));
    QCOMPARE(crc.crc_of_file(empty, &ok), 0u);
    QVERIFY(ok);
    QCOMPARE(crc.crc_of_file(dir.filePath(QStringLiteral("missing.jpg")), &ok), 0u);
}

QTEST_GUILESS_MAIN(TestCrcCalculator)
#include "tst_crccalculator.moc"
