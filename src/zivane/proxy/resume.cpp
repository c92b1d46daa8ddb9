#include "proxy/resume.hpp"

#include "support/ascii.hpp"
#include "support/calendar.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace zv::proxy::resume {
namespace {

std::size_t count(const http::Head& head, std::string_view lower_name) {
    return std::size_t(std::count_if(head.fields.begin(), head.fields.end(), [&](const http::Field& field) {
        return ascii::equals_lower(field.name, lower_name);
    }));
}

// A GET for the whole resource with no body: the only kind whose answer is continued.
bool request_allows(const http::Head& request) {
    const std::string* length = request.find("content-length");
    return request.method == "GET" && request.framing == http::Framing::None && !request.find("range") &&
           !request.find("if-range") && !request.find("transfer-encoding") && (!length || *length == "0");
}

// `"..."` with entity-tag characters inside (RFC 9110 8.8.3); a weak tag starts with W/.
bool is_strong_entity_tag(std::string_view tag) {
    if (tag.size() < 2 || tag.front() != '"' || tag.back() != '"') return false;
    return std::all_of(tag.begin() + 1, tag.end() - 1, [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte == 0x21 || (byte >= 0x23 && byte != 0x7f);
    });
}

// The validator If-Range may carry (RFC 9110 13.1.5): a strong ETag; without any ETag, a
// Last-Modified at least a second before the answer's Date (8.8.2.2), as a date so close
// to the answer may name two versions made within the same second.
bool take_validator(const http::Head& answer, Plan& plan) {
    if (count(answer, "etag") > 1 || count(answer, "last-modified") > 1) return false;
    if (const std::string* tag = answer.find("etag")) {
        if (!is_strong_entity_tag(*tag)) return false;
        plan.validator = *tag;
        plan.by_entity_tag = true;
        return true;
    }
    const std::string* modified = answer.find("last-modified");
    const std::string* date = answer.find("date");
    std::optional<std::int64_t> modified_at = modified ? parse_http_date(*modified) : std::nullopt;
    std::optional<std::int64_t> dated = date ? parse_http_date(*date) : std::nullopt;
    if (!modified_at || !dated || *dated < *modified_at + 1) return false;
    plan.validator = *modified;
    return true;
}

struct ContentRange {
    std::uint64_t first = 0, last = 0, total = 0;
};

// Digits from the front of `text` into `value`; false for none, or more than fit.
bool take_number(std::string_view& text, std::uint64_t& value) {
    std::size_t n = 0;
    value = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') {
        if (n == 18) return false;
        value = value * 10 + std::uint64_t(text[n] - '0');
        ++n;
    }
    text.remove_prefix(n);
    return n > 0;
}

bool take_char(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

// "bytes first-last/total" (RFC 9110 14.4), a total known.
bool parse_content_range(std::string_view text, ContentRange& range) {
    if (text.size() < 6 || !ascii::equals_lower(text.substr(0, 5), "bytes") || text[5] != ' ') return false;
    text.remove_prefix(6);
    return take_number(text, range.first) && take_char(text, '-') && take_number(text, range.last) &&
           take_char(text, '/') && take_number(text, range.total) && text.empty() &&
           range.first <= range.last && range.last < range.total;
}

int month_number(const char* name) {
    static constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    auto found = std::find(kMonths.begin(), kMonths.end(), std::string_view(name));
    return found == kMonths.end() ? 0 : int(found - kMonths.begin()) + 1;
}

}  // namespace

std::optional<std::int64_t> parse_http_date(std::string_view text) {
    if (text.size() > 40) return std::nullopt;
    const std::string s(text);
    char weekday[10] = {}, month[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = -1;
    const int length = int(s.size());
    auto whole = [&](int fields, int wanted) { return fields == wanted && used == length; };
    bool read = whole(std::sscanf(s.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT%n", weekday,
                                  &day, month, &year, &hour, &minute, &second, &used),
                      7);
    if (!read) {
        used = -1;
        read = whole(std::sscanf(s.c_str(), "%9[A-Za-z], %2d-%3[A-Za-z]-%2d %2d:%2d:%2d GMT%n", weekday, &day,
                                 month, &year, &hour, &minute, &second, &used),
                     7);
        if (read) year += year < 70 ? 2000 : 1900;
    }
    if (!read) {
        used = -1;
        read = whole(std::sscanf(s.c_str(), "%3[A-Za-z] %3[A-Za-z] %2d %2d:%2d:%2d %4d%n", weekday, month,
                                 &day, &hour, &minute, &second, &year, &used),
                     7);
    }
    const int month_no = read ? month_number(month) : 0;
    if (!month_no || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || year < 1900)
        return std::nullopt;
    return calendar::days_from_civil(year, unsigned(month_no), unsigned(day)) * 86400 + hour * 3600 +
           minute * 60 + second;
}

bool Plan::another_try() {
    if (tries >= kMaxTries || received >= total) return false;
    if (tries > 0 && received == received_at_try) return false;
    ++tries;
    received_at_try = received;
    continuing = true;
    return true;
}

std::optional<Plan> plan_for(const http::Head& request, const http::Head& answer) {
    if (!request_allows(request) || answer.status != 200 || answer.framing != http::Framing::Length ||
        answer.content_length == 0 || !answer.lists("accept-ranges", "bytes"))
        return std::nullopt;
    Plan plan;
    if (!take_validator(answer, plan)) return std::nullopt;
    plan.total = answer.content_length;
    if (const std::string* coding = answer.find("content-encoding")) plan.content_encoding = *coding;
    return plan;
}

http::Head continuation(http::Head request, const Plan& plan) {
    request.set("Range", "bytes=" + std::to_string(plan.received) + "-");
    request.set("If-Range", plan.validator);
    return request;
}

bool continues(const http::Head& answer, const Plan& plan, std::string& why) {
    if (answer.status != 206) {
        why = "its rest was answered " + std::to_string(answer.status) + ", not 206: it may have changed";
        return false;
    }
    ContentRange range;
    const std::string* text = answer.find("content-range");
    if (count(answer, "content-range") != 1 || !parse_content_range(*text, range)) {
        why = "its rest came without a single byte range";
        return false;
    }
    if (range.first != plan.received || range.last + 1 != plan.total || range.total != plan.total ||
        answer.framing != http::Framing::Length || answer.content_length != plan.total - plan.received) {
        why = "its rest came as bytes " + *text + " where bytes " + std::to_string(plan.received) + "-" +
              std::to_string(plan.total - 1) + "/" + std::to_string(plan.total) + " were asked for";
        return false;
    }
    // A 206 carries the ETag its 200 did (RFC 9110 15.3.7): one without it may come from a
    // server deaf to If-Range, with bytes of whatever version it has now.
    const std::string* validator = answer.find(plan.by_entity_tag ? "etag" : "last-modified");
    const std::string* coding = answer.find("content-encoding");
    bool validator_holds = validator ? *validator == plan.validator : !plan.by_entity_tag;
    if (!validator_holds || (coding ? *coding : "") != plan.content_encoding) {
        why = "its rest came from another version of it";
        return false;
    }
    return true;
}

}  // namespace zv::proxy::resume
