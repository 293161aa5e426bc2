// A private installation for one test: a folder that other users may enter, and a registry file
// that KORVEL_REGISTRY points at.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace qntest {

class TestInstallation {
public:
    TestInstallation()
    {
        char pattern[] = "/tmp/qn-test-XXXXXX";
        m_folder = ::mkdtemp(pattern);
        ::chmod(m_folder.c_str(), 0755);
        ::setenv("KORVEL_REGISTRY", Path("registry.ini").c_str(), 1);
        Set("ResourceObserverSocket", Path("observer.sock"));
    }
    ~TestInstallation()
    {
        ::unsetenv("KORVEL_REGISTRY");
        std::filesystem::remove_all(m_folder);
    }
    TestInstallation(const TestInstallation&) = delete;
    TestInstallation& operator=(const TestInstallation&) = delete;

    std::string Path(const std::string& name) const { return m_folder + "/" + name; }
    std::string SocketPath() const { return Path("observer.sock"); }

    // Sets a value of SOFTWARE\KORVEL (or removes it for an empty optional) and rewrites the file.
    void Set(const std::string& name, const std::string& value)
    {
        m_values[name] = value;
        Write();
    }
    std::string Get(const std::string& name) const { return m_values.at(name); }
    void Remove(const std::string& name)
    {
        m_values.erase(name);
        Write();
    }

private:
    void Write() const
    {
        std::ofstream file(Path("registry.ini"));
        file << "[SOFTWARE\\KORVEL]\n";
        for (const auto& [name, value] : m_values)
            file << name << "=" << value << "\n";
    }

    std::string m_folder;
    std::map<std::string, std::string> m_values;
};

}  // namespace qntest
