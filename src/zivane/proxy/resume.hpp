// Continuing an answer whose link died half-way, on a new link, from the byte where it
// stopped (RFC 9110 14: Range and If-Range). The proxy and the web transports share it.
//
// Only a GET of the whole resource is continued, and only when its answer says it can be:
// a 200 with a Content-Length, `Accept-Ranges: bytes` and a strong validator (a strong
// ETag, or a Last-Modified its Date shows to be strong). The continuation asks for
// `bytes=<received>-` if the validator still matches; only a 206 for exactly those bytes
// of the same representation is spliced on. Anything else leaves the answer cut short, as
// it would be without resuming: two versions of a resource are never joined, and a body
// that did not come whole is never passed on as whole.
#pragma once

#include "transport/message_stream.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zv::proxy::resume {

// How an answer cut short is continued, and how far it got.
struct Plan {
    static constexpr int kMaxTries = 5;  // continuations per answer

    std::string validator;         // what If-Range carries
    bool by_entity_tag = false;    // the validator is an ETag (else a Last-Modified date)
    std::string content_encoding;  // the representation's coding, as the answer named it
    std::uint64_t total = 0;       // the whole body's length
    std::uint64_t received = 0;    // body bytes passed on so far
    bool continuing = false;       // a continuation was asked for: its head is awaited
    int tries = 0;
    std::uint64_t received_at_try = 0;

    // Whether to ask once more for the rest, counting the try: not past kMaxTries, and
    // only when the last try brought bytes.
    bool another_try();
};

// The plan for `answer` to `request`, none when it cannot be continued.
std::optional<Plan> plan_for(const http::Head& request, const http::Head& answer);

// `request` asking for the rest of the answer `plan` follows.
http::Head continuation(http::Head request, const Plan& plan);

// Whether `answer`, the head answering the continuation, brings exactly the bytes that
// are missing of the same representation; `why` says what is wrong when not.
bool continues(const http::Head& answer, const Plan& plan, std::string& why);

// An HTTP-date (IMF-fixdate, or the obsolete RFC 850 and asctime forms) as seconds since
// 1970; none for anything else.
std::optional<std::int64_t> parse_http_date(std::string_view text);

}  // namespace zv::proxy::resume
