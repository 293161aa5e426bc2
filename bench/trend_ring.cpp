// trend_ring: the heap that the system observer's trend ring takes a machine, kept as the daemon
// keeps it (a full ring, names like the fleet's):
//   trend_ring [MACHINES...]   (default 1000 10000)
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hosts/system-resource-observer/MachineTrends.h"
#include "platform/Bstr.h"

int main(int argc, char** argv)
{
    std::vector<int> sizes{1000, 10000};
    if (argc > 1)
        sizes.assign(argc - 1, 0);
    for (int i = 1; i < argc; ++i)
        sizes[static_cast<size_t>(i - 1)] = std::atoi(argv[i]);
    for (const int machines : sizes) {
        const size_t before = ::mallinfo2().uordblks;
        {
            hosts::MachineTrends trends(std::chrono::nanoseconds(1), static_cast<size_t>(machines));
            tagQNSystemResourceInformation info{};
            info.dataValid = 1;
            // A cycle of a nanosecond: every sample a cycle of its own, and the ring full.
            for (int sample = 0; sample < hosts::MachineTrends::kCycles; ++sample)
                for (int machine = 0; machine < machines; ++machine) {
                    XQNComBSTR name(platform::ToUtf16("fleet-" + std::to_string(machine)));
                    trends.SampleArrived(name, info, nullptr);
                }
            std::printf("%8d machines: trend ring %.0f B a machine (heap, with its key and map node)\n", machines,
                        static_cast<double>(::mallinfo2().uordblks - before) / machines);
        }
    }
    return 0;
}
