#pragma once

#include <QString>

namespace testsupport {

// Crafted live entries written raw into the root folder of a FAT32 or exFAT
// card image made by mkfs.fat or mkfs.exfat (tens of thousands of files
// through a mount would take minutes): count files named C0000001.JPG
// onward, all of them holding the same clusters, taken from the end of the
// free space so no photo on the card is touched. On FAT32 they share one
// chain of pieces clusters, every other free cluster; on exFAT one
// contiguous run of pieces clusters.
class CraftedEntries
{
public:
    static bool add_to_fat32(const QString &image, int count, int pieces, QString *why);
    static bool add_to_exfat(const QString &image, int count, int pieces, QString *why);
};

} // namespace testsupport
