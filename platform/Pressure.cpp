#include "platform/Pressure.h"

#include <cstdio>
#include <cstring>

namespace platform {

namespace {

// Reads the "some" and "full" lines of one file:
//   some avg10=0.12 avg60=0.05 avg300=0.01 total=123456
void ReadPressureFile(const std::string& path, tagQNPressureFigures& some, tagQNPressureFigures& full)
{
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr)
        return;
    char kind[8] = {};
    double avg10 = 0.0, avg60 = 0.0, avg300 = 0.0;
    unsigned long long total = 0;
    while (std::fscanf(file, "%7s avg10=%lf avg60=%lf avg300=%lf total=%llu", kind, &avg10, &avg60, &avg300, &total) == 5) {
        tagQNPressureFigures* figures = std::strcmp(kind, "some") == 0 ? &some : std::strcmp(kind, "full") == 0 ? &full : nullptr;
        if (figures != nullptr)
            *figures = {1, avg10, avg60, total};
    }
    std::fclose(file);
}

}  // namespace

tagQNMachinePressure ReadMachinePressure(const std::string& folder)
{
    tagQNMachinePressure pressure{};
    ReadPressureFile(folder + "/cpu", pressure.cpuSome, pressure.cpuFull);
    ReadPressureFile(folder + "/memory", pressure.memorySome, pressure.memoryFull);
    ReadPressureFile(folder + "/io", pressure.ioSome, pressure.ioFull);
    return pressure;
}

}  // namespace platform
