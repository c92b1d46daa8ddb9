// What WSGI and ASGI serving share: the request target as both conventions read it, the
// peer's name, and the writing of an answer on the link.
#include "web/server.hpp"

#include <charconv>

namespace zv::web {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percent_decoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        int high = -1, low = -1;
        if (text[i] == '%' && i + 2 < text.size()) {
            high = hex_value(text[i + 1]);
            low = hex_value(text[i + 2]);
        }
        if (high < 0 || low < 0) {
            out.push_back(text[i]);
            continue;
        }
        out.push_back(char(high * 16 + low));
        i += 2;
    }
    return out;
}

bool bodiless_status(int status) { return (status >= 100 && status < 200) || status == 204 || status == 304; }

}  // namespace

Target split_target(const std::string& target) {
    Target out;
    std::string_view rest(target);
    // An absolute-form target names this server: only its path matters here.
    if (std::size_t scheme = rest.find("://"); scheme != std::string_view::npos && !rest.starts_with('/')) {
        std::size_t slash = rest.find('/', scheme + 3);
        rest = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    }
    std::size_t question = rest.find('?');
    out.raw_path = std::string(rest.substr(0, question));
    if (question != std::string_view::npos) out.query = std::string(rest.substr(question + 1));
    out.path = percent_decoded(out.raw_path);
    return out;
}

std::string client_name(gateway::Link& link, const std::string& identity) {
    if (!identity.empty()) return identity;
    Ref rns_link = link.link;
    Ref id = rns_link ? attr(rns_link.get(), ZV_STR("link_id")) : Ref{};
    Ref hex = id ? call_method(id.get(), ZV_STR("hex")) : Ref{};
    const char* text = hex && PyUnicode_Check(hex.get()) ? PyUnicode_AsUTF8(hex.get()) : nullptr;
    if (!text) PyErr_Clear();
    return std::string("link-") + (text ? text : "unknown");
}

bool refuse_unallowed(gateway::Link& link, bool is_head) {
    if (link.reader.head().framing != http::Framing::None && !gateway::skip_body(link)) return false;
    return gateway::answer(link, 403, "Forbidden: this link has not identified as an allowed identity",
                           is_head);
}

void ResponseWriter::start(int status, std::string reason, std::vector<http::Field> fields) {
    started_ = true;
    head_.status = status;
    head_.reason = reason.empty() ? std::string(http::reason_phrase(status)) : std::move(reason);
    head_.fields = std::move(fields);
    const std::string* length = head_.find("content-length");
    std::uint64_t declared = 0;
    bool has_length =
        length &&
        std::from_chars(length->data(), length->data() + length->size(), declared).ec == std::errc{};
    http::drop_hop_by_hop(head_);
    head_.remove("content-length");
    if (has_length) {
        head_.framing = http::Framing::Length;
        head_.content_length = declared;
    }
}

bool ResponseWriter::no_body() const { return head_request_ || bodiless_status(head_.status); }

bool ResponseWriter::send_head(std::string_view first, bool last) {
    head_sent_ = true;
    if (head_.framing != http::Framing::Length && last) {
        head_.framing = http::Framing::Length;
        head_.content_length = first.size();
    }
    if (no_body()) {
        // A HEAD answer tells the length a GET would have had, when it is known.
        if (head_.framing == http::Framing::Length && !bodiless_status(head_.status))
            head_.set("Content-Length", std::to_string(head_.content_length));
        return gateway::write_link(link_, http::serialize_response(head_));
    }
    if (head_.framing == http::Framing::Length) {
        head_.set("Content-Length", std::to_string(head_.content_length));
        left_ = head_.content_length;
    } else {
        chunked_ = true;
        head_.set("Transfer-Encoding", "chunked");
    }
    return true;
}

bool ResponseWriter::body(std::string_view data, bool last) {
    if (finished_) return true;
    std::string out;
    if (!head_sent_) {
        if (!send_head(data, last)) return false;
        if (!no_body()) out = http::serialize_response(head_);
    }
    if (!no_body()) {
        if (chunked_) {
            http::append_chunk(out, data);
            if (last) out.append(http::kLastChunk);
        } else {
            // Never more than promised: the link's stream must stay in step.
            std::size_t n = std::size_t(std::min<std::uint64_t>(left_, data.size()));
            out.append(data.substr(0, n));
            left_ -= n;
        }
    }
    finished_ = last;
    if (!out.empty() && !gateway::write_link(link_, out)) return false;
    if (last && !chunked_ && left_ > 0 && !no_body()) {
        gateway::end_link(link_);  // shorter than its Content-Length: the link cannot go on
        return false;
    }
    return true;
}

bool ResponseWriter::fail() {
    if (finished_) return true;
    finished_ = true;
    if (!head_sent_) return gateway::answer(link_, 500, "Internal Server Error", head_request_);
    if (chunked_) return gateway::write_link(link_, http::kLastChunk);
    if (no_body()) return true;
    gateway::end_link(link_);
    return false;
}

}  // namespace zv::web

namespace zv::web {

void report_app_error() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (exc) PyErr_DisplayException(exc.get());
}

std::vector<http::Field> app_fields(const http::Head& head, const std::string& identity) {
    std::vector<http::Field> fields;
    for (const http::Field& field : head.fields)
        if (!gateway::withheld_field(field.name)) fields.push_back(field);
    if (!identity.empty()) fields.push_back({"X-Reticulum-Identity", identity});
    return fields;
}

Ref latin1(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeLatin1(text.data(), Py_ssize_t(text.size()), nullptr));
}

Ref bytes_of(std::string_view text) {
    return Ref::steal(PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}

bool view_bytes(PyObject* obj, std::string& out, const char* what) {
    Py_buffer view;
    if (!PyObject_CheckBuffer(obj) || PyUnicode_Check(obj) ||
        PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be bytes, not %.100s", what, Py_TYPE(obj)->tp_name);
        return false;
    }
    out.assign(static_cast<const char*>(view.buf), std::size_t(view.len));
    PyBuffer_Release(&view);
    return true;
}

}  // namespace zv::web
