#include "hosts/system-resource-observer/FleetPage.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "hosts/system-resource-observer/MessageJson.h"
#include "hosts/system-resource-observer/PageFiles.h"
#include "observer/XResourceAgentRecords.h"

namespace hosts {

namespace {

bool ParseCount(const std::string& text, size_t& count)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    return error == std::errc() && end == text.data() + text.size();
}

bool HoldsInAnyCase(const std::string& name, const std::string& part)
{
    const auto same = [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b)); };
    return part.empty() || !std::ranges::search(name, part, same).empty();
}

XQNComBSTR KeyOf(const qn::status::MachineStatus& machine)
{
    return XResourceAgent::HistoryKey(XQNComBSTR(platform::ToUtf16(machine.machine())));
}

// Why a machine needs a look, as the page names the reasons; none when it doesn't.
std::vector<const char*> Reasons(const qn::status::MachineStatus& machine, bool emergency, double windowSec)
{
    std::vector<const char*> reasons;
    if (machine.silent())
        reasons.push_back("silent");
    if (!machine.current())
        reasons.push_back("stale");
    if (machine.alert_state() != 0 && machine.alert_age_sec() <= windowSec)
        reasons.push_back("alert");
    const double nowSec = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    if (machine.has_oom_kills() && machine.oom_kills().kill_count() > 0 && nowSec - machine.oom_kills().last_victim_time_sec() <= windowSec)
        reasons.push_back("oom");
    if (emergency)
        reasons.push_back("emergency");
    return reasons;
}

using Order = FleetQuery::Order;

constexpr std::pair<std::string_view, Order> kSortNames[] = {
    {"name", Order::Name},         {"cpu", Order::Cpu},      {"physical", Order::FreePhysical}, {"commit", Order::FreeCommit},
    {"pressure", Order::Pressure}, {"oom", Order::OomKills}, {"age", Order::SampleAge},
};

bool ParseSort(const std::string& text, Order& order)
{
    const auto* found = std::ranges::find(kSortNames, text, &std::pair<std::string_view, Order>::first);
    if (found == std::end(kSortNames))
        return false;
    order = found->second;
    return true;
}

// The figure of the column that `order` sorts by; none when the machine did not send it.
std::optional<double> SortFigure(const qn::status::MachineStatus& machine, Order order)
{
    switch (order) {
    case Order::Cpu:
        return machine.has_cpu_load_percent() ? std::optional(machine.cpu_load_percent()) : std::nullopt;
    case Order::FreePhysical:
        return machine.avail_physical_kb();
    case Order::FreeCommit:
        return machine.avail_page_file_kb();
    case Order::Pressure:
        return machine.pressure().has_memory_some() ? std::optional(machine.pressure().memory_some().avg10_percent()) : std::nullopt;
    case Order::OomKills:
        return machine.has_oom_kills() ? std::optional<double>(machine.oom_kills().kill_count()) : std::nullopt;
    case Order::SampleAge:
        return machine.newest_sample_age_sec();
    case Order::Look:
    case Order::Name:
        break;
    }
    return std::nullopt;
}

// Where a machine stands in a view: the smaller comes first.
struct Rank {
    bool after = false;  // needs no look, in the look-first order; sent no figure, in a column's
    double figure = 0;   // the column's, negated when descending
    size_t nameOrder = 0;
    auto operator<=>(const Rank&) const = default;
};

Rank RankOf(const qn::status::MachineStatus& machine, bool needsLook, size_t nameOrder, const FleetQuery& query)
{
    const double sign = query.descending ? -1.0 : 1.0;
    if (query.order == Order::Look)
        return {!needsLook, 0, nameOrder};
    if (query.order == Order::Name)
        return {false, sign * static_cast<double>(nameOrder), nameOrder};
    const auto figure = SortFigure(machine, query.order);
    return {!figure, figure ? sign * *figure : 0, nameOrder};
}

// Two hex digits a value: a page of 100 machines with full trends stays under 200 KB before
// compression.
template <typename Values>
void AppendHex(const char* name, const Values& values, std::string& out)
{
    constexpr char kDigits[] = "0123456789abcdef";
    out.append(",\"").append(name).append("\":\"");
    for (const auto value : values) {
        const auto byte = static_cast<std::uint8_t>(value);
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0xF]);
    }
    out.push_back('"');
}

void AppendTrend(const MachineTrends::Trend& trend, std::string& out)
{
    out.append("{\"none\":").append(std::to_string(MachineTrends::kNone));
    AppendHex("cyclesAgo", trend.cyclesAgo, out);
    AppendHex("cpu", trend.cpu, out);
    AppendHex("freePhysical", trend.freePhysical, out);
    AppendHex("freeCommit", trend.freeCommit, out);
    AppendHex("memoryPressure", trend.memoryPressure, out);
    out.push_back('}');
}

void AppendEvents(const std::vector<MachineTrends::Event>& events, std::string& out)
{
    out.push_back('[');
    for (size_t i = 0; i < events.size(); ++i) {
        out.append(i > 0 ? ",{\"ageSec\":" : "{\"ageSec\":");
        AppendNumber(events[i].ageSec, out);
        out.append(",\"text\":");
        AppendString(events[i].text, out);
        out.push_back('}');
    }
    out.push_back(']');
}

}  // namespace

std::optional<FleetQuery> FleetQuery::FromParameters(const LoopbackHttp::Parameters& parameters)
{
    FleetQuery query;
    LoopbackHttp::Parameters statusParameters;
    for (const auto& [name, value] : parameters) {
        if (name == "only")
            statusParameters.emplace(name, value);
        else if (name == "name")
            query.name = value;
        else if (name == "order" && (value == "asc" || value == "desc"))
            query.descending = value == "desc";
        else if (!(name == "sort" && ParseSort(value, query.order)) && !(name == "offset" && ParseCount(value, query.offset)) &&
                 !(name == "limit" && ParseCount(value, query.limit)))
            return std::nullopt;
    }
    const auto status = StatusQuery::FromParameters(statusParameters);
    // No fleet is near the largest offset: one there would only overflow the page's end.
    constexpr size_t kMaxOffset = std::numeric_limits<std::uint32_t>::max();
    if (!status || query.limit == 0 || query.limit > kMaxLimit || query.offset > kMaxOffset)
        return std::nullopt;
    query.status = *status;
    return query;
}

std::string FleetJson(const MachineBook& book, const MachineTrends& trends, const FleetQuery& query)
{
    const double windowSec = std::chrono::duration<double>(trends.Window()).count();
    const std::vector<XQNComBSTR> emergencies = trends.RecentEmergencies();
    struct Shown {
        Rank rank;
        qn::status::MachineStatus status;
        std::vector<const char*> reasons;
    };
    // Only the first offset + limit of the view are kept, the last of them on top of this heap: a
    // machine is copied only when it can be on the page.
    std::vector<Shown> kept;
    const auto before = [](const Shown& a, const Shown& b) { return a.rank < b.rank; };
    size_t total = 0, needLook = 0;
    const size_t end = query.offset + query.limit;
    book.Status(query.status, [&](const qn::status::MachineStatus& machine, size_t) {
        if (!HoldsInAnyCase(machine.machine(), query.name))
            return;
        const bool emergency = !emergencies.empty() && std::ranges::binary_search(emergencies, KeyOf(machine));
        auto reasons = Reasons(machine, emergency, windowSec);
        needLook += reasons.empty() ? 0 : 1;
        const Rank rank = RankOf(machine, !reasons.empty(), total++, query);
        if (kept.size() == end) {
            if (!(rank < kept.front().rank))
                return;
            std::ranges::pop_heap(kept, before);
            kept.pop_back();
        }
        kept.push_back({rank, machine, std::move(reasons)});
        std::ranges::push_heap(kept, before);
    });
    std::ranges::sort_heap(kept, before);

    std::string json = "{\"total\":" + std::to_string(total) + ",\"needLook\":" + std::to_string(needLook) +
                       ",\"offset\":" + std::to_string(query.offset) + ",\"cycleSec\":";
    AppendNumber(std::chrono::duration<double>(trends.Cycle()).count(), json);
    json.append(",\"cycles\":").append(std::to_string(MachineTrends::kCycles)).append(",\"machines\":[");
    for (size_t i = query.offset; i < kept.size(); ++i) {
        const Shown& machine = kept[i];
        const XQNComBSTR key = KeyOf(machine.status);
        json.append(i > query.offset ? ",\n{\"status\":" : "\n{\"status\":");
        AppendJson(machine.status, json);
        json.append(",\"reasons\":[");
        for (size_t r = 0; r < machine.reasons.size(); ++r)
            json.append(r > 0 ? ",\"" : "\"").append(machine.reasons[r]).push_back('"');
        json.append("],\"trend\":");
        AppendTrend(trends.TrendOf(key), json);
        json.append(",\"events\":");
        AppendEvents(trends.EventsOf(key), json);
        json.push_back('}');
    }
    json.append("]}\n");
    return json;
}

void ServeFleetPage(LoopbackHttp& http, const MachineBook& book, const MachineTrends& trends)
{
    for (const PageFile& file : PageFiles())
        http.Serve(std::string(file.path), [&file] { return LoopbackHttp::Page{std::string(file.body), std::string(file.contentType)}; });
    http.Serve("/fleet", [&book, &trends](const LoopbackHttp::Parameters& parameters) {
        const auto query = FleetQuery::FromParameters(parameters);
        if (!query)
            return LoopbackHttp::Page{"the fleet takes only=silent|alert, name=TEXT, sort=name|cpu|physical|commit|pressure|oom|age, "
                                      "order=asc|desc, offset=N and limit=1..100\n",
                                      "text/plain", 400};
        return LoopbackHttp::Page{FleetJson(book, trends, *query), "application/json"};
    });
}

}  // namespace hosts
