// The places of a HEIC photo's pictures read from a meta box made of the
// input: their number is bounded, and each lies at a place a file can have.

#include "fuzztarget.h"
#include "heicitemplaces.h"

int fuzz::heic_item_places(const uint8_t *data, size_t size)
{
    const HeicItemPlaces::Places places = HeicItemPlaces::read(bytes_of(data, size));
    FUZZ_REQUIRE(places.extents.size() <= size_t(HeicItemPlaces::most_extents));
    FUZZ_REQUIRE(places.length_size == 1 || places.length_size == 2 || places.length_size == 4);
    FUZZ_REQUIRE(places.idat_length < qint64(size));
    for (const HeicItemPlaces::Extent &extent : places.extents)
        FUZZ_REQUIRE(extent.offset >= 0 && extent.length >= 0);
    return 0;
}

FUZZ_ENTRY_POINT(heic_item_places)
