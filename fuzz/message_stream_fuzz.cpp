// libFuzzer harness for zv::http::MessageReader and the head serialization of the bridges.
//
// Input layout: byte 0 picks the reader (bit 0: responses, bit 1: they answer HEAD, bit
// 2: the stream ends after the input), byte 1 seeds the split sizes, the rest is the
// stream. The stream is read twice: whole, and in pieces. Both readings must give the same
// events (heads, bodies, ends, the error). And every head read, written out again as a
// bridge writes it (hop-by-hop fields dropped), must read back as the same head: what a
// bridge sends on is exactly what it checked.
#include "transport/message_stream.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using zv::http::Head;
using zv::http::MessageReader;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "message_stream_fuzz: %s\n", what);
    std::abort();
}

std::string describe(const Head& h) {
    std::string out = h.method + " " + h.target + " " + std::to_string(h.status) + " " + h.reason + " " +
                      std::to_string(h.minor_version) + " " + std::to_string(int(h.framing)) + " " +
                      std::to_string(h.content_length) + "\n";
    for (const auto& f : h.fields) out += f.name + ": " + f.value + "\n";
    return out;
}

// The head as a bridge writes it, read back by a fresh reader.
void check_round_trip(const Head& head, bool response) {
    Head sent = head;
    zv::http::drop_hop_by_hop(sent);
    std::string text = response ? zv::http::serialize_response(sent) : zv::http::serialize_request(sent);
    MessageReader again(response ? MessageReader::Kind::Response : MessageReader::Kind::Request);
    again.expect_no_body(true);
    std::string_view input(text);
    if (again.next(input) != MessageReader::Event::Head) fail("a written head does not read back");
    const Head& back = again.head();
    if (back.method != sent.method || back.target != sent.target || back.status != sent.status ||
        back.reason != sent.reason || back.fields.size() != sent.fields.size())
        fail("a written head reads back differently");
    for (std::size_t i = 0; i < sent.fields.size(); ++i)
        if (back.fields[i].name != sent.fields[i].name || back.fields[i].value != sent.fields[i].value)
            fail("a written field reads back differently");
}

// Every event of reading `stream`, fed in pieces of the sizes `split` gives (0: whole).
// Consecutive body pieces are joined: only where they are cut may differ.
std::vector<std::string> read_all(std::string_view stream, unsigned flags, unsigned split) {
    MessageReader reader(flags & 1 ? MessageReader::Kind::Response : MessageReader::Kind::Request);
    reader.expect_no_body(flags & 2);
    std::vector<std::string> events;
    std::size_t at = 0;
    for (unsigned step = split; at <= stream.size(); step = step * 7 + 3) {
        std::size_t n = split == 0 ? stream.size() : 1 + step % 97;
        std::string piece(stream.substr(at, n));  // a copy: views must not outlive it
        at += n;
        if (at >= stream.size() && (flags & 4)) reader.end_of_input();
        std::string_view input(piece);
        for (;;) {
            MessageReader::Event e = reader.next(input);
            if (e == MessageReader::Event::NeedMore) break;
            if (e == MessageReader::Event::Head) {
                events.push_back("H " + describe(reader.head()));
                check_round_trip(reader.head(), flags & 1);
            } else if (e == MessageReader::Event::Body) {
                if (reader.piece().empty()) fail("an empty body piece");
                if (events.empty() || events.back().rfind("B ", 0) != 0) events.push_back("B ");
                events.back().append(reader.piece());
            } else if (e == MessageReader::Event::End) {
                events.push_back("E");
            } else {
                events.push_back("X " + std::to_string(reader.error_status()));
                return events;
            }
        }
        if (at >= stream.size()) break;
    }
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    unsigned flags = data[0], split = data[1] + 1u;
    std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);
    if (read_all(stream, flags, 0) != read_all(stream, flags, split))
        fail("reading in pieces differs from reading whole");
    return 0;
}
