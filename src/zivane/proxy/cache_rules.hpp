// The proxy cache's rules (RFC 9111, RFC 5861), apart from any storage: which answers may
// be stored, how old a stored answer is, how long it stays fresh, which request it may
// answer, and how a 304 refreshes it. Times are seconds since the epoch. Nothing here
// touches Python or the disk.
#pragma once

#include "transport/message_stream.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv::proxy::cache {

// The Cache-Control directives (of a request or an answer) that matter here; a number
// below zero is a directive absent. Pragma: no-cache counts as no-cache in a request
// without Cache-Control.
struct Control {
    bool no_store = false, no_cache = false, must_revalidate = false, is_public = false, is_private = false;
    bool max_stale_any = false;
    double max_age = -1, max_stale = -1, min_fresh = -1;
    double stale_while_revalidate = -1, stale_if_error = -1;
};
Control read_control(const http::Head& head, bool request);

// The value of a request field a stored variant was chosen by (Vary): all its lines
// joined, or none when the request has no such field.
struct VaryValue {
    std::string name;  // lower case
    bool present = false;
    std::string value;
};

// The request values of the names the answer's Vary lists. False when the answer cannot
// be stored by them: `Vary: *`, or a list longer than a cache should keep for one URL.
bool vary_values(const http::Head& answer, const http::Head& request, std::vector<VaryValue>& out);
// Whether the request carries the same values as those a variant was stored for.
bool vary_matches(const std::vector<VaryValue>& stored, const http::Head& request);

// What the cache knows of a stored answer's time: when its request left, when its head came.
struct Times {
    double request_time = 0, response_time = 0;
};
double current_age(const http::Head& stored, const Times& times, double now);
// Explicit (max-age, Expires) or heuristic (a tenth of the time since Last-Modified,
// at most a day, for statuses that allow it; five minutes for a 404 or 410 without it).
double freshness_lifetime(const http::Head& stored, const Times& times);

// Why an answer to a GET must not be stored; empty when it may be. `asked` is the
// request's own Cache-Control; `shared`: the cache serves more than one user, so answers
// marked private, and answers to a request with a cookie not marked public, are not kept.
std::string refusal_to_store(const http::Head& request, const Control& asked, const http::Head& answer,
                             bool shared);

// How a stored answer may be used for a request.
enum class Use {
    Fresh,       // as it is, with no link traffic
    Stale,       // within what the request or stale-while-revalidate allow: as it is, checked later
    Revalidate,  // only once the site confirms it
};
struct Judgement {
    Use use = Use::Revalidate;
    double age = 0;
    bool stale = false;  // past its freshness
};
Judgement judge(const http::Head& stored, const Times& times, const Control& asked, double now);

// Whether a stale copy may stand in when the site cannot be reached (`unreachable`) or
// answers with a server error: not for no-cache or must-revalidate answers; for a server
// error only within stale-if-error.
bool may_stand_in(const http::Head& stored, const Times& times, const Control& asked, double now,
                  bool unreachable);

// The stored answer's validators as conditional request fields (none: it has none).
std::vector<http::Field> validators(const http::Head& stored);
// Whether the request's own If-None-Match / If-Modified-Since hold for the stored answer,
// so that it may be answered 304.
bool not_modified_for(const http::Head& request, const http::Head& stored);
// The stored head as a 304 answer to such a request.
http::Head not_modified_head(const http::Head& stored);

// The stored head refreshed by a 304 (RFC 9111 4.3.4): its fields replace those of the
// same names, except the ones that describe the stored body or may never be stored.
void refresh(http::Head& stored, const http::Head& not_modified);
// Fields never written to the cache (hop-by-hop ones go before this is asked).
bool never_stored(std::string_view name);

}  // namespace zv::proxy::cache
