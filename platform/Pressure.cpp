#include "platform/Pressure.h"

#include <cstdio>
#include <cstring>

namespace platform {

namespace {

// Two lines of some 70 characters each.
constexpr std::size_t kPressureTextSize = 256;

// Reads the "some" and "full" lines of one file:
//   some avg10=0.12 avg60=0.05 avg300=0.01 total=123456
void ReadPressureFile(const CgroupFile& file, tagQNPressureFigures& some, tagQNPressureFigures& full)
{
    char text[kPressureTextSize];
    const long length = file.Read(text, sizeof text - 1);
    if (length <= 0)
        return;
    text[length] = '\0';
    char kind[8] = {};
    double avg10 = 0.0, avg60 = 0.0, avg300 = 0.0;
    unsigned long long total = 0;
    int used = 0;
    for (const char* at = text; std::sscanf(at, "%7s avg10=%lf avg60=%lf avg300=%lf total=%llu%n", kind, &avg10, &avg60, &avg300, &total, &used) == 5;
         at += used) {
        tagQNPressureFigures* figures = std::strcmp(kind, "some") == 0 ? &some : std::strcmp(kind, "full") == 0 ? &full : nullptr;
        if (figures != nullptr)
            *figures = {1, avg10, avg60, total};
    }
}

tagQNMachinePressure ReadPressure(const CgroupFile& cpu, const CgroupFile& memory, const CgroupFile& io)
{
    tagQNMachinePressure pressure{};
    ReadPressureFile(cpu, pressure.cpuSome, pressure.cpuFull);
    ReadPressureFile(memory, pressure.memorySome, pressure.memoryFull);
    ReadPressureFile(io, pressure.ioSome, pressure.ioFull);
    return pressure;
}

}  // namespace

tagQNMachinePressure ReadMachinePressure(const std::string& folder)
{
    return ReadPressure(CgroupFile(folder + "/cpu"), CgroupFile(folder + "/memory"), CgroupFile(folder + "/io"));
}

CgroupPressure::CgroupPressure(const std::string& folder) : m_folder(folder)
{
    if (folder.empty())
        return;
    m_cpu = CgroupFile(folder + "/cpu.pressure");
    m_memory = CgroupFile(folder + "/memory.pressure");
    m_io = CgroupFile(folder + "/io.pressure");
}

tagQNMachinePressure CgroupPressure::Read() const
{
    return ReadPressure(m_cpu, m_memory, m_io);
}

}  // namespace platform
