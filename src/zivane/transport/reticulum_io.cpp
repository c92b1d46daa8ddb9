#include "transport/reticulum_io.hpp"

#include <chrono>
#include <thread>

namespace zv::rns {
namespace {

constexpr Py_ssize_t kDefaultPiece = 423;
constexpr Py_ssize_t kReadChunk = 64 * 1024;
// RNS's raw writer never sends more than this in one message.
constexpr Py_ssize_t kMaxChunk = 16 * 1024;
// Channel windows open when delivery proofs arrive, about a link round trip apart.
constexpr auto kReadyPoll = std::chrono::microseconds(500);

// Optional attribute: empty Ref and no exception when missing or failing.
Ref optional_attr(PyObject* obj, PyObject* name) {
    if (!obj) return {};
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) PyErr_Clear();
    return Ref::steal(value);
}

void sleep_without_gil() {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(kReadyPoll);
    Py_END_ALLOW_THREADS
}

// 1 ready, 0 readiness unknown, -1 exception set.
int wait_ready(PyObject* rns, PyObject* channel, PyObject* link, const WriteLimits& limits) {
    Ref probe = optional_attr(channel, ZV_STR("is_ready_to_send"));
    if (!probe || !PyCallable_Check(probe.get())) return 0;
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        Ref ready = call(probe.get());
        if (!ready) return -1;
        int yes = PyObject_IsTrue(ready.get());
        if (yes < 0) return -1;
        if (yes) return 1;
        if (link_closed(rns, link)) {
            PyErr_SetString(PyExc_ConnectionError, "Link closed");
            return -1;
        }
        std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
        if (waited.count() > limits.stall_seconds) {
            PyErr_SetString(PyExc_ConnectionError, "Link stalled");
            return -1;
        }
        sleep_without_gil();
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

// RNS's buffered writer retries for ever when the link goes down under it, so the link's
// state is looked at right before each write: that leaves only a short window.
int write_flush(PyObject* rns, PyObject* link, PyObject* buffer, PyObject* data) {
    if (link_closed(rns, link)) {
        PyErr_SetString(PyExc_ConnectionError, "Link closed");
        return -1;
    }
    Ref written = call_method(buffer, ZV_STR("write"), {data});
    if (!written) return -1;
    Ref flushed = call_method(buffer, ZV_STR("flush"));
    return flushed ? 0 : -1;
}

}  // namespace

Py_ssize_t max_piece(PyObject* rns, PyObject* channel) {
    Ref channel_mdu = optional_attr(channel, ZV_STR("mdu"));
    if (channel_mdu && PyLong_Check(channel_mdu.get())) {
        Py_ssize_t n = PyLong_AsSsize_t(channel_mdu.get()) - 2;  // stream message header
        if (n > 0) {
            Py_ssize_t cap = kMaxChunk;
            Ref writer_type = optional_attr(rns, ZV_STR("RawChannelWriter"));
            Ref chunk = optional_attr(writer_type.get(), ZV_STR("MAX_CHUNK_LEN"));
            if (chunk && PyLong_Check(chunk.get())) {
                Py_ssize_t c = PyLong_AsSsize_t(chunk.get());
                if (c > 0) cap = c;
            }
            PyErr_Clear();
            return std::min(n, cap);
        }
        PyErr_Clear();
    }
    Ref link_type = optional_attr(rns, ZV_STR("Link"));
    Ref mdu = optional_attr(link_type.get(), ZV_STR("MDU"));
    if (mdu && PyLong_Check(mdu.get())) {
        // channel envelope (6) and stream message header (2)
        Py_ssize_t n = PyLong_AsSsize_t(mdu.get()) - 8;
        if (n > 0) return n;
        PyErr_Clear();
    }
    return kDefaultPiece;
}

bool link_closed(PyObject* rns, PyObject* link) {
    Ref status = optional_attr(link, ZV_STR("status"));
    if (!status) return false;
    Ref link_type = optional_attr(rns, ZV_STR("Link"));
    Ref closed = optional_attr(link_type.get(), ZV_STR("CLOSED"));
    if (!closed) return false;
    int eq = PyObject_RichCompareBool(status.get(), closed.get(), Py_EQ);
    if (eq < 0) {
        PyErr_Clear();
        return false;
    }
    return eq == 1;
}

int write_paced(PyObject* rns, PyObject* buffer, PyObject* channel, PyObject* link,
                PyObject* data, const WriteLimits& limits) {
    Py_ssize_t size = PyBytes_GET_SIZE(data);
    Py_ssize_t piece = max_piece(rns, channel);
    int ready = wait_ready(rns, channel, link, limits);
    if (ready < 0) return -1;
    if (size <= piece || ready == 0) return write_flush(rns, link, buffer, data);

    const char* bytes = PyBytes_AS_STRING(data);
    for (Py_ssize_t offset = 0; offset < size; offset += piece) {
        if (offset > 0 && wait_ready(rns, channel, link, limits) < 0) return -1;
        Py_ssize_t n = std::min(piece, size - offset);
        Ref chunk = Ref::steal(PyBytes_FromStringAndSize(bytes + offset, n));
        if (!chunk || write_flush(rns, link, buffer, chunk.get()) < 0) return -1;
    }
    return 0;
}

int read_available(PyObject* buffer, Py_ssize_t first, std::string& out) {
    Py_ssize_t want = first > 0 ? first : kReadChunk;
    for (;;) {
        Ref size = Ref::steal(PyLong_FromSsize_t(want));
        if (!size) return -1;
        Ref got = call_method(buffer, ZV_STR("read"), {size.get()});
        if (!got) return -1;
        if (got.is_none()) return 0;
        Py_buffer view;
        if (PyObject_GetBuffer(got.get(), &view, PyBUF_SIMPLE) < 0) return -1;
        Py_ssize_t n = view.len;
        out.append(static_cast<const char*>(view.buf), std::size_t(n));
        PyBuffer_Release(&view);
        if (n == 0) return 0;
        want = kReadChunk;
    }
}

// True while `channel._tx_ring` holds messages not yet proved; false when it is empty or
// cannot be read.
bool undelivered(PyObject* channel) {
    PyObject* ring = nullptr;
    if (PyObject_GetOptionalAttr(channel, ZV_STR("_tx_ring"), &ring) <= 0) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t n = PyObject_Length(ring);
    Py_DECREF(ring);
    if (n < 0) PyErr_Clear();
    return n > 0;
}

void wait_delivered(PyObject* channel, double seconds) {
    if (!channel) return;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(std::max(0.0, std::min(seconds, 3600.0))));
    while (undelivered(channel) && std::chrono::steady_clock::now() < deadline) sleep_without_gil();
}

}  // namespace zv::rns
