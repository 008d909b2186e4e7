#pragma once

#include <QtEndian>
#include <QtGlobal>

// What the box types of ISO base media files and QuickTime movies mean to a
// walk through their headers: the four-character codes, which boxes stand at
// the top level, which the walk opens, and the brands of HEIC images.
// Multi-byte fields in box headers are big-endian.
class IsoBoxTypes
{
public:
    static constexpr quint32 fourcc(const char (&name)[5])
    {
        return quint32(uchar(name[0])) << 24 | quint32(uchar(name[1])) << 16 | quint32(uchar(name[2])) << 8
             | quint32(uchar(name[3]));
    }

    // inline: the search asks them of every sector
    static quint32 be32(const char *at) { return qFromBigEndian<quint32>(at); }
    static quint64 be64(const char *at) { return qFromBigEndian<quint64>(at); }

    // Box types are four printable characters; QuickTime's user data also uses ©.
    static bool is_type_name(quint32 type);
    // The boxes an ISO base media file or a QuickTime movie carries at its top level.
    static bool is_top_level_type(quint32 type);
    // Boxes the walk opens, by their parent (0 at the top level): the ones
    // that say which tracks and handlers a file has. Everything else is
    // passed over whole.
    static bool opens_into(quint32 parent, quint32 type);
    static bool is_heic_brand(quint32 brand);
};
