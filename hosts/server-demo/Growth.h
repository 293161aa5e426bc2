// A resource grown at a steady rate until the kernel refuses it or a cap is reached, so that an
// operator can rehearse the emergencies on a staging machine: memory in MB/s (allocated and
// touched), descriptors or threads per second, or page cache in MB/s (a file written), which must
// raise nothing. The rate is physical time, whatever QN_TIME_SCALE says, as the kernel's limits are
// met at the machine's own speed.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace demo {

enum class GrowthKind { Memory, Files, Threads, Cache };

struct GrowthOrder {
    GrowthKind kind = GrowthKind::Memory;
    double perSecond = 0;
    unsigned cap = 0;  // MB, files or threads; 0: until refused
};

// "memory:MB_PER_S", "files:PER_S", "threads:PER_S" or "cache:MB_PER_S"; nullopt for anything else.
std::optional<GrowthOrder> ParseGrowth(const std::string& text);

// Grows from construction on, on a thread of its own, and tells each step's end on standard
// output with the CLOCK_MONOTONIC time: "grow memory refused after 212 MB at 1234.567890 s" or
// "grow files reached its cap of 900 at ...". Holds what it grew until destroyed. The cache is an
// unlinked file in $TMPDIR or else /var/tmp, which lies on disk where /tmp may be a tmpfs: pages
// of a tmpfs are shared memory, which the kernel can't take back without swap.
class Growth {
public:
    explicit Growth(const GrowthOrder& order);
    ~Growth();
    Growth(const Growth&) = delete;
    Growth& operator=(const Growth&) = delete;

private:
    void Run();
    bool GrowOne();  // false when the kernel refused

    GrowthOrder m_order;
    std::atomic<bool> m_stop{false};
    std::vector<std::unique_ptr<char[]>> m_memory;
    std::vector<int> m_files;
    std::vector<std::thread> m_threads;
    int m_cacheFile = -1;
    std::thread m_grower;
};

// Seconds on CLOCK_MONOTONIC, which every process of the machine shares.
double MonotonicSeconds();

}  // namespace demo
