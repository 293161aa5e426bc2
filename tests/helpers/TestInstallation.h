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

using RegistryValues = std::map<std::string, std::string>;

// The peer's identity checked on every connection, nothing encrypted.
inline const RegistryValues kIdentityChecked{{"DisableAuthentication", "0"}, {"EnablePacketPrivacy", "0"}, {"DCOMAuthenticationService", "WINNT"}};
// Plain connections.
inline const RegistryValues kPlain{{"DisableAuthentication", "1"}};

class TestInstallation {
public:
    explicit TestInstallation(const RegistryValues& values = {}) : m_values(values)
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

    // Sets a value of SOFTWARE\KORVEL and rewrites the file.
    void Set(const std::string& name, const std::string& value)
    {
        m_values[name] = value;
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
    RegistryValues m_values;
};

}  // namespace qntest
