// Links at the gateway: their callbacks, the worker threads and the reading of requests.
//
// A link's callbacks (Reticulum's threads, GIL held) never read: they set `data_ready`
// (or `closed`) and queue the link when no worker has it. The worker reads with the GIL,
// one bounded read at a time, and when the buffer is empty between requests or inside a
// head it parks the link: `scheduled` goes false under the same lock that the callbacks
// test, so a notification that comes right after is never lost.
#include "gateway/link.hpp"

#include "support/capsule.hpp"
#include "support/globals.hpp"
#include "support/tables.hpp"
#include "transport/reticulum_io.hpp"

#include <chrono>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace zv::gateway {
namespace {

constexpr Py_ssize_t kReadSize = 64 * 1024;
constexpr Capsule<LinkPtr> kLinkCapsule{"zivane.gateway.link"};
constexpr Capsule<GatewayPtr> kGatewayCapsule{"zivane.gateway.gateway"};
constexpr const char* kLocals = "main.<locals>";

void serve(const LinkPtr& held);

// Wakes a thread that sleeps waiting for this link's bytes, when there is one.
void wake_waiters(Link& link) {
    if (link.waiters.load() > 0) link.wake.locked([&](sync::Monitor::Guard&) { link.wake.notify_all(); });
}

// Marks bytes as waiting and has the link served when nobody serves it: on this thread
// when `here` (a thread Reticulum started for this notification alone) and the bound
// of threads serving links allows, else by a worker.
void notify(const LinkPtr& link, bool here) {
    link->data_ready.store(true);
    wake_waiters(*link);
    if (link->scheduled.exchange(true)) return;
    Workers& workers = link->gateway->workers;
    if (here && workers.enter(link->gateway->settings.workers)) {
        serve(link);
        workers.leave();
    } else {
        workers.submit(link, link->gateway->settings.workers);
    }
}

// The link has closed: a thread that serves it wakes to let go of it; a parked link
// has nobody to tell.
void notify_closed(Link& link) {
    link.closed.store(true);
    wake_waiters(link);
}

LinkPtr* captured_link(NativeFunction* fn) { return kLinkCapsule.get(captured(fn, 0)); }

PyObject* on_reader_ready(NativeFunction* fn, PyObject* const*) {
    LinkPtr* link = captured_link(fn);
    if (!link) return nullptr;
    notify(*link, true);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// The link's references go: they hold the callbacks that hold this state.
void forget(Link& link) {
    auto& links = link.gateway->links;
    if (auto found = links.find(link.link.get()); found != links.end() && found->second.get() == &link)
        links.erase(found);
    Ref keep_link = std::move(link.link), keep_buffer = std::move(link.buffer);
    Ref keep_channel = std::move(link.channel);
}

PyObject* on_link_closed(NativeFunction* fn, PyObject* const*) {
    LinkPtr* held = captured_link(fn);
    if (!held) return nullptr;
    LinkPtr link = *held;
    notify_closed(*link);
    forget(*link);
    Py_RETURN_NONE;
}

const table::Function kReaderReady = {
    "_on_reader_ready", {{"ready", "int"}}, "None", nullptr, on_reader_ready};
const table::Function kLinkClosed = {
    "_on_link_closed", {{"link", "RNS.Link"}}, "None", nullptr, on_link_closed};

Ref nested(const Link& link, const table::Function& row, Ref capsule) {
    Ref closure = new_tuple({capsule.get()});
    return closure ? table::make_nested(link.gateway->module.get(), row, kLocals, closure.get()) : Ref{};
}

// RNS.Buffer.create_bidirectional_buffer(0, 1, channel, ready)
Ref open_buffer(PyObject* rns, PyObject* channel, PyObject* ready) {
    Ref buffer_type = attr(rns, ZV_STR("Buffer"));
    Ref rx = Ref::steal(PyLong_FromLong(0)), tx = Ref::steal(PyLong_FromLong(1));
    if (!buffer_type || !rx || !tx) return {};
    return call_method(buffer_type.get(), ZV_STR("create_bidirectional_buffer"),
                       {rx.get(), tx.get(), channel, ready});
}

int accept_link(const GatewayPtr& gateway, PyObject* rns_link) {
    auto link = std::make_shared<Link>();
    link->gateway = gateway;
    Ref capsule = kLinkCapsule.wrap(link);
    Ref ready = capsule ? nested(*link, kReaderReady, capsule) : Ref{};
    Ref closed = ready ? nested(*link, kLinkClosed, capsule) : Ref{};
    if (!closed || !call_method(rns_link, ZV_STR("set_link_closed_callback"), {closed.get()})) return -1;
    Ref channel = call_method(rns_link, ZV_STR("get_channel"));
    Ref buffer = channel ? open_buffer(gateway->rns.get(), channel.get(), ready.get()) : Ref{};
    if (!buffer) return -1;
    link->link = Ref::borrow(rns_link);
    link->buffer = std::move(buffer);
    link->channel = std::move(channel);
    gateway->links[rns_link] = link;
    // Bytes may have come while the buffer was being made: look once in any case (on a
    // worker: this is Reticulum's own thread, which must not wait for an upstream).
    notify(link, false);
    return 0;
}

PyObject* on_link_established(NativeFunction* fn, PyObject* const* args) {
    GatewayPtr* gateway = kGatewayCapsule.get(captured(fn, 0));
    if (!gateway || accept_link(*gateway, args[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

const table::Function kLinkEstablished = {
    "_on_link", {{"link", "RNS.Link"}}, "None", nullptr, on_link_established,
};

// The first bytes of a link tell its form: a compact link's answers go as frames, its
// bodies above one message's worth as resources.
void learn_form(Link& link, unsigned char first_byte) {
    link.form_known = true;
    if (!compact::begins_compact(first_byte)) return;
    Py_ssize_t piece = rns::max_piece(link.gateway->rns.get(), link.channel.get());
    if (piece <= 0) PyErr_Clear();
    std::size_t resource_above = piece > 0 && std::size_t(piece) < link.gateway->settings.resource_piece_limit
                                     ? std::size_t(piece)
                                     : 0;
    link.requests = std::make_unique<compact::Decoder>(http::MessageReader::Kind::Request);
    link.answers = std::make_unique<compact::Encoder>(http::MessageReader::Kind::Response, resource_above);
}

// Bytes read off the link, into the inbox as HTTP/1.1; false when compact frames cannot
// be followed.
bool take_bytes(Link& link, std::string_view bytes) {
    if (!link.form_known && !bytes.empty()) learn_form(link, static_cast<unsigned char>(bytes.front()));
    if (!link.requests) {
        link.inbox.append(bytes);
        return true;
    }
    link.requests->feed(bytes, 0);
    std::vector<compact::Decoder::Segment> segments;
    bool sound = link.requests->run(segments);
    for (const auto& segment : segments) link.inbox.append(segment.text);
    return sound;
}

// One bounded read of the link's buffer into the inbox: the count read, 0 for none, -1
// when the buffer cannot be read (the link is then taken as closed).
Py_ssize_t read_link(Link& link) {
    link.data_ready.store(false);
    Ref buffer = link.buffer;
    if (!buffer) return -1;
    Ref size = Ref::steal(PyLong_FromSsize_t(kReadSize));
    Ref got = size ? call_method(buffer.get(), ZV_STR("read"), {size.get()}) : Ref{};
    if (!got) {
        PyErr_Clear();
        return -1;
    }
    if (got.is_none()) return 0;
    Py_buffer view;
    if (PyObject_GetBuffer(got.get(), &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        return -1;
    }
    bool sound =
        take_bytes(link, std::string_view(static_cast<const char*>(view.buf), std::size_t(view.len)));
    Py_ssize_t n = view.len;
    PyBuffer_Release(&view);
    if (sound) return n;
    end_link(link);
    return -1;
}

enum class Wait { Data, Parked, Closed, TimedOut };

bool head_expired(const Link& link) {
    std::int64_t expired = link.expired_for.load();
    return expired != 0 && expired == link.head_since.load();
}

// Gives the link back; false when bytes came meanwhile and this thread took it again.
bool park(Link& link) {
    if (!link.reader.between_messages()) {
        std::int64_t none = 0;
        link.head_since.compare_exchange_strong(none, monotonic_ns());
    }
    link.scheduled.store(false);
    // A notification between the last look and the store above found the link taken.
    return !(link.data_ready.load() && !link.scheduled.exchange(true));
}

// Nothing to read: parks the link (with `may_park`) or waits for bytes or the end.
Wait wait_for_data(Link& link, bool may_park) {
    if (link.closed.load()) return Wait::Closed;
    if (link.data_ready.load()) return Wait::Data;
    if (head_expired(link)) return Wait::TimedOut;
    if (may_park) return park(link) ? Wait::Parked : Wait::Data;
    auto timeout = std::chrono::duration<double>(link.gateway->settings.read_timeout);
    return link.wake.locked([&](sync::Monitor::Guard& guard) {
        ++link.waiters;
        bool woken =
            link.wake.wait_for(guard, timeout, [&] { return link.data_ready.load() || link.closed.load(); });
        --link.waiters;
        if (!woken) return Wait::TimedOut;
        return link.closed.load() && !link.data_ready.load() ? Wait::Closed : Wait::Data;
    });
}

// A request whose head is complete is no longer watched for its time.
void head_arrived(Link& link) { link.head_since.store(0); }

// Serves one link until it has nothing to do (parked) or has ended.
void serve(const LinkPtr& held) {
    Link& link = *held;
    for (;;) {
        http::MessageReader::Event event;
        Pull pulled = pull(link, true, event);
        if (pulled == Pull::Parked || pulled == Pull::Closed) return;
        if (pulled == Pull::TimedOut) {
            answer(link, 408, "Request timeout", false);
            log_refused_head(link);
            return end_link(link);
        }
        if (event == http::MessageReader::Event::Error) {
            answer(link, link.reader.error_status(), link.reader.error(), false);
            log_refused_head(link);
            return end_link(link);
        }
        if (event != http::MessageReader::Event::Head) continue;
        head_arrived(link);
        if (!serve_and_log(link)) return;
    }
}

}  // namespace

std::int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Pull pull(Link& link, bool may_park, http::MessageReader::Event& event) {
    for (;;) {
        std::string_view input(link.inbox);
        input.remove_prefix(link.inbox_pos);
        event = link.reader.next(input);
        link.inbox_pos = link.inbox.size() - input.size();
        if (event != http::MessageReader::Event::NeedMore) return Pull::Event;
        link.inbox.clear();
        link.inbox_pos = 0;
        Py_ssize_t got = read_link(link);
        if (got > 0) continue;
        if (got < 0) return Pull::Closed;
        switch (wait_for_data(link, may_park)) {
            case Wait::Data: continue;
            case Wait::Parked: return Pull::Parked;
            case Wait::Closed: return Pull::Closed;
            case Wait::TimedOut: return Pull::TimedOut;
        }
    }
}

bool Workers::enter(std::size_t max_threads) {
    std::size_t now = serving_.load();
    do {
        if (now >= std::max<std::size_t>(1, max_threads)) return false;
    } while (!serving_.compare_exchange_weak(now, now + 1));
    return true;
}

void Workers::leave() { --serving_; }

void Workers::submit(LinkPtr link, std::size_t max_threads) {
    bool start = monitor_.locked([&](sync::Monitor::Guard&) {
        queue_.push_back(std::move(link));
        monitor_.notify_one();
        if (idle_ > 0 || threads_ >= std::max<std::size_t>(1, max_threads)) return false;
        ++threads_;
        return true;
    });
    if (start && PyThread_start_new_thread(thread_main, this) == PYTHREAD_INVALID_THREAD_ID)
        monitor_.locked([&](sync::Monitor::Guard&) { --threads_; });
}

void Workers::thread_main(void* arg) {
    auto* self = static_cast<Workers*>(arg);
    PyGILState_STATE gil = PyGILState_Ensure();
    for (;;) {
        LinkPtr next = self->monitor_.locked([&](sync::Monitor::Guard& guard) {
            ++self->idle_;
            self->monitor_.wait(guard, [&] { return !self->queue_.empty(); });
            --self->idle_;
            ++self->serving_;
            LinkPtr first = std::move(self->queue_.front());
            self->queue_.pop_front();
            return first;
        });
        serve(next);
        self->leave();
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    }
    PyGILState_Release(gil);
}

GatewayPtr make_gateway(PyObject* module, Settings settings) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return {};
    auto gateway = std::make_shared<Gateway>();
    gateway->settings = std::move(settings);
    gateway->module = Ref::borrow(module);
    gateway->rns = std::move(rns);
    return gateway;
}

Ref link_established_callback(const GatewayPtr& gateway) {
    Ref capsule = kGatewayCapsule.wrap(gateway);
    Ref closure = capsule ? new_tuple({capsule.get()}) : Ref{};
    return closure ? table::make_nested(gateway->module.get(), kLinkEstablished, kLocals, closure.get())
                   : Ref{};
}

std::vector<LinkPtr> snapshot(const Gateway& gateway) {
    std::vector<LinkPtr> links;
    for (const auto& [key, link] : gateway.links) links.push_back(link);
    return links;
}

namespace {

// Bodies relayed since the last trim after which the heap is trimmed.
constexpr std::size_t kTrimAfter = 4 * 1024 * 1024;

// Every message Reticulum hands over starts a thread of its own, and glibc gives threads
// malloc arenas of their own, each keeping what was freed in it: downloads left the
// process larger by a few MiB per arena (measured: 44 MiB idle, 61 after three 50 MiB
// downloads; 51 once trimmed). So once enough has gone through, freed pages go back.
void trim_heap(Gateway& gateway) {
    if (gateway.relayed.load(std::memory_order_relaxed) < kTrimAfter) return;
    gateway.relayed.store(0, std::memory_order_relaxed);
#if defined(__GLIBC__)
    sync::without_gil([] { malloc_trim(0); });
#endif
}

}  // namespace

void sweep(const GatewayPtr& gateway) {
    trim_heap(*gateway);
    const auto limit = std::int64_t(gateway->settings.read_timeout * 1e9);
    const std::int64_t now = monotonic_ns();
    for (const LinkPtr& link : snapshot(*gateway)) {
        std::int64_t since = link->head_since.load();
        if (link->scheduled.load() || link->closed.load() || since == 0 || now - since < limit) continue;
        link->expired_for.store(since);
        if (!link->scheduled.exchange(true)) gateway->workers.submit(link, gateway->settings.workers);
    }
}

void stop(const GatewayPtr& gateway) {
    for (const LinkPtr& link : snapshot(*gateway)) {
        Ref rns_link = link->link;
        if (rns_link && !call_method(rns_link.get(), ZV_STR("teardown"))) PyErr_Clear();
    }
}

}  // namespace zv::gateway
