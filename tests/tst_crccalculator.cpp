#include "crccalculator.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

namespace {

uint zlib_crc(const QByteArray &bytes)
{
    return uint(crc32_z(0, reinterpret_cast<const Bytef *>(bytes.constData()), size_t(bytes.size())));
}

} // namespace

class TestCrcCalculator : public QObject
{
    Q_OBJECT

private slots:
    void streams_in_pieces_under_interleaved_keys();
    void whole_files();
};

void TestCrcCalculator::streams_in_pieces_under_interleaved_keys()
{
    CrcCalculator crc;
    crc.begin(7);
    crc.update(7, "123456789", 9);
    QCOMPARE(crc.finish(7), 0xCBF43926u); // the CRC-32/ISO-HDLC check value

    const QByteArray photo = testsupport::qt_jpeg(testsupport::make_picture(320, 200, 3));
    crc.begin(1);
    crc.update(1, "stale", 5);
    crc.begin(1); // begins afresh
    crc.begin(-5);
    for (qsizetype at = 0; at < photo.size(); at += 1000) {
        const qsizetype n = qMin<qsizetype>(1000, photo.size() - at);
        crc.update(1, photo.constData() + at, n);
        crc.update(-5, photo.constData() + at, n);
    }
    QCOMPARE(crc.finish(1), zlib_crc(photo));
    QCOMPARE(crc.finish(-5), zlib_crc(photo));
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
    QCOMPARE(crc.crc_of_file(path, &ok, [&seen](const char *data, qint64 n) { seen.append(data, n); }),
             zlib_crc(photo));
    QVERIFY(ok);
    QCOMPARE(seen, photo); // the observer sees every byte once, in order
    QCOMPARE(crc.crc_of_file(dir.filePath(QStringLiteral("missing.jpg")), &ok), 0u);
}

QTEST_GUILESS_MAIN(TestCrcCalculator)
#include "tst_crccalculator.moc"
