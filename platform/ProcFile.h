// A /proc file opened once and re-read with pread, and the reading of the text the kernel renders
// there: a figure then costs one system call and no allocation.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>

namespace platform {

// Safe for concurrent use; lives as long as the process. A forked child must Forget the file:
// /proc/self names the process that opened it.
class ProcFile {
public:
    explicit constexpr ProcFile(const char* path, bool directory = false) : m_path(path), m_directory(directory) {}
    ProcFile(const ProcFile&) = delete;
    ProcFile& operator=(const ProcFile&) = delete;

    // Reads from the start into `buffer`; the text is NUL-terminated. -1 with errno on failure.
    ssize_t Read(char* buffer, std::size_t size);
    // Counts the directory's entries from position `from` on whose names are numbers; -1 with
    // errno on failure.
    long CountNumberedEntries(off_t from = 0);
    // The size and the link count the kernel gives the file or directory; -1 with errno on failure.
    long Size() { return Stat(&Status::st_size); }
    long Links() { return Stat(&Status::st_nlink); }
    void Forget();

private:
    using Status = struct stat;

    template <typename Field>
    long Stat(Field Status::*field)
    {
        const int fd = Descriptor();
        Status status{};
        if (fd < 0 || ::fstat(fd, &status) != 0)
            return -1;
        return static_cast<long>(status.*field);
    }
    int Descriptor();

    const char* m_path;
    bool m_directory;
    std::atomic<int> m_fd{-1};
    std::mutex m_openMutex;
    std::mutex m_readMutex;  // the directory offset is shared by every reader of the descriptor
};

// The number after `key` at the start of a line of a "Key:   value kB" text; false when the key
// is missing.
bool FindNumber(std::string_view text, std::string_view key, std::uint64_t& value);
// The space-separated numbers at the start of [at, end) into `values`; false with EPROTO when
// there are fewer.
bool ParseNumbers(const char* at, const char* end, std::span<std::uint64_t> values);
// Each keyed number of the file; false with errno when the file can't be read or a key is missing.
bool ReadFields(ProcFile& file, std::initializer_list<std::pair<std::string_view, std::uint64_t*>> fields);

}  // namespace platform
