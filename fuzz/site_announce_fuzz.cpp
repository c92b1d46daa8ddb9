// libFuzzer harness for the announce data of a site (zv::site_announce), which comes from
// anyone on the mesh.
//
// The input is read as announce data: whatever decode makes of it must be a site the
// format allows (a port, a name of valid UTF-8 without control characters and within its
// limit, a byte of features), nothing at all when decode refuses it, and the same site
// again after encode and decode. The input is also taken as a site's name, as an owner
// might write it: encode must make data that decodes to a name within the limit.
#include "common/site_announce.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

namespace {

namespace sa = zv::site_announce;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "site_announce_fuzz: %s\n", what);
    std::abort();
}

bool same(const sa::Site& a, const sa::Site& b) {
    return a.port == b.port && a.name == b.name && a.features == b.features;
}

bool empty(const sa::Site& site) { return same(site, sa::Site{}); }

// A name decode may hand out: no byte UTF-8 never has, no C0 or C1 control characters, no
// DEL, no direction marks, within the limit.
void check_name(const std::string& name) {
    if (name.size() > sa::kMaxName) fail("name over the limit");
    for (std::size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F) fail("control character in a name");
        if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) < 0xA0)
            fail("C1 control character in a name");
        if (c == 0xC0 || c == 0xC1 || c >= 0xF5) fail("byte never found in UTF-8");
    }
    // Direction marks: U+061C, U+200E, U+200F, U+2028..U+202E, U+2066..U+2069.
    for (std::string_view mark :
         {"\xD8\x9C", "\xE2\x80\x8E", "\xE2\x80\x8F", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAA",
          "\xE2\x80\xAB", "\xE2\x80\xAC", "\xE2\x80\xAD", "\xE2\x80\xAE", "\xE2\x81\xA6", "\xE2\x81\xA7",
          "\xE2\x81\xA8", "\xE2\x81\xA9"})
        if (name.find(mark) != std::string::npos) fail("direction mark in a name");
}

void check_decoded(std::string_view data) {
    sa::Site site;
    site.name = "left over";
    site.port = 1;
    if (!sa::decode(data, site)) {
        if (!empty(site)) fail("refused data left a site behind");
        return;
    }
    if (site.port && (*site.port < 0 || *site.port > 65535)) fail("port out of range");
    if (site.features > 0xFF) fail("features wider than their byte");
    check_name(site.name);
    sa::Site again;
    if (!sa::decode(sa::encode(site), again) || !same(site, again)) fail("decoded site does not round-trip");
}

void check_encoded_name(std::string_view name) {
    sa::Site site{.port = 8080, .name = std::string(name), .features = sa::kFeatureCompactLinks};
    std::string data = sa::encode(site);
    sa::Site said;
    if (!sa::decode(data, said)) fail("encoded data refused");
    if (said.port != 8080 || said.features != sa::kFeatureCompactLinks) fail("fields lost");
    check_name(said.name);
    if (said.name.size() > name.size()) fail("name grew");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(bytes), size);
    check_decoded(input);
    check_encoded_name(input);
    return 0;
}
