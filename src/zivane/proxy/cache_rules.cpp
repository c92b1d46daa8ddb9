#include "proxy/cache_rules.hpp"

#include "proxy/resume.hpp"
#include "support/ascii.hpp"

#include <algorithm>
#include <cmath>

namespace zv::proxy::cache {
namespace {

// A heuristic lifetime is never longer than this: beyond a day, RFC 7234 wanted a warning.
constexpr double kHeuristicCap = 24 * 3600.0;
// A "not found" or "gone" with nothing to go by (a missing favicon, asked on every page)
// is taken to last this long: RFC 9111 4.2.2 leaves heuristics to the cache, and a reload
// (max-age=0) asks again at once.
constexpr double kNegativeHeuristic = 300.0;
// A Vary list a cache keeps variants by: longer ones are not stored (each name multiplies
// the variants one URL may take).
constexpr std::size_t kVaryNames = 8;
constexpr std::size_t kVaryValueBytes = 1024;

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string lower(std::string_view text) {
    std::string out(text.size(), '\0');
    ascii::copy_lower(out.data(), text.data(), text.size());
    return out;
}

// Calls `each(name, value)` for every comma-separated item of `text`; commas inside
// quoted strings do not separate, and quotes are taken off values.
template <class Each>
void for_each_item(std::string_view text, Each&& each) {
    while (!text.empty()) {
        std::size_t end = 0;
        bool quoted = false;
        for (; end < text.size() && (quoted || text[end] != ','); ++end) {
            if (text[end] == '"') quoted = !quoted;
            if (text[end] == '\\' && quoted) ++end;
        }
        std::string_view item = trim(text.substr(0, std::min(end, text.size())));
        text.remove_prefix(std::min(end + 1, text.size()));
        std::size_t eq = item.find('=');
        std::string_view value =
            eq == std::string_view::npos ? std::string_view() : trim(item.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (!item.empty()) each(lower(trim(item.substr(0, eq))), value, eq != std::string_view::npos);
    }
}

// delta-seconds; an invalid number is 0 (stale), a huge one 2^31 (RFC 9111 1.2.2).
double seconds_of(std::string_view text) {
    constexpr double kLongest = 2147483648.0;
    if (text.empty()) return 0;
    double value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = std::min(kLongest, value * 10 + (c - '0'));
    }
    return value;
}

// The smaller of two directive values (the more careful one when one is sent twice).
void keep_least(double& slot, double value) { slot = slot < 0 ? value : std::min(slot, value); }

bool is_cache_control(const http::Field& field) { return ascii::equals_lower(field.name, "cache-control"); }

std::optional<double> date_field(const http::Head& head, std::string_view name) {
    const std::string* value = head.find(name);
    std::optional<std::int64_t> seconds = value ? resume::parse_http_date(*value) : std::nullopt;
    return seconds ? std::optional<double>(double(*seconds)) : std::nullopt;
}

bool heuristically_cacheable(int status) {
    static constexpr int kStatuses[] = {200, 203, 204, 206, 300, 301, 308, 404, 405, 410, 414, 501};
    return std::find(std::begin(kStatuses), std::end(kStatuses), status) != std::end(kStatuses);
}

// Statuses whose meaning this cache knows well enough to keep (RFC 9111 3: "understood").
bool understood(int status) {
    static constexpr int kStatuses[] = {200, 203, 204, 300, 301, 302, 307, 308, 404, 405, 410, 414, 451, 501};
    return std::find(std::begin(kStatuses), std::end(kStatuses), status) != std::end(kStatuses);
}

bool has_explicit_expiry(const http::Head& answer, const Control& control) {
    return control.max_age >= 0 || answer.find("expires");
}

std::string joined_values(const http::Head& head, std::string_view lower_name, bool& present) {
    std::string out;
    present = false;
    for (const http::Field& f : head.fields) {
        if (!ascii::equals_lower(f.name, lower_name)) continue;
        if (present) out += ", ";
        out += trim(f.value);
        present = true;
    }
    return out;
}

}  // namespace

Control read_control(const http::Head& head, bool request) {
    Control c;
    bool any = false;
    for (const http::Field& field : head.fields) {
        if (!is_cache_control(field)) continue;
        any = true;
        for_each_item(field.value, [&](const std::string& name, std::string_view value, bool has_value) {
            if (name == "no-store")
                c.no_store = true;
            else if (name == "no-cache")
                c.no_cache = true;  // a field list too: treated as the whole
            else if (name == "must-revalidate" || name == "proxy-revalidate")
                c.must_revalidate = true;
            else if (name == "public")
                c.is_public = true;
            else if (name == "private")
                c.is_private = true;  // a field list too: treated as the whole
            else if (name == "max-age")
                keep_least(c.max_age, seconds_of(value));
            else if (name == "min-fresh")
                keep_least(c.min_fresh, seconds_of(value));
            else if (name == "max-stale")
                has_value ? keep_least(c.max_stale, seconds_of(value)) : void(c.max_stale_any = true);
            else if (name == "stale-while-revalidate")
                keep_least(c.stale_while_revalidate, seconds_of(value));
            else if (name == "stale-if-error")
                keep_least(c.stale_if_error, seconds_of(value));
        });
    }
    if (request && !any && head.lists("pragma", "no-cache")) c.no_cache = true;
    return c;
}

bool vary_values(const http::Head& answer, const http::Head& request, std::vector<VaryValue>& out) {
    out.clear();
    bool unstorable = false;
    for (const http::Field& field : answer.fields) {
        if (!ascii::equals_lower(field.name, "vary")) continue;
        for_each_item(field.value, [&](const std::string& name, std::string_view, bool) {
            if (name == "*" || out.size() >= kVaryNames) unstorable = true;
            if (unstorable || std::any_of(out.begin(), out.end(), [&](auto& v) { return v.name == name; }))
                return;
            VaryValue v{name};
            v.value = joined_values(request, name, v.present);
            if (v.value.size() > kVaryValueBytes) unstorable = true;
            out.push_back(std::move(v));
        });
    }
    return !unstorable;
}

bool vary_matches(const std::vector<VaryValue>& stored, const http::Head& request) {
    for (const VaryValue& v : stored) {
        bool present = false;
        std::string value = joined_values(request, v.name, present);
        if (present != v.present || value != v.value) return false;
    }
    return true;
}

double current_age(const http::Head& stored, const Times& t, double now) {
    double date = date_field(stored, "date").value_or(t.response_time);
    double apparent = std::max(0.0, t.response_time - date);
    const std::string* age_field = stored.find("age");
    double age_value = age_field ? seconds_of(trim(*age_field)) : 0;
    double corrected = age_value + std::max(0.0, t.response_time - t.request_time);
    return std::max(apparent, corrected) + std::max(0.0, now - t.response_time);
}

double freshness_lifetime(const http::Head& stored, const Times& t) {
    Control control = read_control(stored, false);
    if (control.max_age >= 0) return control.max_age;
    double date = date_field(stored, "date").value_or(t.response_time);
    if (stored.find("expires")) {
        std::optional<double> expires = date_field(stored, "expires");
        return expires ? std::max(0.0, *expires - date) : 0;  // an invalid Expires is in the past
    }
    std::optional<double> modified = date_field(stored, "last-modified");
    if (!modified && (stored.status == 404 || stored.status == 410)) return kNegativeHeuristic;
    if (!modified || !(heuristically_cacheable(stored.status) || control.is_public)) return 0;
    return std::min(kHeuristicCap, std::max(0.0, (date - *modified) / 10));
}

std::string refusal_to_store(const http::Head& request, const Control& asked, const http::Head& answer,
                             bool shared) {
    Control control = read_control(answer, false);
    std::vector<VaryValue> vary;
    if (asked.no_store || control.no_store) return "no-store";
    if (shared && control.is_private) return "private";
    if (!understood(answer.status)) return "status";
    if (!vary_values(answer, request, vary)) return "vary";
    // A cookie set for one browser must not reach another; a stored page without the
    // cookie its site set with it would leave the browser signed out: neither is stored.
    if (answer.find("set-cookie")) return "set-cookie";
    if (request.find("authorization") && !control.is_public && !control.must_revalidate)
        return "authorization";
    // Browsers of several machines share a wide proxy: what one got for its cookie (its
    // account, its basket) is kept only when the site says it is for everyone.
    if (shared && request.find("cookie") && !control.is_public) return "cookie";
    if (!has_explicit_expiry(answer, control) && !heuristically_cacheable(answer.status) &&
        !control.is_public)
        return "no freshness";
    return {};
}

Judgement judge(const http::Head& stored, const Times& times, const Control& asked, double now) {
    Judgement j;
    Control control = read_control(stored, false);
    j.age = current_age(stored, times, now);
    double lifetime = freshness_lifetime(stored, times);
    j.stale = j.age >= lifetime;
    if (control.no_cache || asked.no_cache || asked.no_store) return j;  // only once confirmed
    if (asked.max_age >= 0 && j.age > asked.max_age) return j;
    if (!j.stale) {
        bool fresh_enough = asked.min_fresh < 0 || lifetime - j.age >= asked.min_fresh;
        j.use = fresh_enough ? Use::Fresh : Use::Revalidate;
        return j;
    }
    double over = j.age - lifetime;
    bool asked_stale = asked.max_stale_any || (asked.max_stale >= 0 && over <= asked.max_stale);
    bool while_revalidating = control.stale_while_revalidate >= 0 && over <= control.stale_while_revalidate;
    if (!control.must_revalidate && (asked_stale || while_revalidating)) j.use = Use::Stale;
    return j;
}

bool may_stand_in(const http::Head& stored, const Times& times, const Control& asked, double now,
                  bool unreachable) {
    Control control = read_control(stored, false);
    if (control.no_cache || control.must_revalidate) return false;
    if (unreachable) return true;
    double window = std::max(control.stale_if_error, asked.stale_if_error);
    double over = current_age(stored, times, now) - freshness_lifetime(stored, times);
    return window >= 0 && over <= window;
}

std::vector<http::Field> validators(const http::Head& stored) {
    std::vector<http::Field> out;
    if (const std::string* etag = stored.find("etag")) out.push_back({"If-None-Match", *etag});
    if (const std::string* modified = stored.find("last-modified"))
        out.push_back({"If-Modified-Since", *modified});
    return out;
}

namespace {

// The entity-tag without its weakness mark (the weak comparison of RFC 9110 8.8.3.2).
std::string_view opaque_tag(std::string_view tag) {
    tag = trim(tag);
    return tag.starts_with("W/") ? tag.substr(2) : tag;
}

}  // namespace

bool not_modified_for(const http::Head& request, const http::Head& stored) {
    const std::string* etag = stored.find("etag");
    bool has_tags = false, tag_matches = false;
    for (const http::Field& field : request.fields) {
        if (!ascii::equals_lower(field.name, "if-none-match")) continue;
        has_tags = true;
        std::string_view list = field.value;
        while (!list.empty()) {
            std::size_t comma = list.find(',');
            std::string_view tag = opaque_tag(list.substr(0, comma));
            list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
            if (tag == "*" || (etag && tag == opaque_tag(*etag))) tag_matches = true;
        }
    }
    if (has_tags) return tag_matches;  // If-Modified-Since is ignored beside If-None-Match
    std::optional<double> since = date_field(request, "if-modified-since");
    std::optional<double> modified = date_field(stored, "last-modified");
    return since && modified && *modified <= *since;
}

http::Head not_modified_head(const http::Head& stored) {
    http::Head head = stored;
    head.status = 304;
    head.reason = "Not Modified";
    std::erase_if(head.fields, [](const http::Field& f) {
        std::string name = lower(f.name);
        return name.starts_with("content-") && name != "content-location";
    });
    head.framing = http::Framing::None;
    head.content_length = 0;
    return head;
}

bool never_stored(std::string_view name) {
    static constexpr std::string_view kNames[] = {"set-cookie", "set-cookie2", "content-length",
                                                  "transfer-encoding", "warning"};
    return std::any_of(std::begin(kNames), std::end(kNames),
                       [&](auto n) { return ascii::equals_lower(name, n); });
}

void refresh(http::Head& stored, const http::Head& not_modified) {
    auto kept_as_stored = [](std::string_view name) {
        return never_stored(name) || ascii::equals_lower(name, "content-encoding") ||
               ascii::equals_lower(name, "content-range");
    };
    for (const http::Field& field : not_modified.fields) {
        if (kept_as_stored(field.name)) continue;
        std::string name = lower(field.name);
        stored.remove(name);
    }
    for (const http::Field& field : not_modified.fields)
        if (!kept_as_stored(field.name)) stored.fields.push_back(field);
}

}  // namespace zv::proxy::cache
