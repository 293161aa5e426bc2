#include "interfaces/QNConvert64.h"

#include <fmt/args.h>
#include <fmt/printf.h>

#include <clocale>
#include <cwctype>
#include <new>
#include <utility>

#include <locale.h>

namespace {

BSTR Allocate(const OLECHAR* text, UINT length)
{
    BSTR result = SysAllocStringLen(text, length);
    if (result == nullptr)
        throw std::bad_alloc();
    return result;
}

// Upper-casing must not depend on the process's global locale.
locale_t UnicodeLocale()
{
    static const locale_t locale = [] {
        locale_t l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return l != static_cast<locale_t>(nullptr) ? l : ::newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    return locale;
}

}  // namespace

XQNComBSTR::XQNComBSTR(const OLECHAR* text)
    : m_str(text == nullptr ? nullptr : Allocate(text, static_cast<UINT>(std::char_traits<char16_t>::length(text))))
{
}

XQNComBSTR::XQNComBSTR(const OLECHAR* text, UINT length) : m_str(Allocate(text, length)) {}

XQNComBSTR::XQNComBSTR(std::u16string_view text) : m_str(Allocate(text.data(), static_cast<UINT>(text.size()))) {}

XQNComBSTR::XQNComBSTR(const char* text) : XQNComBSTR(std::u16string_view(platform::ToUtf16(text == nullptr ? "" : text))) {}

XQNComBSTR::XQNComBSTR(const GUID& guid) : XQNComBSTR(GuidToString(guid).c_str()) {}

XQNComBSTR::XQNComBSTR(const XQNComBSTR& other) : m_str(other.Copy()) {}

XQNComBSTR::XQNComBSTR(XQNComBSTR&& other) noexcept : m_str(std::exchange(other.m_str, nullptr)) {}

XQNComBSTR::~XQNComBSTR() { SysFreeString(m_str); }

XQNComBSTR& XQNComBSTR::operator=(const XQNComBSTR& other)
{
    if (this != &other) {
        BSTR copy = other.Copy();
        SysFreeString(m_str);
        m_str = copy;
    }
    return *this;
}

XQNComBSTR& XQNComBSTR::operator=(XQNComBSTR&& other) noexcept
{
    if (this != &other) {
        SysFreeString(m_str);
        m_str = std::exchange(other.m_str, nullptr);
    }
    return *this;
}

XQNComBSTR& XQNComBSTR::operator+=(std::u16string_view text)
{
    std::u16string joined(View());
    joined += text;
    *this = XQNComBSTR(std::u16string_view(joined));
    return *this;
}

XQNComBSTR operator+(const XQNComBSTR& left, std::u16string_view right)
{
    XQNComBSTR result(left);
    result += right;
    return result;
}

BSTR XQNComBSTR::Copy() const { return m_str == nullptr ? nullptr : Allocate(m_str, Length()); }

void XQNComBSTR::ToUpper()
{
    const UINT length = Length();
    for (UINT i = 0; i < length; ++i) {
        const char16_t unit = m_str[i];
        // Surrogates stay as they are: the names this is used for are in the basic plane.
        if (unit < 0xD800 || unit > 0xDFFF) {
            const auto upper = ::towupper_l(static_cast<wint_t>(unit), UnicodeLocale());
            if (upper <= 0xFFFF && (upper < 0xD800 || upper > 0xDFFF))
                m_str[i] = static_cast<char16_t>(upper);
        }
    }
}

XQNComBSTR XQNComBSTR::FormatValues(std::u16string_view format, std::initializer_list<FormatValue> values)
{
    fmt::dynamic_format_arg_store<fmt::printf_context> arguments;
    for (const FormatValue& value : values)
        std::visit([&arguments](const auto& argument) { arguments.push_back(argument); }, value);
    return XQNComBSTR(fmt::vsprintf(platform::ToUtf8(format), arguments).c_str());
}
