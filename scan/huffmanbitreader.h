#pragma once

#include <QtGlobal>

#include <array>

// Huffman tables as libjpeg builds them from a DHT segment, and the reader
// of Huffman-coded data bit by bit: stuffed zero bytes taken out, a marker
// where bits are still needed a fault, the end of the bytes a wait for more.
class HuffmanBitReader
{
public:
    static constexpr int fast_bits = 9;

    struct Table
    {
        std::array<int, 18> max_code{};
        std::array<int, 17> value_offset{};
        std::array<uchar, 256> values{};
        // Codes of up to fast_bits bits, by their first fast_bits bits: the
        // code's length in the high byte, its symbol in the low one.
        std::array<quint16, 1 << fast_bits> fast{};
        bool present = false;
        bool valid = false; // one libjpeg would build: no all-ones code, DC categories up to 15
    };
    using Tables = std::array<Table, 4>;

    // Where the reader stands in the bytes being read, held in locals while
    // a block is read: the bytes may alias anything.
    struct Cursor
    {
        qint64 at; // in the data read
        quint32 bit_buffer;
        int bits;
    };
    enum class Step { Ok, Fault, NeedData };

    // The tables of one DHT segment's payload; false where libjpeg refuses them.
    static bool read_tables(const uchar *at, qint64 length, Tables &dc_tables, Tables &ac_tables);

    static Step fill(Cursor &cursor, const uchar *data, qint64 size, int wanted);
    static Step decode(Cursor &cursor, const uchar *data, qint64 size, const Table &table, int *symbol);
    // count raw bits (at most 16).
    static Step bits_of(Cursor &cursor, const uchar *data, qint64 size, int count, int *value);
    // count bits read as a signed value, as JPEG codes coefficients.
    static Step receive(Cursor &cursor, const uchar *data, qint64 size, int count, int *value);
};

Q_ALWAYS_INLINE HuffmanBitReader::Step HuffmanBitReader::fill(Cursor &cursor,
                                                                 const uchar *data, qint64 size, int wanted)
{
    while (cursor.bits < wanted) {
        if (cursor.at >= size)
            return Step::NeedData;
        const uchar byte = data[cursor.at];
        if (byte == 0xFF) {
            if (cursor.at + 1 >= size)
                return Step::NeedData;
            if (data[cursor.at + 1] != 0x00)
                return Step::Fault; // a marker where the block still needs bits
            cursor.at += 2;
        } else {
            cursor.at += 1;
        }
        cursor.bit_buffer = (cursor.bit_buffer << 8) | byte;
        cursor.bits += 8;
    }
    return Step::Ok;
}

Q_ALWAYS_INLINE HuffmanBitReader::Step HuffmanBitReader::decode(Cursor &cursor,
                                                                 const uchar *data, qint64 size,
                                                                 const Table &table, int *symbol)
{
    // Short codes by their first bits when those are at hand; near a marker
    // fewer may be, and the code is read bit by bit.
    if (cursor.bits >= fast_bits || fill(cursor, data, size, fast_bits) == Step::Ok) {
        const quint16 entry =
            table.fast[(cursor.bit_buffer >> (cursor.bits - fast_bits)) & ((1u << fast_bits) - 1u)];
        if (entry != 0) {
            cursor.bits -= entry >> 8;
            cursor.bit_buffer &= (1u << cursor.bits) - 1u;
            *symbol = entry & 0xFF;
            return Step::Ok;
        }
    }
    int code = 0;
    for (int l = 1; l <= 16; ++l) {
        if (cursor.bits == 0) {
            const Step step = fill(cursor, data, size, 1);
            if (step != Step::Ok)
                return step;
        }
        --cursor.bits;
        code = (code << 1) | int((cursor.bit_buffer >> cursor.bits) & 1u);
        cursor.bit_buffer &= (1u << cursor.bits) - 1u;
        if (code <= table.max_code[size_t(l)]) {
            *symbol = table.values[size_t(code + table.value_offset[size_t(l)])];
            return Step::Ok;
        }
    }
    return Step::Fault; // no such code
}

Q_ALWAYS_INLINE HuffmanBitReader::Step HuffmanBitReader::bits_of(Cursor &cursor,
                                                                 const uchar *data, qint64 size,
                                                                 int count, int *value)
{
    if (count == 0) {
        *value = 0;
        return Step::Ok;
    }
    const Step step = fill(cursor, data, size, count);
    if (step != Step::Ok)
        return step;
    cursor.bits -= count;
    *value = int((cursor.bit_buffer >> cursor.bits) & ((1u << count) - 1u));
    cursor.bit_buffer &= (1u << cursor.bits) - 1u;
    return Step::Ok;
}

Q_ALWAYS_INLINE HuffmanBitReader::Step HuffmanBitReader::receive(Cursor &cursor,
                                                                 const uchar *data, qint64 size,
                                                                 int count, int *value)
{
    const Step step = bits_of(cursor, data, size, count, value);
    if (step == Step::Ok && count > 0 && *value < (1 << (count - 1)))
        *value -= (1 << count) - 1;
    return step;
}
