#include "isoboxtypes.h"

bool IsoBoxTypes::is_type_name(quint32 type)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        const uchar c = uchar(type >> shift);
        if ((c < 0x20 || c > 0x7E) && c != 0xA9)
            return false;
    }
    return true;
}

bool IsoBoxTypes::is_top_level_type(quint32 type)
{
    switch (type) {
    case fourcc("ftyp"): case fourcc("moov"): case fourcc("mdat"): case fourcc("free"):
    case fourcc("skip"): case fourcc("wide"): case fourcc("meta"): case fourcc("uuid"):
    case fourcc("pdin"): case fourcc("moof"): case fourcc("mfra"): case fourcc("styp"):
    case fourcc("sidx"): case fourcc("udta"): case fourcc("pnot"): case fourcc("PICT"):
        return true;
    default:
        return false;
    }
}

bool IsoBoxTypes::opens_into(quint32 parent, quint32 type)
{
    switch (parent) {
    case 0:
        return type == fourcc("moov") || type == fourcc("meta");
    case fourcc("moov"):
        return type == fourcc("trak");
    case fourcc("trak"):
        return type == fourcc("mdia");
    default:
        return false;
    }
}

bool IsoBoxTypes::is_heic_brand(quint32 brand)
{
    return brand == fourcc("heic") || brand == fourcc("heix") || brand == fourcc("heim")
        || brand == fourcc("heis") || brand == fourcc("mif1") || brand == fourcc("msf1");
}
