#include "transport/head_codec.hpp"

#include "support/ascii.hpp"
#include "support/calendar.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace zv::head_codec {
namespace {

struct Entry {
    std::string_view name, value;
};

// Usual fields of browsers' requests and of web servers' answers. Names are matched with
// their case, so the spellings met in practice are both here where they differ.
constexpr Entry kStatic[] = {
    {"Host", ""},
    {"Connection", "keep-alive"},
    {"Connection", "close"},
    {"User-Agent", ""},
    {"Accept", "*/*"},
    {"Accept", ""},
    {"Accept-Encoding", "gzip, deflate, br, zstd"},
    {"Accept-Encoding", "gzip, deflate"},
    {"Accept-Encoding", "identity"},
    {"Accept-Encoding", ""},
    {"Accept-Language", "en-US,en;q=0.9"},
    {"Accept-Language", ""},
    {"Cache-Control", "max-age=0"},
    {"Cache-Control", "no-cache"},
    {"Cache-Control", ""},
    {"Pragma", "no-cache"},
    {"Content-Type", "text/html; charset=utf-8"},
    {"Content-Type", "text/html"},
    {"Content-Type", "text/css"},
    {"Content-Type", "text/javascript"},
    {"Content-Type", "application/javascript"},
    {"Content-Type", "application/json"},
    {"Content-Type", "image/png"},
    {"Content-Type", "image/jpeg"},
    {"Content-Type", "text/plain; charset=utf-8"},
    {"Content-Type", "application/x-www-form-urlencoded"},
    {"Content-Type", ""},
    {"Content-type", ""},
    {"Content-Length", ""},
    {"Content-Encoding", "gzip"},
    {"Content-Encoding", ""},
    {"Transfer-Encoding", "chunked"},
    {"Date", ""},
    {"Last-Modified", ""},
    {"ETag", ""},
    {"Etag", ""},
    {"If-None-Match", ""},
    {"If-Modified-Since", ""},
    {"Expires", ""},
    {"Age", ""},
    {"Vary", "Accept-Encoding"},
    {"Vary", ""},
    {"Server", ""},
    {"Location", ""},
    {"Referer", ""},
    {"Origin", ""},
    {"Range", ""},
    {"Accept-Ranges", "bytes"},
    {"Content-Range", ""},
    {"Upgrade-Insecure-Requests", "1"},
    {"Sec-Fetch-Site", "same-origin"},
    {"Sec-Fetch-Site", "none"},
    {"Sec-Fetch-Site", ""},
    {"Sec-Fetch-Mode", "navigate"},
    {"Sec-Fetch-Mode", "no-cors"},
    {"Sec-Fetch-Mode", "cors"},
    {"Sec-Fetch-Mode", ""},
    {"Sec-Fetch-Dest", "document"},
    {"Sec-Fetch-Dest", "style"},
    {"Sec-Fetch-Dest", "script"},
    {"Sec-Fetch-Dest", "image"},
    {"Sec-Fetch-Dest", "empty"},
    {"Sec-Fetch-Dest", ""},
    {"Sec-Fetch-User", "?1"},
    {"Cookie", ""},
    {"Set-Cookie", ""},
    {"Authorization", ""},
    {"Proxy-Authorization", ""},
    {"WWW-Authenticate", ""},
    {"Access-Control-Allow-Origin", "*"},
    {"Content-Disposition", ""},
    {"X-Content-Type-Options", "nosniff"},
    {"Link", ""},
    {"Allow", ""},
    {"Retry-After", ""},
    // What browsers ask for, by kind of fetch: a first request would spend 60 to 140 bytes
    // on each of these values.
    {"Accept",
     "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,image/apng,*/*;q=0.8,"
     "application/signed-exchange;v=b3;q=0.7"},
    {"Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
    {"Accept",
     "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,image/png,image/svg+xml,*/"
     "*;q=0.8"},
    {"Accept",
     "text/html,application/xhtml+xml,application/xml;q=0.9,image/jxl,image/avif,image/webp,image/apng,*/"
     "*;q=0.8,application/signed-exchange;v=b3;q=0.7"},
    {"Accept", "image/avif,image/webp,image/apng,image/svg+xml,image/*,*/*;q=0.8"},
    {"Accept", "image/jxl,image/avif,image/webp,image/apng,image/svg+xml,image/*,*/*;q=0.8"},
    {"Accept", "image/avif,image/webp,image/png,image/svg+xml,image/*;q=0.8,*/*;q=0.5"},
    {"Accept",
     "image/webp,image/avif,image/jxl,image/heic,image/heic-sequence,video/*;q=0.8,image/png,image/svg+xml,"
     "image/*;q=0.8,*/*;q=0.5"},
    {"Accept", "text/css,*/*;q=0.1"},
    {"Accept", "application/json"},
    {"Accept", "application/json, text/plain, */*"},
    {"Accept-Encoding", "gzip, deflate, br"},
    {"Accept-Language", "en-US,en;q=0.5"},
    {"Accept-Language", "en-GB,en;q=0.9"},
    {"Priority", "u=0, i"},
    {"Priority", "u=1"},
    {"Priority", "u=2"},
    {"Priority", "u=4"},
    {"Priority", "u=5, i"},
    {"sec-ch-ua-mobile", "?0"},
    {"sec-ch-ua-mobile", "?1"},
    {"sec-ch-ua-platform", "\"Linux\""},
    {"sec-ch-ua-platform", "\"Windows\""},
    {"sec-ch-ua-platform", "\"macOS\""},
    {"sec-ch-ua-platform", "\"Android\""},
    {"sec-ch-ua", ""},
    {"DNT", "1"},
    {"Sec-GPC", "1"},
    {"If-Range", ""},
    {"X-Requested-With", "XMLHttpRequest"},
    {"Content-Type", "image/svg+xml"},
    {"Content-Type", "image/webp"},
    {"Content-Type", "image/gif"},
    {"Content-Type", "image/x-icon"},
    {"Content-Type", "font/woff2"},
    {"Content-Type", "application/octet-stream"},
    {"Content-Type", "text/css; charset=utf-8"},
    {"Content-Type", "text/javascript; charset=utf-8"},
    {"Content-Type", "application/json; charset=utf-8"},
    {"Cache-Control", "no-store"},
    {"Cache-Control", "public, max-age=31536000, immutable"},
};
constexpr std::size_t kStaticSize = std::size(kStatic);

constexpr std::string_view kMethods[] = {"GET",     "HEAD",    "POST",  "PUT",  "DELETE",
                                         "OPTIONS", "CONNECT", "TRACE", "PATCH"};

constexpr std::uint64_t kValueDate = 1, kValueNumber = 3;

// Fields whose values seldom repeat: worth no room in the table.
bool is_volatile(std::string_view name) {
    return ascii::equals_lower(name, "content-length") || ascii::equals_lower(name, "date") ||
           ascii::equals_lower(name, "content-range") || ascii::equals_lower(name, "age");
}

std::size_t entry_bytes(const http::Field& field) { return field.name.size() + field.value.size() + 32; }

// ---- HTTP dates (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") ---------------------------

constexpr std::string_view kDays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};  // from 1970-01-01
constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = std::int64_t(yoe) + era * 400 + (m <= 2);
}

std::string format_date(std::uint64_t seconds) {
    std::int64_t days = std::int64_t(seconds / 86400), y;
    unsigned rest = unsigned(seconds % 86400), m, d;
    civil_from_days(days, y, m, d);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02u %s %04lld %02u:%02u:%02u GMT", kDays[days % 7].data(), d,
                  kMonths[m - 1].data(), static_cast<long long>(y), rest / 3600, rest / 60 % 60, rest % 60);
    return text;
}

unsigned digits(std::string_view text) {
    unsigned n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return ~0u;
        n = n * 10 + unsigned(c - '0');
    }
    return n;
}

// The seconds `value` names when it is a date that formats back to the same bytes.
bool parse_date(std::string_view value, std::uint64_t& seconds) {
    if (value.size() != 29 || value.substr(25) != " GMT") return false;
    unsigned day = digits(value.substr(5, 2)), year = digits(value.substr(12, 4));
    unsigned hour = digits(value.substr(17, 2)), minute = digits(value.substr(20, 2));
    unsigned second = digits(value.substr(23, 2));
    unsigned month = 0;
    while (month < 12 && kMonths[month] != value.substr(8, 3)) ++month;
    if (month == 12 || day == ~0u || year == ~0u || hour > 23 || minute > 59 || second > 59 || year < 1970)
        return false;
    seconds = std::uint64_t(calendar::days_from_civil(year, month + 1, day)) * 86400 + hour * 3600 +
              minute * 60 + second;
    return format_date(seconds) == value;
}

// A decimal number that formats back to the same bytes.
bool parse_number(std::string_view value, std::uint64_t& number) {
    if (value.empty() || value.size() > 19 || (value[0] == '0' && value.size() > 1)) return false;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    return error == std::errc() && end == value.data() + value.size();
}

// ---- writing -------------------------------------------------------------------------------

void write_string(std::string& out, std::string_view text) {
    write_varint(out, text.size());
    out.append(text);
}

void write_value(std::string& out, std::string_view value, bool plain) {
    std::uint64_t n = 0;
    if (!plain && parse_date(value, n)) {
        write_varint(out, kValueDate);
        write_varint(out, n);
    } else if (!plain && parse_number(value, n)) {
        write_varint(out, kValueNumber);
        write_varint(out, n);
    } else {
        write_varint(out, std::uint64_t(value.size()) * 2);
        out.append(value);
    }
}

// The index of the entry with `field`'s name (and value, with `whole`), or -1.
std::int64_t find(const Table& table, const http::Field& field, bool whole) {
    for (std::size_t i = 0; i < kStaticSize; ++i)
        if (kStatic[i].name == field.name && (!whole || kStatic[i].value == field.value))
            return std::int64_t(i);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const http::Field* entry = table.at(i);
        if (entry->name == field.name && (!whole || entry->value == field.value))
            return std::int64_t(kStaticSize + i);
    }
    return -1;
}

// ---- reading -------------------------------------------------------------------------------

bool read_string(std::string_view& in, std::string& out) {
    std::uint64_t n;
    if (!read_varint(in, n) || n > in.size()) return false;
    out.assign(in.substr(0, std::size_t(n)));
    in.remove_prefix(std::size_t(n));
    return true;
}

bool read_value(std::string_view& in, std::string& out) {
    std::uint64_t v, n;
    if (!read_varint(in, v)) return false;
    if (v % 2 == 0) {
        if (v / 2 > in.size()) return false;
        out.assign(in.substr(0, std::size_t(v / 2)));
        in.remove_prefix(std::size_t(v / 2));
        return true;
    }
    if ((v != kValueDate && v != kValueNumber) || !read_varint(in, n)) return false;
    if (v == kValueDate && n > 253402300799u) return false;  // past year 9999
    out = v == kValueDate ? format_date(n) : std::to_string(n);
    return true;
}

bool sound_name(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!ascii::is_token_char(c)) return false;
    return true;
}

// No byte that would end a line or a field in HTTP/1.1.
bool sound_text(std::string_view text) {
    for (unsigned char c : text)
        if (c == '\r' || c == '\n' || c == 0) return false;
    return true;
}

bool sound_target(std::string_view target) {
    if (target.empty()) return false;
    for (unsigned char c : target)
        if (c <= ' ' || c == 0x7F) return false;
    return true;
}

const http::Field* entry_at(const Table& table, std::uint64_t index, http::Field& scratch) {
    if (index < kStaticSize) {
        scratch = {std::string(kStatic[index].name), std::string(kStatic[index].value)};
        return &scratch;
    }
    return index - kStaticSize < table.size() ? table.at(std::size_t(index - kStaticSize)) : nullptr;
}

}  // namespace

bool is_secret(std::string_view name) {
    return ascii::equals_lower(name, "cookie") || ascii::equals_lower(name, "set-cookie") ||
           ascii::equals_lower(name, "authorization") || ascii::equals_lower(name, "proxy-authorization");
}

bool read_varint(std::string_view& in, std::uint64_t& value) {
    value = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        if (in.empty()) return false;
        auto byte = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        if (shift == 63 && byte > 1) return false;
        value |= std::uint64_t(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

void write_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(char(0x80 | (value & 0x7F)));
        value >>= 7;
    }
    out.push_back(char(value));
}

void Table::add(const http::Field& field) {
    std::size_t bytes = entry_bytes(field);
    if (bytes > kTableBytes) return;
    while (bytes_ + bytes > kTableBytes) {
        bytes_ -= entry_bytes(entries_.back());
        entries_.pop_back();
    }
    entries_.push_front(field);
    bytes_ += bytes;
}

void Encoder::encode_field(const http::Field& field, std::string& out) {
    const bool secret = is_secret(field.name);
    std::int64_t whole = secret ? -1 : find(table_, field, true);
    if (whole >= 0) return write_varint(out, std::uint64_t(whole) << 2 | 1);
    const bool added = !secret && !is_volatile(field.name) && entry_bytes(field) <= kTableBytes / 4;
    std::int64_t name = find(table_, field, false);
    if (name >= 0) {
        write_varint(out, std::uint64_t(name) << 2 | (added ? 2 : 3));
    } else {
        write_varint(out, (added ? 1 : 2) << 2);
        write_string(out, field.name);
    }
    write_value(out, field.value, secret);
    if (added) table_.add(field);
}

void Encoder::encode(const http::Head& head, std::string& out) {
    if (kind_ == http::MessageReader::Kind::Request) {
        auto method = std::find(std::begin(kMethods), std::end(kMethods), head.method);
        out.push_back(char(method == std::end(kMethods) ? 0 : method - std::begin(kMethods) + 1));
        if (method == std::end(kMethods)) write_string(out, head.method);
        write_string(out, head.target);
    } else {
        write_varint(out, std::uint64_t(head.status));
        bool usual = !head.reason.empty() && head.reason == http::reason_phrase(head.status);
        out.push_back(char(usual ? 0 : 1));
        if (!usual) write_string(out, head.reason);
    }
    for (const http::Field& field : head.fields) encode_field(field, out);
    write_varint(out, 0);
}

bool Decoder::decode(std::string_view in, http::Head& head, std::string& why) {
    head = http::Head{};
    why = "an invalid compact head";
    if (kind_ == http::MessageReader::Kind::Request) {
        if (in.empty()) return false;
        auto method = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        if (method > std::size(kMethods)) return false;
        if (method > 0)
            head.method = kMethods[method - 1];
        else if (!read_string(in, head.method) || !sound_name(head.method))
            return false;
        if (!read_string(in, head.target) || !sound_target(head.target)) return false;
    } else {
        std::uint64_t status;
        if (!read_varint(in, status) || status < 100 || status > 999 || in.empty()) return false;
        head.status = int(status);
        auto usual = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        if (usual > 1) return false;
        if (usual == 0)
            head.reason = http::reason_phrase(head.status);
        else if (!read_string(in, head.reason) || !sound_text(head.reason))
            return false;
    }
    std::size_t decoded = head.method.size() + head.target.size() + head.reason.size();
    for (;;) {
        std::uint64_t r;
        if (!read_varint(in, r)) return false;
        if (r == 0) break;
        if (head.fields.size() == kMaxFields) return why = "a compact head with too many fields", false;
        const unsigned kind = unsigned(r & 3);
        http::Field field, scratch;
        bool added = false;
        if (kind == 0) {
            if (r >> 2 != 1 && r >> 2 != 2) return false;
            added = r >> 2 == 1;
            if (!read_string(in, field.name)) return false;
        } else {
            const http::Field* entry = entry_at(table_, r >> 2, scratch);
            if (!entry) return why = "a compact head names an entry it does not have", false;
            field.name = entry->name;
            if (kind == 1) field.value = entry->value;
            added = kind == 2;
        }
        if (kind != 1 && !read_value(in, field.value)) return false;
        if (!sound_name(field.name) || !sound_text(field.value)) return false;
        if (added && is_secret(field.name)) return why = "a compact head adds a secret to its table", false;
        decoded += field.name.size() + field.value.size() + 4;
        if (decoded > kMaxDecoded) return why = "a compact head too large", false;
        if (added) table_.add(field);
        head.fields.push_back(std::move(field));
    }
    if (!in.empty()) return false;
    return true;
}

}  // namespace zv::head_codec
