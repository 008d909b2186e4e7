#include "crccalculator.h"

#include <QFile>

#include <isa-l/crc.h>

namespace {

// The library keeps the CRC complemented, as zlib does; the register here is the raw one.
uint step(uint reg, const char *data, qint64 count)
{
    return ~CrcCalculator::crc32(~reg, data, count);
}

} // namespace

uint CrcCalculator::crc32(uint crc, const char *data, qint64 count)
{
    // ISA-L takes a 64-bit length: a span of any size in one call.
    return count > 0 ? crc32_gzip_refl(crc, reinterpret_cast<const unsigned char *>(data), quint64(count)) : crc;
}

uint CrcCalculator::crc_of_file(const QString &path, bool *ok) const
{
    if (ok)
        *ok = true;
    uint reg = 0xFFFFFFFFu;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ~reg;
    QByteArray piece(file_piece, Qt::Uninitialized);
    while (!file.atEnd()) {
        const qint64 n = file.read(piece.data(), piece.size());
        if (n <= 0) {
            if (ok)
                *ok = false;
            break;
        }
        reg = step(reg, piece.constData(), n);
    }
    return ~reg;
}

void CrcCalculator::begin(int key)
{
    running_crcs[key] = 0xFFFFFFFFu;
}

void CrcCalculator::update(int key, const char *data, qint64 count)
{
    uint &reg = running_crcs[key];
    if (reg == 0 || count <= 0)
        return;
    reg = step(reg, data, count);
}

uint CrcCalculator::finish(int key)
{
    const uint reg = running_crcs[key];
    if (reg == 0)
        return 0;
    running_crcs.remove(key);
    return ~reg;
}
