#include "huffmanbitreader.h"

bool HuffmanBitReader::read_tables(const uchar *at, qint64 length, Tables &dc_tables, Tables &ac_tables)
{
    qint64 i = 0;
    while (i + 17 <= length) {
        const int table_class = at[i] >> 4;
        const int id = at[i] & 0x0F;
        if (table_class > 1 || id > 3)
            return false;
        Table &table = table_class == 0 ? dc_tables[size_t(id)] : ac_tables[size_t(id)];
        table = Table{};
        table.valid = true;
        int total = 0;
        int code = 0;
        for (int l = 1; l <= 16; ++l) {
            const int count = at[i + l];
            table.value_offset[size_t(l)] = total - code;
            code += count;
            total += count;
            table.max_code[size_t(l)] = count > 0 ? code - 1 : -1;
            if (code > (1 << l))
                return false; // more codes than bits allow
            if (code == (1 << l))
                table.valid = false; // the all-ones code, which libjpeg refuses
            code <<= 1;
        }
        if (total > 256 || i + 17 + total > length)
            return false;
        for (int k = 0; k < total; ++k) {
            table.values[size_t(k)] = at[i + 17 + k];
            if (table_class == 0 && table.values[size_t(k)] > 15)
                table.valid = false;
        }
        int first_code = 0;
        int k = 0;
        for (int l = 1; l <= 16; ++l) {
            for (int n = 0; n < at[i + l]; ++n, ++k, ++first_code) {
                if (l > fast_bits)
                    continue;
                const int spread = 1 << (fast_bits - l);
                for (int fill = 0; fill < spread; ++fill)
                    table.fast[size_t((first_code << (fast_bits - l)) | fill)] =
                        quint16((l << 8) | table.values[size_t(k)]);
            }
            first_code <<= 1;
        }
        table.present = true;
        i += 17 + total;
    }
    return i == length;
}
