#include "safename.h"

#include <QStringList>

namespace {

constexpr char16_t replacement = u'_';
constexpr int longest_kept_extension = 16;

// Characters that must never reach a file name or a line shown: controls
// (NUL, newline, escape, C1), line and paragraph separators, format
// characters (bidirectional overrides that turn "gpj.exe" round), and the
// characters FAT, exFAT and NTFS refuse, so a folder on a stick takes every name.
bool is_unsafe(char32_t code)
{
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029)
        return true;
    if (code == u'<' || code == u'>' || code == u':' || code == u'"' || code == u'|' || code == u'?' || code == u'*')
        return true;
    return QChar::category(code) == QChar::Other_Format;
}

bool is_separator(QChar c)
{
    return c == u'/' || c == u'\\';
}

// The last component that is not empty: "../../x.jpg" is x.jpg, "a/" is a.
QString last_component(const QString &name)
{
    qsizetype end = name.size();
    while (end > 0 && is_separator(name.at(end - 1)))
        --end;
    qsizetype start = end;
    while (start > 0 && !is_separator(name.at(start - 1)))
        --start;
    return name.mid(start, end - start);
}

// Windows turns trailing dots and spaces away, and a name of them alone is
// "." or ".." to some tools.
QString without_trailing_dots_and_spaces(QString name)
{
    while (!name.isEmpty() && (name.back() == u'.' || name.back().isSpace()))
        name.chop(1);
    return name;
}

// CON, PRN, AUX, NUL, COM0-9 and LPT0-9 name devices on Windows, with any
// extension; a folder of photos may well be copied there.
bool is_device_name(const QString &name)
{
    const QString stem = name.section(u'.', 0, 0).trimmed().toUpper();
    static const QStringList devices{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                     QStringLiteral("NUL")};
    if (devices.contains(stem))
        return true;
    return stem.size() == 4 && (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT")))
        && (stem.at(3).isDigit() || stem.at(3) == u'\u00B9' || stem.at(3) == u'\u00B2' || stem.at(3) == u'\u00B3');
}

qsizetype utf8_size(const QString &text)
{
    return text.toUtf8().size();
}

// The longest start of text that takes at most max_bytes of UTF-8, never
// cutting a character in two.
QString utf8_prefix(const QString &text, qsizetype max_bytes)
{
    qsizetype bytes = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const char32_t code = pair ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : text.at(i).unicode();
        const int size = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (bytes + size > max_bytes)
            break;
        bytes += size;
        i += pair ? 2 : 1;
    }
    return text.left(i);
}

} // namespace

QString SafeName::replace_unsafe_characters(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(c, text.at(i + 1));
            if (is_unsafe(code)) {
                safe.append(replacement);
            } else {
                safe.append(c);
                safe.append(text.at(i + 1));
            }
            ++i;
        } else if (c.isSurrogate() || c.isNonCharacter()) {
            safe.append(QChar::ReplacementCharacter); // invalid UTF-16, as invalid UTF-8 is replaced
        } else {
            safe.append(is_unsafe(c.unicode()) ? QChar(replacement) : c);
        }
    }
    return safe;
}

QString SafeName::bounded(const QString &name, int max_bytes)
{
    if (utf8_size(name) <= max_bytes)
        return name;
    // the extension is kept where it leaves the stem room of its own
    const qsizetype dot = name.lastIndexOf(u'.');
    const qsizetype kept = qMin<qsizetype>(longest_kept_extension, max_bytes / 2);
    const QString extension = dot > 0 && utf8_size(name.mid(dot)) <= kept ? name.mid(dot) : QString();
    QString stem = utf8_prefix(name.left(name.size() - extension.size()), max_bytes - utf8_size(extension));
    stem = without_trailing_dots_and_spaces(stem);
    return (stem.isEmpty() ? QString(replacement) : stem) + extension;
}

QString SafeName::file_name(const QString &card_name, int max_bytes)
{
    QString name = without_trailing_dots_and_spaces(replace_unsafe_characters(last_component(card_name)));
    if (name.isEmpty())
        return {};
    // hidden, or taken for an option by a command run over the folder
    if (name.front() == u'.' || name.front() == u'-')
        name[0] = replacement;
    if (is_device_name(name))
        name.prepend(replacement);
    return bounded(name, max_bytes);
}

QString SafeName::with_suffix(const QString &name, const QString &suffix, int max_bytes)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    const QString stem = name.left(name.size() - extension.size());
    const qsizetype room = max_bytes - utf8_size(suffix + extension);
    if (room < 1) // no room beside the extension: the suffix goes at the end of what fits
        return utf8_prefix(name, qMax<qsizetype>(max_bytes - utf8_size(suffix), 1)) + suffix;
    return (utf8_size(stem) <= room ? stem : utf8_prefix(stem, room)) + suffix + extension;
}

QString SafeName::for_display(const QString &card_text, int max_bytes)
{
    const QString shown = replace_unsafe_characters(card_text);
    if (utf8_size(shown) <= max_bytes)
        return shown;
    return utf8_prefix(shown, max_bytes - 3) + QChar(0x2026); // an ellipsis, 3 bytes
}
