#include "platform/Cgroups.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

namespace platform {

namespace {

// cgroup v1 writes "no limit" as the largest page-aligned signed 64-bit count; anything this
// large is no limit a process can meet.
constexpr std::uint64_t kNoLimitFloor = std::uint64_t{1} << 62;

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        const std::size_t next = text.find(separator, at);
        parts.push_back(text.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at));
        if (next == std::string_view::npos)
            return parts;
        at = next + 1;
    }
}

// mountinfo writes space, tab, newline and backslash in paths as octal escapes.
std::string Unescape(std::string_view text)
{
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            int code = 0;
            if (std::from_chars(text.data() + i + 1, text.data() + i + 4, code, 8).ec == std::errc()) {
                result += static_cast<char>(code);
                i += 3;
                continue;
            }
        }
        result += text[i];
    }
    return result;
}

bool HasController(std::string_view list, std::string_view controller)
{
    for (const std::string_view name : Split(list, ','))
        if (name == controller)
            return true;
    return false;
}

// Where a controller's hierarchy is mounted and which part of it the mount shows.
struct Mount {
    std::string root;
    std::string point;
};

// The cgroup v1 hierarchies with their super options, and the v2 hierarchy: mounts found in
// mountinfo.
struct Hierarchies {
    std::optional<Mount> v2;
    std::vector<std::pair<std::string, Mount>> v1;

    explicit Hierarchies(std::string_view mountInfo)
    {
        for (const std::string_view line : Split(mountInfo, '\n')) {
            const std::size_t dash = line.find(" - ");
            if (dash == std::string_view::npos)
                continue;
            const auto fields = Split(line.substr(0, dash), ' ');
            const auto tail = Split(line.substr(dash + 3), ' ');
            if (fields.size() < 5 || tail.size() < 3)
                continue;
            Mount mount{Unescape(fields[3]), Unescape(fields[4])};
            if (tail[0] == "cgroup2" && !v2)
                v2 = std::move(mount);
            else if (tail[0] == "cgroup")
                v1.emplace_back(std::string(tail[2]), std::move(mount));
        }
    }
};

// The cgroup `path` of a hierarchy mounted as `mount`; nullopt when it lies outside what the
// mount shows.
std::optional<CgroupPlace> PlaceUnder(const Mount& mount, std::string_view path, bool v2, const std::string& root)
{
    std::string_view relative = path;
    if (mount.root != "/") {
        if (!path.starts_with(mount.root) || (path.size() > mount.root.size() && path[mount.root.size()] != '/'))
            return std::nullopt;
        relative.remove_prefix(mount.root.size());
    }
    while (!relative.empty() && relative.back() == '/')
        relative.remove_suffix(1);
    const std::string point = root + mount.point;
    return CgroupPlace{point + std::string(relative), point, v2};
}

}  // namespace

std::vector<std::string> CgroupPlace::Levels() const
{
    std::vector<std::string> levels{folder};
    while (levels.back().size() > mountPoint.size()) {
        const std::string& below = levels.back();
        levels.push_back(below.substr(0, std::max(below.rfind('/'), mountPoint.size())));
    }
    return levels;
}

std::optional<CgroupPlace> FindCgroup(std::string_view processCgroups, std::string_view mountInfo, std::string_view controller, const std::string& root)
{
    const Hierarchies hierarchies(mountInfo);
    std::optional<std::string_view> unified;
    for (const std::string_view line : Split(processCgroups, '\n')) {
        const auto parts = Split(line, ':');
        if (parts.size() < 3)
            continue;
        const std::string_view path = line.substr(parts[0].size() + parts[1].size() + 2);
        if (parts[1].empty()) {
            unified = path;
            continue;
        }
        if (!HasController(parts[1], controller))
            continue;
        for (const auto& [options, mount] : hierarchies.v1)
            if (HasController(options, controller))
                return PlaceUnder(mount, path, false, root);
    }
    if (unified && hierarchies.v2)
        return PlaceUnder(*hierarchies.v2, *unified, true, root);
    return std::nullopt;
}

void ReadWholeFile(const std::string& path, std::string& text)
{
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char buffer[4096];
    for (ssize_t length; (length = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(length));
    ::close(fd);
}

CgroupFile::CgroupFile(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}

CgroupFile::~CgroupFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

CgroupFile::CgroupFile(CgroupFile&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

CgroupFile& CgroupFile::operator=(CgroupFile&& other) noexcept
{
    std::swap(m_fd, other.m_fd);
    return *this;
}

long CgroupFile::Read(char* buffer, std::size_t size) const
{
    // One read takes the whole text: the kernel renders a control file at once.
    return m_fd < 0 ? -1 : static_cast<long>(::pread(m_fd, buffer, size, 0));
}

std::optional<std::uint64_t> CgroupFile::Value() const
{
    char text[64];
    const long length = Read(text, sizeof text - 1);
    if (length <= 0)
        return std::nullopt;
    if (std::string_view(text, static_cast<std::size_t>(length)).starts_with("max"))
        return kUnlimited;
    std::uint64_t value = 0;
    if (std::from_chars(text, text + length, value).ec != std::errc())
        return std::nullopt;
    return value >= kNoLimitFloor ? kUnlimited : value;
}

}  // namespace platform
