// The rule for a card's names over any name: the first byte chooses UTF-8 or
// raw UTF-16 (half surrogate pairs included) and the byte budget. What comes
// out is one plain entry within the budget, and the rule leaves it as it is.

#include "fuzztarget.h"
#include "photowriter.h"
#include "safename.h"

namespace {

bool is_plain(const QString &name)
{
    const QList<uint> codes = name.toUcs4();
    if (QString::fromUcs4(reinterpret_cast<const char32_t *>(codes.constData()), codes.size()) != name)
        return false; // half a surrogate pair
    for (const uint code : codes) {
        const QChar::Category category = QChar::category(char32_t(code));
        if (category == QChar::Other_Control || category == QChar::Other_Format || code == u'/' || code == u'\\')
            return false;
    }
    return true;
}

} // namespace

int fuzz::safe_name(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool utf16 = data[0] & 1;
    const int budget = 16 + (data[0] >> 1);
    const QByteArray input = bytes_of(data + 1, size - 1);
    const QString card_name = utf16 ? QString(reinterpret_cast<const QChar *>(input.constData()), input.size() / 2)
                                    : QString::fromUtf8(input);
    const QString name = SafeName::file_name(card_name, budget);
    FUZZ_REQUIRE(name.toUtf8().size() <= budget && is_plain(name));
    if (!name.isEmpty()) {
        FUZZ_REQUIRE(name != QLatin1String(".") && name != QLatin1String(".."));
        FUZZ_REQUIRE(!name.startsWith(u'.') && !name.startsWith(u'-') && !name.endsWith(u'.') && !name.endsWith(u' '));
        FUZZ_REQUIRE(SafeName::file_name(name, budget) == name);
        const QString variant = PhotoWriter::variant_of(name, 1 + int(size % 1000), budget + 8);
        FUZZ_REQUIRE(variant.toUtf8().size() <= budget + 8 && is_plain(variant));
    }
    const QString shown = SafeName::for_display(card_name, budget);
    FUZZ_REQUIRE(shown.toUtf8().size() <= budget);
    FUZZ_REQUIRE(std::none_of(shown.cbegin(), shown.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
    }));
    return 0;
}

FUZZ_ENTRY_POINT(safe_name)
