// XQNComBSTR: the support library's owning wide string (a BSTR) with formatting, comparison and
// upper-casing. A default-constructed string holds a null BSTR; comparisons treat null and empty
// alike. Not safe for concurrent modification.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "platform/Bstr.h"
#include "platform/Export.h"

class QN_EXPORT XQNComBSTR {
public:
    XQNComBSTR() noexcept = default;
    // Copies `text`; a null pointer gives a null string.
    XQNComBSTR(const OLECHAR* text);
    XQNComBSTR(const OLECHAR* text, UINT length);
    XQNComBSTR(std::u16string_view text);
    // From UTF-8.
    XQNComBSTR(const char* text);
    // The registry form of the GUID.
    explicit XQNComBSTR(const GUID& guid);
    XQNComBSTR(const XQNComBSTR& other);
    XQNComBSTR(XQNComBSTR&& other) noexcept;
    ~XQNComBSTR();

    XQNComBSTR& operator=(const XQNComBSTR& other);
    XQNComBSTR& operator=(XQNComBSTR&& other) noexcept;
    XQNComBSTR& operator+=(std::u16string_view text);
    friend QN_EXPORT XQNComBSTR operator+(const XQNComBSTR& left, std::u16string_view right);

    bool operator==(std::u16string_view text) const noexcept { return View() == text; }
    bool operator==(const OLECHAR* text) const noexcept { return View() == Plain(text); }
    bool operator==(const XQNComBSTR& other) const noexcept { return View() == other.View(); }
    bool operator<(const XQNComBSTR& other) const noexcept { return View() < other.View(); }
    bool operator<(std::u16string_view text) const noexcept { return View() < text; }

    operator BSTR() const noexcept { return m_str; }
    operator std::u16string_view() const noexcept { return View(); }
    std::u16string_view View() const noexcept { return platform::View(m_str); }
    std::string ToUtf8() const { return platform::ToUtf8(View()); }
    UINT Length() const noexcept { return SysStringLen(m_str); }
    bool IsEmpty() const noexcept { return Length() == 0; }

    // A new BSTR with the same text, owned by the caller; null when this string is null.
    BSTR Copy() const;
    // Upper-cases in place, by Unicode simple case mapping.
    void ToUpper();

    // printf-style formatting in place: %s takes wide strings (OLECHAR*, BSTR, XQNComBSTR) and
    // narrow ones, the numeric conversions take numbers.
    template <typename... Args>
    void Format(std::u16string_view format, const Args&... args)
    {
        *this = GetFormatted(format, args...);
    }
    template <typename... Args>
    static XQNComBSTR GetFormatted(std::u16string_view format, const Args&... args)
    {
        return FormatValues(format, {FormatValue(FormatArgument(args))...});
    }

    BSTR m_str = nullptr;

private:
    // An argument after C's default promotions, as printf would take it through its varargs.
    using FormatValue = std::variant<int, unsigned, long, unsigned long, long long, unsigned long long, double, std::string>;
    static XQNComBSTR FormatValues(std::u16string_view format, std::initializer_list<FormatValue> values);

    static std::string FormatArgument(const XQNComBSTR& text) { return text.ToUtf8(); }
    static std::string FormatArgument(const OLECHAR* text) { return platform::ToUtf8(Plain(text)); }
    // A NUL-terminated string that need not be a BSTR; null reads as empty.
    static std::u16string_view Plain(const OLECHAR* text) noexcept { return text == nullptr ? std::u16string_view() : std::u16string_view(text); }
    static std::string FormatArgument(const char* text) { return text; }
    static const std::string& FormatArgument(const std::string& text) { return text; }
    template <typename T>
        requires std::is_arithmetic_v<T> || std::is_enum_v<T>
    static FormatValue FormatArgument(T value)
    {
        if constexpr (std::is_enum_v<T>)
            return FormatArgument(static_cast<std::underlying_type_t<T>>(value));
        else if constexpr (std::is_floating_point_v<T>)
            return static_cast<double>(value);
        else if constexpr (sizeof(T) < sizeof(int) || std::is_same_v<T, bool>)
            return static_cast<int>(value);
        else if constexpr (std::is_signed_v<T>)
            return static_cast<std::make_signed_t<T>>(value);
        else
            return static_cast<std::make_unsigned_t<T>>(value);
    }
};
