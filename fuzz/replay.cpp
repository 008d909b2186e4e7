// velvora-fuzz-replay CORPUS: runs every fuzz target over the inputs kept
// for it in CORPUS/<target>/, the inputs that once found a fault. An
// invariant that breaks aborts; an input that drives the peak resident memory
// more than the scan's bound above where the replay started fails too
// (not under AddressSanitizer, whose shadow and quarantine count as resident).

#include "benchmemory.h"
#include "fuzztarget.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

constexpr double memory_bound_mib = 160;

bool under_address_sanitizer()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: velvora-fuzz-replay CORPUS\n", stderr);
        return 2;
    }
    const QDir corpus(QString::fromLocal8Bit(argv[1]));
    if (!corpus.exists()) {
        std::fprintf(stderr, "velvora-fuzz-replay: no folder %s\n", argv[1]);
        return 2;
    }
    const std::pair<const char *, fuzz::Target> targets[] = {{"carver", fuzz::carver},
                                                             {"markers", fuzz::markers},
                                                             {"entropy_walker", fuzz::entropy_walker},
                                                             {"progressive_walker", fuzz::progressive_walker},
                                                             {"decode_check", fuzz::decode_check},
                                                             {"exif_info", fuzz::exif_info},
                                                             {"fragment_search", fuzz::fragment_search},
                                                             {"box_walker", fuzz::box_walker},
                                                             {"riff_walker", fuzz::riff_walker},
                                                             {"file_system_reader", fuzz::file_system_reader},
                                                             {"safe_name", fuzz::safe_name},
                                                             {"sample_starts", fuzz::sample_starts},
                                                             {"heic_item_places", fuzz::heic_item_places},
                                                             {"heic_picture_check", fuzz::heic_picture_check}};
    const double start_mib = peak_resident_mib();
    const bool check_memory = start_mib > 0 && !under_address_sanitizer();
    int replayed = 0;
    for (const auto &[name, target] : targets) {
        const QDir kept(corpus.filePath(QLatin1String(name)));
        for (const QString &file : kept.entryList(QDir::Files, QDir::Name)) {
            QFile input(kept.filePath(file));
            if (!input.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "velvora-fuzz-replay: cannot read %s\n", qPrintable(input.fileName()));
                return 1;
            }
            const QByteArray bytes = input.readAll();
            target(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
            ++replayed;
            const double grown = peak_resident_mib() - start_mib;
            if (check_memory && grown > memory_bound_mib) {
                std::fprintf(stderr, "%s: the peak resident memory grew by %.0f MiB (bound %.0f)\n",
                             qPrintable(input.fileName()), grown, memory_bound_mib);
                return 1;
            }
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
