#pragma once

#include <QString>

// Turns a name read from a card into one that is safe to give a file in the
// output folder, or to show. A card's directory entries are hostile input:
// a crafted deleted entry may be called "../../x", "/tmp/x", hold a newline,
// a terminal escape or invalid UTF-8, or be longer than the target's limit.
//
// file_name() keeps only the last path component; replaces control and
// format characters, NUL and the characters FAT, exFAT and NTFS refuse
// (<>:"|?*); makes a leading dot or dash, trailing dots and spaces and
// Windows' device names (CON, NUL, COM1, ...) harmless; replaces invalid
// UTF-16 (which invalid UTF-8 became) and bounds the UTF-8 length, keeping
// the extension. What is left may be empty: such a name is no name at all.
class SafeName
{
public:
    // The longest name a file system on Linux takes, in bytes.
    static constexpr int longest_name_bytes = 255;
    // What a name given to a photo may take of it: the rest leaves room for
    // the suffix of a clash (IMG_0001-12.JPG).
    static constexpr int photo_name_bytes = longest_name_bytes - 8;

    // The name for a file, or empty when nothing usable is left.
    static QString file_name(const QString &card_name, int max_bytes = photo_name_bytes);
    // name with suffix before its extension (IMG_0001.JPG, -2: IMG_0001-2.JPG),
    // the stem shortened where the whole would be longer than max_bytes.
    static QString with_suffix(const QString &name, const QString &suffix, int max_bytes = longest_name_bytes);
    // A card's text (a folder's path, a camera's name) as it may be shown:
    // each character file_name() replaces is replaced, and it is bounded.
    static QString for_display(const QString &card_text, int max_bytes = 1024);

private:
    static QString replace_unsafe_characters(const QString &text);
    static QString bounded(const QString &name, int max_bytes);
};
