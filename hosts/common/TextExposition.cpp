#include "hosts/common/TextExposition.h"

#include <charconv>
#include <cmath>

namespace hosts {

void TextExposition::Family(std::string_view name, std::string_view help, std::string_view type)
{
    m_page.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name).append(" ").append(type).append("\n");
}

void TextExposition::Sample(std::string_view name, std::initializer_list<Label> labels, double value)
{
    m_page.append(name);
    char separator = '{';
    for (const auto& [label, text] : labels) {
        m_page.push_back(separator);
        m_page.append(label).append("=\"");
        // Names come from the peers: a quote, a backslash or a line break must not end the value.
        for (const char c : text) {
            if (c == '\\' || c == '"')
                m_page.push_back('\\');
            m_page.append(c == '\n' ? std::string_view("\\n") : std::string_view(&c, 1));
        }
        m_page.push_back('"');
        separator = ',';
    }
    if (separator == ',')
        m_page.push_back('}');
    m_page.push_back(' ');
    Value(value);
    m_page.push_back('\n');
}

void TextExposition::Value(double value)
{
    if (std::isnan(value)) {
        m_page.append("NaN");
    } else if (std::isinf(value)) {
        m_page.append(value > 0 ? "+Inf" : "-Inf");
    } else {
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        m_page.append(text, end);
    }
}

}  // namespace hosts
