// Names taken from a card made safe for a file and for the screen, and files
// made only inside the folder opened for them, holding every byte given.

#include "foundimage.h"
#include "photowriter.h"
#include "safename.h"
#include "testsupport.h"

#include <QtTest>

#include <zlib.h>

using namespace testsupport;

namespace {

// Nothing a terminal, a file manager or another file system would take for
// more than a character of a name.
bool plain(const QString &name)
{
    const QList<uint> codes = name.toUcs4(); // half a surrogate pair becomes U+FFFD
    return QString::fromUcs4(reinterpret_cast<const char32_t *>(codes.constData()), codes.size()) == name
        && std::none_of(codes.cbegin(), codes.cend(), [](uint code) {
               return QChar::category(char32_t(code)) == QChar::Other_Control
                   || QChar::category(char32_t(code)) == QChar::Other_Format || code == u'/' || code == u'\\';
           });
}

FoundImage found(const QByteArray &photo)
{
    return FoundImage{0, photo.size(), quint32(crc32(0, reinterpret_cast<const Bytef *>(photo.constData()), uInt(photo.size()))), {}, false, {}};
}

} // namespace

class TestNames : public QObject
{
    Q_OBJECT

private slots:
    void card_names_data()
    {
        QTest::addColumn<QString>("card_name");
        QTest::addColumn<QString>("file_name"); // empty: no name, the photo is numbered
        QTest::addColumn<QString>("shown");
        const QString cjk(100, QChar(0x5199)); // 300 bytes of UTF-8
        const QString smiles = QString::fromUtf8("\xF0\x9F\x98\x80").repeated(70); // 280 bytes, 4 a character
        QTest::newRow("plain") << "IMG_0001.JPG" << "IMG_0001.JPG" << "IMG_0001.JPG";
        QTest::newRow("traversal") << "../../FATESC_1.jpg" << "FATESC_1.jpg" << "../../FATESC_1.jpg";
        QTest::newRow("absolute") << "/tmp/ABS1.JPG" << "ABS1.JPG" << "/tmp/ABS1.JPG";
        QTest::newRow("backslashes") << "..\\..\\a.jpg" << "a.jpg" << "..\\..\\a.jpg";
        QTest::newRow("trailing separator") << "DCIM/a.jpg/" << "a.jpg" << "DCIM/a.jpg/";
        QTest::newRow("newline, BEL, escape") << "a\nb\a\x1b[2J.jpg" << "a_b__[2J.jpg" << "a_b__[2J.jpg";
        QTest::newRow("NUL and DEL") << QString("a") + QChar(0) + "b\x7f.jpg" << "a_b_.jpg" << "a_b_.jpg";
        QTest::newRow("C1 control, line separator") << QString("a") + QChar(0x9B) + QChar(0x2028) + ".jpg" << "a__.jpg" << "a__.jpg";
        QTest::newRow("right-to-left override") << QString(QChar(0x202E)) + "gpj.exe" << "_gpj.exe" << "_gpj.exe";
        QTest::newRow("characters FAT refuses") << "a<b>c:d\"e|f?g*.jpg" << "a_b_c_d_e_f_g_.jpg" << "a_b_c_d_e_f_g_.jpg";
        const QString replaced = QString::fromUtf8("bad\xEF\xBF\xBD(\xEF\xBF\xBD.jpg");
        QTest::newRow("invalid UTF-8") << QString::fromUtf8("bad\xC3\x28\xFF.jpg") << replaced << replaced;
        QTest::newRow("half a surrogate pair") << "a" + QString(QChar(0xDC00)) + ".jpg" << "a\uFFFD.jpg" << "a\uFFFD.jpg";
        QTest::newRow("300 bytes") << cjk + ".jpg" << QString(81, QChar(0x5199)) + ".jpg" << cjk + ".jpg";
        QTest::newRow("4-byte characters, not cut in two") << smiles + ".JPG" << smiles.left(2 * 60) + ".JPG" << smiles + ".JPG";
        QTest::newRow("long, no extension") << QString(300, 'a') << QString(247, 'a') << QString(300, 'a');
        QTest::newRow("long extension cut with the rest") << "a." + QString(300, 'b') << "a." + QString(245, 'b') << "a." + QString(300, 'b');
        QTest::newRow("CON") << "CON" << "_CON" << "CON";
        QTest::newRow("con.jpg") << "con.jpg" << "_con.jpg" << "con.jpg";
        QTest::newRow("LPT9 .tar.gz") << "LPT9 .tar.gz" << "_LPT9 .tar.gz" << "LPT9 .tar.gz";
        QTest::newRow("CONSOLE.jpg is a name") << "CONSOLE.jpg" << "CONSOLE.jpg" << "CONSOLE.jpg";
        QTest::newRow("dot") << "." << "" << ".";
        QTest::newRow("dot dot") << ".." << "" << "..";
        QTest::newRow("dots and spaces") << ". . ." << "" << ". . .";
        QTest::newRow("slashes") << "///" << "" << "///";
        QTest::newRow("empty") << "" << "" << "";
        QTest::newRow("hidden") << ".bashrc" << "_bashrc" << ".bashrc";
        QTest::newRow("option") << "-rf .jpg" << "_rf .jpg" << "-rf .jpg";
        QTest::newRow("trailing dots and spaces") << "photo.jpg. . " << "photo.jpg" << "photo.jpg. . ";
        const QString non_latin = QString::fromUtf8("Ferien am See \xC3\xBC\xE6\x97\xA5.jpg");
        QTest::newRow("non-Latin") << non_latin << non_latin << non_latin;
    }

    // Every name comes out as one entry with no control character, within
    // the bytes a file system takes with room for a clash's suffix; shown,
    // only the characters are replaced.
    void card_names()
    {
        QFETCH(QString, card_name);
        QFETCH(QString, file_name);
        QFETCH(QString, shown);
        const QString name = SafeName::file_name(card_name);
        QCOMPARE(name, file_name);
        QVERIFY(plain(name) && name.toUtf8().size() <= SafeName::photo_name_bytes);
        QVERIFY(!name.startsWith('.') && !name.endsWith('.') && !name.endsWith(' '));
        const QString variant = PhotoWriter::variant_of(name, 1234);
        QVERIFY(name.isEmpty() || (plain(variant) && variant.toUtf8().size() <= SafeName::longest_name_bytes));
        QCOMPARE(SafeName::for_display(card_name), shown);
    }

    // The folder opened for the photos stays the folder written into: moved
    // away and replaced by a link elsewhere, a link planted under a photo's
    // name, a name it cannot take. Nothing lands outside it.
    void files_stay_in_the_folder_opened_data()
    {
        QTest::addColumn<QString>("change"); // made after the writer opened the folder
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("written_as");
        QTest::addColumn<int>("more"); // photos written after it before the sync, numbered
        QTest::newRow("folder moved, a link in its place") << "move" << "a.jpg" << "a.jpg" << 0;
        QTest::newRow("a link under the photo's name") << "link" << "a.jpg" << "a-2.jpg" << 0;
        QTest::newRow("a dangling link under a number") << "dangling" << "IMAGE_0001.JPG" << "IMAGE_0002.JPG" << 0;
        QTest::newRow("a path for a name") << "" << "../a.jpg" << "IMAGE_0001.JPG" << 0;
        // more files than the writer keeps open until the sync
        QTest::newRow("a hundred photos, one sync") << "move" << "a.jpg" << "a.jpg" << 100;
    }

    void files_stay_in_the_folder_opened()
    {
        QFETCH(QString, change);
        QFETCH(QString, name);
        QFETCH(QString, written_as);
        QFETCH(int, more);
        QTemporaryDir work;
        const QString chosen = work.filePath("chosen"), moved = work.filePath("moved"), elsewhere = work.filePath("elsewhere");
        QVERIFY(QDir().mkpath(chosen) && QDir().mkpath(elsewhere) && write_file(work.filePath("keep.txt"), "keep"));
        const QByteArray photo = qt_jpeg(make_picture(64, 48, 5));
        PhotoWriter writer(chosen);
        QVERIFY(writer.is_open());
        if (change == "move")
            QVERIFY(QFile::rename(chosen, moved) && QFile::link(elsewhere, chosen));
        if (change == "link")
            QVERIFY(QFile::link(work.filePath("keep.txt"), QDir(chosen).filePath(name)));
        if (change == "dangling")
            QVERIFY(QFile::link(work.filePath("nowhere"), QDir(chosen).filePath(name)));
        const PhotoWriter::Result result = writer.write(name, found(photo), photo);
        QList<QByteArray> numbered;
        for (int n = 0; n < more; ++n) {
            numbered.append(qt_jpeg(make_picture(64, 48, 6 + n)));
            writer.write(PhotoWriter::photo_name(n + 1), found(numbered.last()), numbered.last());
        }
        QCOMPARE(writer.sync().size(), 1 + more);
        QCOMPARE(result.name, written_as);
        QCOMPARE(writer.written(), 1 + more);
        const QString folder = change == "move" ? moved : chosen;
        QCOMPARE(read_file(QDir(folder).filePath(written_as)), photo);
        for (int n = 0; n < more; ++n)
            QCOMPARE(read_file(QDir(folder).filePath(PhotoWriter::photo_name(n + 1))), numbered.at(n));
        QCOMPARE(read_file(work.filePath("keep.txt")), QByteArray("keep"));
        QVERIFY(entries_of(elsewhere).isEmpty() && !QFileInfo::exists(work.filePath("a.jpg"))
                && !QFileInfo::exists(work.filePath("nowhere")));
    }

    // Whole blocks go to the disk past the page cache, the rest through it:
    // every byte lands, whatever the length and however it is handed over.
    void every_byte_lands_data()
    {
        QTest::addColumn<int>("length");
        for (const int length : {1, 4095, 4096, 4097, 1024 * 1024 - 1, 1024 * 1024 + 4096, 2 * 1024 * 1024 + 4097}) {
            QTest::addRow("%d bytes in hand", length) << length;
            QTest::addRow("%d bytes copied", length) << -length;
        }
    }

    void every_byte_lands()
    {
        QFETCH(int, length);
        const bool copied = length < 0;
        length = std::abs(length);
        QByteArray photo;
        for (int seed = 1; photo.size() < length; ++seed)
            photo += qt_jpeg(make_picture(640, 480, seed), 95);
        photo.truncate(length);
        QTemporaryDir folder;
        PhotoWriter writer(folder.path());
        const PhotoWriter::Result result = copied
            ? writer.copy("a.jpg", found(photo),
                          [&photo](qint64 offset, char *buffer, qint64 count, volume_platform::Failure *) {
                              const qint64 n = qBound<qint64>(0, photo.size() - offset, count);
                              std::memcpy(buffer, photo.constData() + offset, size_t(n));
                              return n;
                          })
            : writer.write("a.jpg", found(photo), photo);
        QCOMPARE(writer.sync().size(), 1);
        QCOMPARE(result.outcome, PhotoWriter::Outcome::Written);
        QCOMPARE(read_file(QDir(folder.path()).filePath("a.jpg")), photo);
    }
};

QTEST_GUILESS_MAIN(TestNames)
#include "tst_names.moc"
