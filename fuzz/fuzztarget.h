#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// Each target is a plain function of the input bytes. Built as a fuzzer, a
// target's LLVMFuzzerTestOneInput calls it; velvora-fuzz-replay calls every
// target on the inputs kept in fuzz/corpus/<target>/, so the faults ever found
// stay guarded against without clang.
namespace fuzz {

using Target = int (*)(const uint8_t *data, size_t size);

int carver(const uint8_t *data, size_t size);
int markers(const uint8_t *data, size_t size);
int entropy_walker(const uint8_t *data, size_t size);
int progressive_walker(const uint8_t *data, size_t size);
int decode_check(const uint8_t *data, size_t size);
int exif_info(const uint8_t *data, size_t size);
int fragment_search(const uint8_t *data, size_t size);
int box_walker(const uint8_t *data, size_t size);
int riff_walker(const uint8_t *data, size_t size);
int file_system_reader(const uint8_t *data, size_t size);
int safe_name(const uint8_t *data, size_t size);
int sample_starts(const uint8_t *data, size_t size);
int heic_item_places(const uint8_t *data, size_t size);
int heic_picture_check(const uint8_t *data, size_t size);

// An invariant broke: says which, where, and aborts, so libFuzzer keeps the
// input and the replay fails.
[[noreturn]] void violated(const char *condition, const char *file, int line);

inline QByteArray bytes_of(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

} // namespace fuzz

#define FUZZ_REQUIRE(condition) ((condition) ? void(0) : fuzz::violated(#condition, __FILE__, __LINE__))

// The libFuzzer entry point of a target, in the fuzzer build only.
#ifdef VELVORA_FUZZ_ENTRY
#define FUZZ_ENTRY_POINT(target)                                                                                       \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return fuzz::target(data, size); }
#else
#define FUZZ_ENTRY_POINT(target)
#endif
