#pragma once

#include <QMap>
#include <QString>

// CRC-32 (ISO-HDLC, as zlib computes it) over whole files and over running
// streams kept under a key of the caller's choosing. A register value of 0
// marks a key without a running CRC.
class CrcCalculator
{
public:
    // The CRC-32 of the whole file; 0 when it cannot be opened. ok is false
    // when a read failed before the end (the result is then meaningless).
    uint crc_of_file(const QString &path, bool *ok = nullptr) const;

    // The CRC-32 of data continued from crc (0 to start), as zlib's crc32() gives it.
    static uint crc32(uint crc, const char *data, qint64 count);

    void begin(int key);
    void update(int key, const char *data, qint64 count);
    uint finish(int key);

    static constexpr qint64 file_piece = 16000;

private:
    QMap<int, uint> running_crcs;
};
