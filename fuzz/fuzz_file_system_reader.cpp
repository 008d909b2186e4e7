// The file-system reader's side of the conversation with its helper, fed
// the input as the helper's output: whatever the helper sends, what the
// reader keeps lies within the volume and within its memory budget, and a
// read file system has a geometry.

#include "filesystemreader.h"
#include "fuzztarget.h"

#include <QIODevice>

#include <cstring>

namespace {

constexpr qint64 volume_size = 4 * 1024 * 1024;

// The helper's output as recorded; what the reader answers goes nowhere.
class RecordedHelper : public QIODevice
{
public:
    explicit RecordedHelper(QByteArray output)
        : output(std::move(output))
    {
        open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return output.size() - position + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 count) override
    {
        const qint64 n = qMin(count, output.size() - position);
        std::memcpy(data, output.constData() + position, size_t(n));
        position += n;
        return n;
    }
    qint64 writeData(const char *, qint64 count) override { return count; }

private:
    QByteArray output;
    qint64 position = 0;
};

// A volume of zeros but for a pattern, so answers to the helper's reads vary.
class PatternVolume : public VolumeSource
{
public:
    qint64 read(char *buffer, qint64 count) override
    {
        const qint64 n = qBound<qint64>(0, qMin(count, volume_size - position), volume_size);
        for (qint64 i = 0; i < n; ++i)
            buffer[i] = char((position + i) * 31 >> 9);
        position += n;
        return n;
    }
    bool seek(qint64 offset) override
    {
        position = offset;
        return offset >= 0;
    }
    volume_platform::Failure last_failure() const override { return volume_platform::Failure::None; }

private:
    qint64 position = 0;
};

} // namespace

int fuzz::file_system_reader(const uint8_t *data, size_t size)
{
    PatternVolume volume;
    FileSystemReader reader(volume, volume_size, 512);
    RecordedHelper helper(bytes_of(data, size));
    FileSystemView view;
    const FileSystemReader::Outcome outcome = reader.converse(helper, view);
    if (outcome == FileSystemReader::Outcome::Read)
        FUZZ_REQUIRE(view.is_read());
    else
        FUZZ_REQUIRE(!reader.failure().isEmpty() || outcome == FileSystemReader::Outcome::NoFileSystem);
    FUZZ_REQUIRE(view.files.size() <= FileSystemReader::memory_budget / qint64(sizeof(FileEntry)));
    for (const FileEntry &file : view.files) {
        FUZZ_REQUIRE(file.size >= 0 && file.size <= volume_size && file.first_offset < volume_size);
        FUZZ_REQUIRE(!(file.shared_content && file.deleted));
        for (const VolumeExtent &run : file.runs)
            FUZZ_REQUIRE(run.offset >= 0 && run.length > 0 && run.offset + run.length <= volume_size);
    }
    // What a photo found anywhere may be named after is one of the entries.
    for (qint64 at = 0; at < volume_size; at += 64 * 1024) {
        const FileEntry *entry = view.deleted_entry_at(at, 1);
        FUZZ_REQUIRE(!entry || (entry >= view.files.constData() && entry < view.files.constData() + view.files.size()));
    }
    return 0;
}

FUZZ_ENTRY_POINT(file_system_reader)
