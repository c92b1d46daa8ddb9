// libFuzzer harness for zv::Framer.
//
// Input layout: byte 0 picks the framing (bit 0: response, bit 1: the response answers a
// HEAD request), byte 1 seeds the split sizes, the rest is the stream. The stream is cut
// into messages twice: once with every byte present from the start, once arriving in
// pieces (each scan sees the bytes so far, as a link's reader does). Both must find the
// same messages with the same lengths and end in the same state.
#include "transport/framing.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Event {
    zv::Framer::Status status;
    std::size_t length;  // message length when Complete
    bool operator==(const Event& o) const { return status == o.status && length == o.length; }
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "framer_fuzz: %s\n", what);
    std::abort();
}

// Cuts every message that `available` completes, starting at `consumed`; returns false
// once the framing was found malformed (nothing more can be cut).
bool cut(zv::Framer& framer, std::string_view available, std::size_t& consumed,
         std::vector<Event>& events) {
    for (;;) {
        std::string_view rest = available.substr(consumed);
        if (rest.empty()) return true;
        zv::Framer::Status status = framer.scan(rest);
        switch (status) {
            case zv::Framer::Status::Complete: {
                std::size_t len = framer.message_length();
                if (len == 0 || len > rest.size()) fail("complete message length out of range");
                if (framer.header_length() == 0 || framer.header_length() > len)
                    fail("head longer than its message");
                if (framer.leading() >= framer.header_length()) fail("empty lines cover the head");
                events.push_back({status, len});
                consumed += len;
                framer.reset();
                break;
            }
            case zv::Framer::Status::Malformed:
                if (framer.error().empty()) fail("malformed without a reason");
                if (framer.error_status() != 400 && framer.error_status() != 505) fail("odd refusal status");
                // Once malformed, the framer must stay so until reset.
                if (framer.scan(rest) != zv::Framer::Status::Malformed) fail("malformed forgotten");
                events.push_back({status, 0});
                return false;
            case zv::Framer::Status::Incomplete: {
                std::size_t expected = framer.expected_length();
                if (expected != 0 && expected <= rest.size()) fail("incomplete with all announced bytes");
                return true;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const bool response = data[0] & 1;
    const bool head = data[0] & 2;
    std::uint32_t seed = data[1] * 2654435761u + 1;
    std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);
    auto make = [&] {
        zv::Framer f(response ? zv::Framer::Kind::Response : zv::Framer::Kind::Request);
        f.expect_no_body(head);
        return f;
    };

    // All at once.
    zv::Framer whole = make();
    std::vector<Event> expected;
    std::size_t whole_consumed = 0;
    cut(whole, stream, whole_consumed, expected);

    // In pieces. A copy of the bytes so far stands in for the link's buffer, so a scan
    // that read past what has arrived is caught by AddressSanitizer.
    zv::Framer piecewise = make();
    std::vector<Event> got;
    std::size_t consumed = 0, arrived = 0;
    bool alive = true;
    while (arrived < stream.size() && alive) {
        seed = seed * 1103515245u + 12345u;
        std::size_t step = (seed >> 16) % 4 == 0 ? 1 : 1 + (seed >> 8) % 97;
        arrived = std::min(stream.size(), arrived + step);
        std::string so_far(stream.substr(0, arrived));
        alive = cut(piecewise, so_far, consumed, got);
    }

    if (got != expected) fail("pieces and whole stream disagree on the messages");
    if (alive && consumed != whole_consumed) fail("pieces and whole stream disagree on what is left");
    return 0;
}
