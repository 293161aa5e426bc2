// TextExposition writes Prometheus' text exposition straight into one string: a scrape of a large
// fleet makes hundreds of thousands of series, and a registry of label maps costs many times the
// text itself. Families are written one after the other, each with its samples. Not thread-safe.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace hosts {

class TextExposition {
public:
    using Label = std::pair<std::string_view, std::string_view>;

    explicit TextExposition(std::string& page) : m_page(page) {}

    // Starts the family `name` of `type` ("gauge", "counter"); its samples follow.
    void Family(std::string_view name, std::string_view help, std::string_view type);
    // One sample of the family last started; labels in the order given (by name, as Prometheus
    // sorts them), values escaped.
    void Sample(std::string_view name, std::initializer_list<Label> labels, double value);

private:
    void Value(double value);

    std::string& m_page;
};

}  // namespace hosts
