// The cgroups of a process: where each controller's cgroup lies, found through /proc/PID/cgroup and
// this process's mountinfo in cgroup v1, v2 and hybrid layouts, and the small control files read
// in them.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A limit that is not set: "max" in v2, a figure of 2^62 or more in v1.
inline constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

// The cgroup of one controller and the mount point of its hierarchy.
struct CgroupPlace {
    std::string folder;
    std::string mountPoint;
    bool v2 = false;

    // The hierarchy's root, which counts for the whole machine.
    bool IsRoot() const { return folder.size() <= mountPoint.size(); }
    // The folders from this cgroup up to the hierarchy's root, where each level's limits lie.
    std::vector<std::string> Levels() const;
};

// The cgroup of `controller` that the /proc/PID/cgroup text `processCgroups` names, under the
// mounts of `mountInfo`, `root` prefixed to every path; nullopt when it can't be read from here.
// v1 wins over v2 where a hybrid layout has both: the controller sits in one of them only.
std::optional<CgroupPlace> FindCgroup(std::string_view processCgroups, std::string_view mountInfo, std::string_view controller, const std::string& root);

// The memory cgroup that a /proc/PID/cgroup text names; nullopt when the process has none
// readable from here.
inline std::optional<CgroupPlace> MemoryCgroupOf(std::string_view processCgroups, std::string_view mountInfo, const std::string& root = {})
{
    return FindCgroup(processCgroups, mountInfo, "memory", root);
}

// The whole file into `text`, whose capacity is kept, so that reading a file of the same size
// again allocates nothing. Empty when the file can't be read.
void ReadWholeFile(const std::string& path, std::string& text);

// A control file of a cgroup, opened once and re-read with pread. Closed with the object.
class CgroupFile {
public:
    CgroupFile() = default;
    explicit CgroupFile(const std::string& path);
    ~CgroupFile();
    CgroupFile(CgroupFile&& other) noexcept;
    CgroupFile& operator=(CgroupFile&& other) noexcept;

    bool IsOpen() const { return m_fd >= 0; }
    // A limit or usage: "max" (kUnlimited) or a number; nullopt when the file can't be read.
    std::optional<std::uint64_t> Value() const;
    // The text from the start into `buffer`, at most `size` bytes; -1 when it can't be read.
    long Read(char* buffer, std::size_t size) const;

private:
    int m_fd = -1;
};

}  // namespace platform
