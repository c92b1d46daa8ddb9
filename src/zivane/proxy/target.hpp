// What a browser's request names: the Reticulum destination (`http://<32 hex>.rns[:port]/`),
// from an absolute-form request target or, for an origin-form one, from Host; and which
// request headers a slim request keeps.
#pragma once

#include <string>
#include <string_view>

namespace zv::proxy {

struct Target {
    std::string hash;       // 32 lower-case hexadecimal digits
    int port = 80;          // the destination's port aspect
    std::string path;       // origin-form target sent on the link ("/..." or "*")
    std::string authority;  // "<hash>.rns[:port]" as the browser wrote it, for Host
};

// Why a request cannot be forwarded: the status that answers it and a plain-text reason.
struct Refusal {
    int status = 0;
    std::string reason;
};

// Reads the destination of a request. `host` is the value of its Host header (empty when
// it has none). False with `refusal` filled for a target no link can serve.
bool read_target(std::string_view method, std::string_view target, std::string_view host, Target& out,
                 Refusal& refusal);

// Request headers that cost bytes on a slow link and tell the server about the browser
// rather than the request (User-Agent, Accept-Language, Referer, Sec-*, ...): dropped by
// --slim. `name` in any case.
bool slim_drops(std::string_view name);

}  // namespace zv::proxy
