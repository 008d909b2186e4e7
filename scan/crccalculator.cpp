#include "crccalculator.h"

#include <QFile>

#include <zlib.h>

namespace {

// zlib keeps the CRC complemented; the register here is the raw one.
uint step(uint reg, const char *data, qint64 count)
{
    return ~uint(crc32_z(~reg, reinterpret_cast<const Bytef *>(data), size_t(count)));
}

} // namespace

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
