#include "platform/ProcFile.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace platform {

namespace {

bool IsNumber(std::string_view name) { return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos; }

}  // namespace

ssize_t ProcFile::Read(char* buffer, std::size_t size)
{
    const int fd = Descriptor();
    if (fd < 0)
        return -1;
    const ssize_t length = ::pread(fd, buffer, size - 1, 0);
    if (length >= 0)
        buffer[length] = '\0';
    return length;
}

long ProcFile::CountNumberedEntries(off_t from)
{
    const int fd = Descriptor();
    if (fd < 0)
        return -1;
    std::lock_guard lock(m_readMutex);
    if (::lseek(fd, from, SEEK_SET) < 0)
        return -1;
    alignas(8) char buffer[32768];
    long count = 0;
    for (;;) {
        const long length = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (length < 0)
            return -1;
        if (length == 0)
            return count;
        for (long offset = 0; offset < length;) {
            struct Entry {
                std::uint64_t inode;
                std::int64_t next;
                unsigned short length;
                unsigned char type;
                char name[1];
            };
            const auto* entry = reinterpret_cast<const Entry*>(buffer + offset);
            if (IsNumber(std::string_view(entry->name)))
                ++count;
            offset += entry->length;
        }
    }
}

void ProcFile::Forget()
{
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

int ProcFile::Descriptor()
{
    int fd = m_fd.load(std::memory_order_acquire);
    if (fd >= 0)
        return fd;
    std::lock_guard lock(m_openMutex);
    fd = m_fd.load(std::memory_order_acquire);
    if (fd < 0) {
        fd = ::open(m_path, O_RDONLY | O_CLOEXEC | (m_directory ? O_DIRECTORY : 0));
        m_fd.store(fd, std::memory_order_release);
    }
    return fd;
}

bool FindNumber(std::string_view text, std::string_view key, std::uint64_t& value)
{
    std::size_t at = 0;
    for (;;) {
        at = text.find(key, at);
        if (at == std::string_view::npos)
            return false;
        if (at == 0 || text[at - 1] == '\n')
            break;
        at += key.size();
    }
    at += key.size();
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    const auto result = std::from_chars(text.data() + at, text.data() + text.size(), value);
    return result.ec == std::errc();
}

bool ParseNumbers(const char* at, const char* end, std::span<std::uint64_t> values)
{
    for (auto& value : values) {
        while (at < end && *at == ' ')
            ++at;
        const auto result = std::from_chars(at, end, value);
        if (result.ec != std::errc()) {
            errno = EPROTO;
            return false;
        }
        at = result.ptr;
    }
    return true;
}

bool ReadFields(ProcFile& file, std::initializer_list<std::pair<std::string_view, std::uint64_t*>> fields)
{
    char buffer[4096];
    if (file.Read(buffer, sizeof buffer) < 0)
        return false;
    for (const auto& [key, value] : fields) {
        if (!FindNumber(buffer, key, *value)) {
            errno = EPROTO;
            return false;
        }
    }
    return true;
}

}  // namespace platform
