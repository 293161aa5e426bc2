// A cgroup of one test's own, in the hierarchy of one controller (cgroup v1, or v2 with the
// controller enabled below its root), removed at the end. Needs root and a writable cgroup tree.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace qntest {

class TestCgroup {
public:
    enum class Version { Any, V1, V2 };

    // The new cgroup, or null with the reason in `whyNot`.
    static std::unique_ptr<TestCgroup> Make(const std::string& controller, std::string& whyNot, Version version = Version::Any)
    {
        if (::geteuid() != 0) {
            whyNot = "cgroups need root";
            return nullptr;
        }
        const std::string mount = MountOf(controller, version);
        if (mount.empty()) {
            whyNot = std::string(version == Version::V1 ? "no cgroup v1" : version == Version::V2 ? "no cgroup v2" : "no cgroup") + " hierarchy has the " +
                     controller + " controller";
            return nullptr;
        }
        static int count = 0;
        const std::string folder = mount + "/qn-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
        std::error_code error;
        if (!std::filesystem::create_directory(folder, error)) {
            whyNot = "can't create " + folder + ": " + error.message();
            return nullptr;
        }
        return std::unique_ptr<TestCgroup>(new TestCgroup(folder));
    }

    // A new memory cgroup of `megabytes` without swap, or null with the reason in `whyNot`.
    static std::unique_ptr<TestCgroup> Memory(unsigned megabytes, std::string& whyNot, Version version = Version::Any)
    {
        auto cgroup = Make("memory", whyNot, version);
        if (cgroup == nullptr)
            return nullptr;
        const bool v2 = cgroup->V2();
        const std::string bytes = std::to_string(std::uint64_t{megabytes} << 20);
        if (!cgroup->Set(v2 ? "memory.max" : "memory.limit_in_bytes", bytes)) {
            whyNot = "the kernel refused the cgroup's memory limit";
            return nullptr;
        }
        // v1 has its file only where swap is accounted.
        cgroup->Set(v2 ? "memory.swap.max" : "memory.memsw.limit_in_bytes", v2 ? "0" : bytes);
        return cgroup;
    }

    ~TestCgroup() { ::rmdir(m_folder.c_str()); }
    TestCgroup(const TestCgroup&) = delete;
    TestCgroup& operator=(const TestCgroup&) = delete;

    const std::string& Folder() const { return m_folder; }
    // The memory the cgroup holds now, page cache included.
    std::uint64_t MemoryUsage() const
    {
        std::ifstream in(m_folder + (V2() ? "/memory.current" : "/memory.usage_in_bytes"));
        std::uint64_t bytes = 0;
        in >> bytes;
        return bytes;
    }
    // Writes a control file of the cgroup; false when the kernel refused it.
    bool Set(const std::string& file, const std::string& value) const
    {
        std::ofstream out(m_folder + "/" + file);
        out << value << std::endl;
        return static_cast<bool>(out);
    }

private:
    explicit TestCgroup(std::string folder) : m_folder(std::move(folder)) {}

    bool V2() const { return std::filesystem::exists(m_folder + "/cgroup.controllers"); }

    // Where `controller` can be used: its v1 hierarchy, or the v2 root with it enabled for children.
    static std::string MountOf(const std::string& controller, Version version)
    {
        std::ifstream mounts("/proc/self/mountinfo");
        std::string v2;
        for (std::string line; std::getline(mounts, line);) {
            const auto dash = line.find(" - ");
            if (dash == std::string::npos)
                continue;
            std::istringstream head(line.substr(0, dash)), tail(line.substr(dash + 3));
            std::string id, parent, device, root, point, type, source, options;
            head >> id >> parent >> device >> root >> point;
            tail >> type >> source >> options;
            if (type == "cgroup" && version != Version::V2 && ("," + options + ",").find("," + controller + ",") != std::string::npos)
                return point;
            if (type == "cgroup2" && version != Version::V1 && v2.empty())
                v2 = point;
        }
        if (v2.empty())
            return {};
        std::ifstream available(v2 + "/cgroup.controllers");
        std::string names((std::istreambuf_iterator<char>(available)), {});
        if ((" " + names).find(" " + controller) == std::string::npos)
            return {};
        std::ofstream(v2 + "/cgroup.subtree_control") << "+" << controller << std::endl;
        return v2;
    }

    std::string m_folder;
};

}  // namespace qntest
