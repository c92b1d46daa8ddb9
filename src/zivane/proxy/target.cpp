#include "proxy/target.hpp"

#include "common/address_book.hpp"
#include "support/ascii.hpp"

#include <array>

namespace zv::proxy {
namespace {

constexpr std::size_t kHashDigits = 32;
constexpr std::string_view kSuffix = ".rns";

bool starts_with_lower(std::string_view text, std::string_view lower) {
    return text.size() >= lower.size() && ascii::equals_lower(text.substr(0, lower.size()), lower);
}

bool refuse(Refusal& refusal, int status, std::string reason) {
    refusal.status = status;
    refusal.reason = std::move(reason);
    return false;
}

const char* const kOnlyRns =
    "zivane-proxy reaches Reticulum destinations only: http://<32 hexadecimal digits or a "
    "name>.rns[:port]/path";

// A name of the user's address book in place of the hash: its destination, and its port
// unless the URL gives one.
bool read_name(const std::string& name, bool port_given, Target& out, Refusal& refusal) {
    address_book::Binding binding;
    std::string error;
    address_book::Found found = address_book::lookup(name, binding, error);
    if (found == address_book::Found::Unknown)
        return refuse(refusal, 400,
                      "malformed destination hash '" + name + "': not 32 hexadecimal digits, and " + error);
    if (found == address_book::Found::Broken) return refuse(refusal, 502, error);
    out.hash = binding.hash;
    if (!port_given && binding.port) out.port = *binding.port;
    return true;
}

// "<hash>.rns[:port]" or "<name>.rns[:port]" into `out`.
bool read_authority(std::string_view authority, Target& out, Refusal& refusal) {
    if (authority.find('@') != std::string_view::npos)
        return refuse(refusal, 400, "user information in the URL is not supported");
    std::string_view host = authority;
    std::size_t colon = authority.rfind(':');
    out.port = 80;
    if (colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        if (!ascii::read_port(authority.substr(colon + 1), out.port))
            return refuse(refusal, 400, "bad port in '" + std::string(authority) + "'");
    }
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);  // a fully qualified name
    if (host.size() < kSuffix.size() ||
        !ascii::equals_lower(host.substr(host.size() - kSuffix.size()), kSuffix))
        return refuse(refusal, 400, std::string(kOnlyRns) + " (not '" + std::string(authority) + "')");
    std::string_view hash = host.substr(0, host.size() - kSuffix.size());
    bool hex = hash.size() == kHashDigits;
    for (char c : hash) hex = hex && ascii::is_hex_digit(c);
    out.authority = std::string(authority);
    if (hex) {
        out.hash.resize(hash.size());
        ascii::copy_lower(out.hash.data(), hash.data(), hash.size());
        return true;
    }
    std::string lower(hash);
    ascii::copy_lower(lower.data(), hash.data(), hash.size());
    if (address_book::valid_name(lower))
        return read_name(lower, colon != std::string_view::npos, out, refusal);
    return refuse(
        refusal, 400,
        "malformed destination hash '" + std::string(hash) + "': 32 hexadecimal digits expected (or a name)");
}

}  // namespace

bool read_target(std::string_view method, std::string_view target, std::string_view host, Target& out,
                 Refusal& refusal) {
    if (method == "CONNECT")
        return refuse(refusal, 405,
                      "CONNECT is not supported: Reticulum links are already encrypted end to end; "
                      "ask for http://<hash>.rns/ URLs instead");
    if (starts_with_lower(target, "http://")) {
        std::string_view rest = target.substr(7);
        std::size_t end = rest.find_first_of("/?#");
        if (end == std::string_view::npos) end = rest.size();
        std::string_view path = rest.substr(end);
        if (!path.empty() && path.front() == '#') path = {};
        out.path = path.empty() || path.front() != '/' ? std::string("/").append(path) : std::string(path);
        return read_authority(rest.substr(0, end), out, refusal);
    }
    if (target.find("://") != std::string_view::npos) return refuse(refusal, 400, kOnlyRns);
    if (target.empty() || (target.front() != '/' && target != "*"))
        return refuse(refusal, 400, "malformed request target");
    if (host.empty()) return refuse(refusal, 400, std::string(kOnlyRns) + " (no Host header)");
    out.path = std::string(target);
    return read_authority(host, out, refusal);
}

bool slim_drops(std::string_view name) {
    static constexpr std::array<std::string_view, 10> kDropped = {
        "user-agent", "accept-language",  "referer", "upgrade-insecure-requests",
        "dnt",        "priority",         "via",     "from",
        "purpose",    "x-requested-with",
    };
    if (starts_with_lower(name, "sec-")) return true;
    for (std::string_view dropped : kDropped)
        if (ascii::equals_lower(name, dropped)) return true;
    return false;
}

}  // namespace zv::proxy
