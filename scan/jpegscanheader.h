#pragma once

#include "huffmanbitreader.h"
#include "jpegmarkerreader.h"

#include <QtGlobal>

#include <array>
#include <vector>

// One start-of-scan header read against its frame: the components the scan
// codes, in scan order, with the table numbers each names; its spectral band
// and successive approximation; and the grid of MCUs it covers. The Huffman
// tables and the restart interval in force when the scan began are kept
// with it by the walker that reads it. Which bands and tables a scan needs
// is the walker's to judge: a baseline scan needs both tables of every
// component, a progressive one only those it decodes with.
struct JpegScanHeader
{
    using Table = HuffmanBitReader::Table;
    struct Component
    {
        int index = 0; // in the frame
        int id = 0;
        int h = 1; // 1 by 1 in a scan of one component, which goes block by block
        int v = 1;
        int dc_table = 0; // as the header names them, 0 to 15
        int ac_table = 0;
    };

    std::vector<Component> components;
    std::array<Table, 4> dc_tables;
    std::array<Table, 4> ac_tables;
    int ss = 0; // spectral band
    int se = 0;
    int ah = 0; // successive approximation
    int al = 0;
    int mcu_columns = 0;
    int mcu_rows = 0;
    int restart_mcus = 0;
    int mcu_count() const { return mcu_columns * mcu_rows; }

    // Reads the header's payload: one to four components, each in the frame
    // and named once, at most 10 blocks to an MCU of several. False when it
    // is not such a header; the tables and the restart interval are left as
    // they were.
    bool read(const uchar *segment, qint64 payload, const JpegFrameHeader &frame);
};
