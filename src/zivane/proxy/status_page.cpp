#include "proxy/status_page.hpp"

#include "common/address_book.hpp"
#include "proxy/proxy.hpp"
#include "support/ascii.hpp"
#include "support/concat.hpp"
#include "support/sync.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <sys/random.h>

namespace zv::proxy {
namespace {

constexpr std::string_view kSecurityFields =
    "Cache-Control: no-store\r\n"
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; form-action 'self'\r\n"
    "X-Frame-Options: DENY\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Content-Type-Options: nosniff\r\n";

constexpr std::string_view kStyle =
    "body{font-family:sans-serif;margin:1.5em;max-width:70em}table{border-collapse:collapse}"
    "td,th{padding:.2em .6em;text-align:left;border-bottom:1px solid #ddd}"
    ".claim{color:#555}form{margin:0;white-space:nowrap}input[name=name]{width:9em}";

std::string escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string_view reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 303: return "See Other";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 413: return "Content Too Large";
        default: return "Error";
    }
}

std::string response(int status, std::string_view type, const std::string& body, bool head_only,
                     std::string_view extra = {}) {
    std::string out = cat({"HTTP/1.1 ", std::to_string(status), " ", reason(status),
                           "\r\nContent-Type: ", type, "\r\nContent-Length: ", std::to_string(body.size()),
                           "\r\n", kSecurityFields, extra, "Connection: close\r\n\r\n"});
    if (!head_only) out += body;
    return out;
}

std::string plain(int status, const std::string& text) {
    return response(status, "text/plain; charset=utf-8", cat({"zivane-proxy: ", text, "\n"}), false);
}

// ---- addresses ---------------------------------------------------------------------------

struct HostPort {
    std::string host;  // lower case, without brackets
    int port = 80;
};

bool split_authority(std::string_view authority, HostPort& out) {
    std::string_view host = authority;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        std::size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        port = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!port.empty() && port.front() != ':') return false;
        if (!port.empty()) port.remove_prefix(1);
    } else if (std::size_t colon = host.rfind(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (host.empty() || port.size() > 5) return false;
    out.host.resize(host.size());
    ascii::copy_lower(out.host.data(), host.data(), host.size());
    out.port = 80;
    if (!port.empty()) {
        int number = 0;
        for (char c : port) {
            if (c < '0' || c > '9') return false;
            number = number * 10 + (c - '0');
        }
        out.port = number;
    }
    return true;
}

// An address written as numbers ("127.0.0.1", "::1"), which no DNS answer stands behind.
bool is_ip_literal(std::string_view host) {
    bool v6 = host.find(':') != std::string_view::npos;
    for (char c : host)
        if (!((c >= '0' && c <= '9') || c == '.' || (v6 && (c == ':' || (c >= 'a' && c <= 'f')))))
            return false;
    return true;
}

bool is_loopback_name(std::string_view host) {
    return host == "localhost" || host == "::1" || (host.starts_with("127.") && is_ip_literal(host));
}

// Whether `authority` names the proxy. On a wildcard address only a literal address (or
// localhost) does: a name of someone else's domain that resolves here (DNS rebinding) would
// make their page the same origin as the proxy's.
bool names_proxy(const Proxy& proxy, std::string_view authority) {
    HostPort where;
    if (!split_authority(authority, where) || where.port != proxy.port()) return false;
    const std::string& listen = proxy.listen_host();
    if (listen == "0.0.0.0" || listen == "::" || listen.empty())
        return is_ip_literal(where.host) || where.host == "localhost";
    return where.host == listen || (is_loopback_name(listen) && is_loopback_name(where.host));
}

// The path of the request (absolute-form or origin-form), without the query.
std::string_view path_of(std::string_view target) {
    if (target.size() >= 7 && ascii::equals_lower(target.substr(0, 7), "http://")) {
        target.remove_prefix(7);
        std::size_t slash = target.find('/');
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
    return target.substr(0, target.find_first_of("?#"));
}

// ---- the page ----------------------------------------------------------------------------

std::string count(std::int64_t bytes) {
    if (bytes < 0) return "?";
    char text[32];
    if (bytes < 10000) return std::to_string(bytes) + " B";
    if (bytes < 10000000)
        std::snprintf(text, sizeof text, "%.1f KB", double(bytes) / 1e3);
    else
        std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    return text;
}

std::string ago(double seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 120) return std::to_string(int(seconds)) + " s";
    if (seconds < 7200) return std::to_string(int(seconds / 60)) + " min";
    if (seconds < 172800) return std::to_string(int(seconds / 3600)) + " h";
    return std::to_string(int(seconds / 86400)) + " days";
}

std::string site_url(const HeardSite& site) {
    std::string port = site.port == 80 ? std::string() : cat({":", std::to_string(site.port)});
    return cat({"http://", site.hash, ".rns", port, "/"});
}

void links_section(Proxy& proxy, std::string& html) {
    std::vector<LinkView> links = proxy.destinations().snapshot(proxy.module());
    html += "<h2>Links</h2>";
    if (links.empty()) {
        html += "<p>No link is open.</p>";
        return;
    }
    html +=
        "<table><tr><th>Destination</th><th>State</th><th>Requests waiting</th><th>Open for</th>"
        "<th>Sent</th><th>Received</th></tr>";
    for (const LinkView& link : links)
        html += cat({"<tr><td>", escape(link.name), "</td><td>", link.closing ? "closing" : "open",
                     "</td><td>", std::to_string(link.waiting), "</td><td>", ago(link.age), "</td><td>",
                     count(link.sent), "</td><td>", count(link.received), "</td></tr>"});
    html += "</table>";
}

void cache_section(const Proxy& proxy, std::string& html) {
    CacheFigures cache = proxy.cache_figures();
    html += "<h2>Cache</h2>";
    if (!cache.enabled) {
        html += "<p>The cache is off.</p>";
        return;
    }
    std::uint64_t asked = cache.hits + cache.revalidated + cache.misses;
    char ratio[32] = "-";
    if (asked)
        std::snprintf(ratio, sizeof ratio, "%.0f %%",
                      100.0 * double(cache.hits + cache.revalidated) / double(asked));
    html +=
        cat({"<p>", count(std::int64_t(cache.bytes)), " of ", count(std::int64_t(cache.limit)), " in ",
             std::to_string(cache.entries), " answers; hit ratio ", ratio, " (", std::to_string(cache.hits),
             " hits, ", std::to_string(cache.revalidated), " confirmed, ", std::to_string(cache.misses),
             " misses, ", std::to_string(cache.offline), " served offline)</p>"});
}

std::string name_form(const Proxy& proxy, const HeardSite& site) {
    return cat({"<form method=\"post\" action=\"/name\"><input type=\"hidden\" name=\"token\" value=\"",
                escape(proxy.page_token()), "\"><input type=\"hidden\" name=\"hash\" value=\"", site.hash,
                "\"><input type=\"hidden\" name=\"port\" value=\"", std::to_string(site.port),
                "\"><input name=\"name\" required maxlength=\"63\" pattern=\"[a-z0-9\\-]+\" "
                "placeholder=\"name\"><button>name this site</button></form>"});
}

void directory_section(const Proxy& proxy, bool forms, std::string& html) {
    std::vector<HeardSite> sites = proxy.directory().newest_first();
    html +=
        cat({"<h2>Sites heard</h2><p>Descriptions are what each site claims about itself. Names are "
             "yours: they are kept in ",
             escape(address_book::names_path()), ".</p>"});
    if (sites.empty()) {
        html += "<p>No site has been heard yet.</p>";
        return;
    }
    std::int64_t now = std::int64_t(std::time(nullptr));
    html +=
        "<table><tr><th>Site</th><th>Description</th><th>Hops</th><th>Last heard</th><th>Answered</th>"
        "<th></th></tr>";
    for (const HeardSite& site : sites) {
        std::string url = site_url(site);
        std::string claim = site.description.empty() ? "" : cat({"claims: ", escape(site.description)});
        std::string_view answered = site.answered < 0 ? "not tried" : site.answered ? "yes" : "no";
        std::string hops = site.hops < 0 ? "?" : std::to_string(site.hops);
        html += cat({"<tr><td><a href=\"", url, "\">", url, "</a></td><td class=\"claim\">", claim,
                     "</td><td>", hops, "</td><td>", ago(double(now - site.heard)), " ago</td><td>", answered,
                     "</td><td>", forms ? name_form(proxy, site) : std::string(), "</td></tr>"});
    }
    html += "</table>";
}

// The page; the naming forms (and their token) only for a browser on this machine.
std::string page(Proxy& proxy, bool forms) {
    std::string html =
        cat({"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>zivane-proxy</title><style>", kStyle,
             "</style></head><body><h1>zivane-proxy</h1>"});
    links_section(proxy, html);
    cache_section(proxy, html);
    directory_section(proxy, forms, html);
    html += "</body></html>\n";
    return html;
}

// ---- naming a site -------------------------------------------------------------------------

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string form_decode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                   hex_value(text[i + 2]) >= 0) {
            out += char(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The value of field `name` of a urlencoded form (the first one), empty when absent.
std::string form_field(std::string_view form, std::string_view name) {
    while (!form.empty()) {
        std::size_t end = form.find('&');
        std::string_view pair = form.substr(0, end);
        form = end == std::string_view::npos ? std::string_view{} : form.substr(end + 1);
        std::size_t equals = pair.find('=');
        if (form_decode(pair.substr(0, equals)) == name)
            return equals == std::string_view::npos ? std::string() : form_decode(pair.substr(equals + 1));
    }
    return {};
}

bool same_secret(std::string_view a, std::string_view b) {
    if (a.size() != b.size() || a.empty()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// Why the form may not change anything, or empty when it may.
std::string refusal(const Proxy& proxy, const OwnRequest& request, std::string_view token) {
    if (!request.local) return "names are bound only from this machine";
    if (const std::string* site = request.head.find("sec-fetch-site"))
        if (!ascii::equals_lower(*site, "same-origin") && !ascii::equals_lower(*site, "none"))
            return "the form did not come from this page";
    if (const std::string* origin = request.head.find("origin")) {
        std::string_view value = *origin;
        bool ours = value.size() > 7 && ascii::equals_lower(value.substr(0, 7), "http://") &&
                    names_proxy(proxy, value.substr(7));
        if (!ours) return "the form did not come from this page";
    }
    if (!same_secret(token, proxy.page_token())) return "the form's token is not this page's";
    return {};
}

std::string bind_name(Proxy& proxy, const OwnRequest& request, int& status) {
    std::string why = refusal(proxy, request, form_field(request.body, "token"));
    if (!why.empty()) return plain(status = 403, why);
    address_book::Binding binding;
    binding.hash = form_field(request.body, "hash");
    std::string port = form_field(request.body, "port"), name = form_field(request.body, "name");
    if (!port.empty() && port != "80") {
        int number = 0;
        for (char c : port) number = c >= '0' && c <= '9' && number < 65536 ? number * 10 + (c - '0') : 70000;
        if (number > 65535) return plain(status = 400, cat({"bad port '", port, "'"}));
        binding.port = number;
    }
    if (!address_book::is_hash(binding.hash)) return plain(status = 400, "bad destination hash");
    // The names file is written and flushed to disk: not with the GIL, which Reticulum's
    // threads wait for meanwhile.
    if (!sync::without_gil([&] { return address_book::bind(name, binding, why); }))
        return plain(status = 400, why);
    status = 303;
    return response(303, "text/plain; charset=utf-8", "", false, "Location: /\r\n");
}

}  // namespace

bool addressed_to_proxy(const Proxy& proxy, const http::Head& request) {
    std::string_view target = request.target;
    if (target.size() >= 7 && ascii::equals_lower(target.substr(0, 7), "http://")) {
        std::string_view rest = target.substr(7);
        return names_proxy(proxy, rest.substr(0, rest.find_first_of("/?#")));
    }
    const std::string* host = request.find("host");
    return !target.empty() && target.front() == '/' && host && names_proxy(proxy, *host);
}

std::string answer_own_request(Proxy& proxy, const OwnRequest& request, int& status) {
    std::string_view path = path_of(request.head.target);
    const std::string& method = request.head.method;
    if (path == "/" && (method == "GET" || method == "HEAD")) {
        status = 200;
        return response(200, "text/html; charset=utf-8", page(proxy, request.local), method == "HEAD");
    }
    if (path == "/name" && method == "POST") return bind_name(proxy, request, status);
    if (path == "/" || path == "/name") return plain(status = 405, "method not allowed here");
    return plain(status = 404, "no such page on the proxy (its page is /)");
}

std::string make_token() {
    unsigned char bytes[24] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {  // blocks only until the kernel's pool is seeded, at boot
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0)
            got += std::size_t(n);
        else if (errno != EINTR)
            std::abort();  // no randomness: no page that can bind names
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kDigits[b >> 4];
        token += kDigits[b & 15];
    }
    return token;
}

}  // namespace zv::proxy
