#include "platform/Registry.h"

#include <INIReader.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

struct RegistryKey {
    INIReader file;
};

namespace {

constexpr const char* kDefaultFile = "/etc/korvel/registry.ini";
constexpr const char* kSection = "SOFTWARE\\KORVEL";

const char* RegistryFile()
{
    const char* path = std::getenv("KORVEL_REGISTRY");
    return path != nullptr && *path != '\0' ? path : kDefaultFile;
}

bool Lookup(const INIReader& file, const char* name, std::string& value)
{
    if (!file.HasValue(kSection, name))
        return false;
    value = file.Get(kSection, name, "");
    return true;
}

}  // namespace

LONG RegOpenKeyExW(HKEY root, const char16_t* subKey, DWORD, REGSAM, HKEY* key)
{
    *key = nullptr;
    if (root != HKEY_LOCAL_MACHINE || subKey == nullptr || platform::ToUtf8(subKey) != kSection)
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    auto opened = std::make_unique<RegistryKey>(RegistryKey{INIReader(RegistryFile())});
    if (opened->file.ParseError() != 0)
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    *key = opened.release();
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD*, DWORD* type, BYTE* data, DWORD* size)
{
    std::string text;
    if (key == nullptr || name == nullptr || !Lookup(key->file, platform::ToUtf8(name).c_str(), text))
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    const std::u16string wide = platform::ToUtf16(text);
    const auto needed = static_cast<DWORD>((wide.size() + 1) * sizeof(char16_t));
    if (type != nullptr)
        *type = REG_SZ;
    if (data == nullptr) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return static_cast<LONG>(ERROR_MORE_DATA);
    }
    std::memcpy(data, wide.c_str(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    delete key;
    return ERROR_SUCCESS;
}

std::optional<std::string> platform::ReadKorvelValue(const char* name)
{
    INIReader file(RegistryFile());
    std::string value;
    if (file.ParseError() != 0 || !Lookup(file, name, value))
        return std::nullopt;
    return value;
}

std::optional<std::string> platform::ReadKorvelFile(const char* name)
{
    const auto path = ReadKorvelValue(name);
    return path ? ReadTextFile(*path) : std::nullopt;
}

std::optional<std::string> platform::ReadTextFile(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void VariantInit(VARIANT* value)
{
    value->vt = VT_EMPTY;
    value->bstrVal = nullptr;
}

HRESULT VariantClear(VARIANT* value)
{
    if (value->vt == VT_BSTR)
        SysFreeString(value->bstrVal);
    VariantInit(value);
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* target, const VARIANT* source, USHORT, USHORT type)
{
    if (source->vt != VT_BSTR)
        return DISP_E_TYPEMISMATCH;
    if (type == VT_BSTR) {
        BSTR copy = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
        VariantClear(target);
        target->vt = VT_BSTR;
        target->bstrVal = copy;
        return S_OK;
    }
    if (type != VT_INT)
        return DISP_E_TYPEMISMATCH;
    std::string text = platform::ToUtf8(platform::View(source->bstrVal));
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc::result_out_of_range)
        return DISP_E_OVERFLOW;
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return DISP_E_TYPEMISMATCH;
    VariantClear(target);
    target->vt = VT_INT;
    target->intVal = number;
    return S_OK;
}
