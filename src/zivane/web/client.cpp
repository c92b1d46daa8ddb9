// Requests on the proxy's per-destination links, for the transports (transports.cpp).
#include "web/client.hpp"

#include "proxy/target.hpp"
#include "support/globals.hpp"
#include "support/tables.hpp"

#include <deque>

namespace zv::web {
namespace {

using Clock = proxy::Clock;

Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool fail(Exchange& ex, Failure failure, std::string why) {
    ex.failure = failure;
    ex.why = std::move(why);
    return false;
}

// The head sent on the link: origin-form, Host naming the destination, framing as the
// library set it (chunked when it asked for it), nothing about the library's connection.
http::Head outgoing_head(Outgoing& out, const proxy::Target& target, bool& chunked) {
    http::Head head;
    head.method = out.method;
    head.target = target.path;
    head.fields = std::move(out.fields);
    chunked = head.lists("transfer-encoding", "chunked");
    http::drop_hop_by_hop(head);
    if (!head.find("host")) head.set("Host", target.authority);
    if (chunked) head.set("Transfer-Encoding", "chunked");
    return head;
}

// The body's next piece from its iterator, into `data`.
proxy::Link::Feed feed(PyObject* body, bool chunked, std::string& data, bool& raised) {
    if (!body || body == Py_None) return proxy::Link::Feed::Done;
    Ref piece = Ref::steal(PyIter_Next(body));
    if (!piece) {
        if (PyErr_Occurred()) return raised = true, proxy::Link::Feed::Failed;
        if (chunked) data.append(http::kLastChunk);
        return proxy::Link::Feed::Done;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(piece.get(), &view, PyBUF_SIMPLE) < 0)
        return raised = true, proxy::Link::Feed::Failed;
    std::string_view bytes(static_cast<const char*>(view.buf), std::size_t(view.len));
    chunked ? http::append_chunk(data, bytes) : void(data.append(bytes));
    PyBuffer_Release(&view);
    return proxy::Link::Feed::More;
}

// The answer is given up on its link: the rest is dropped as it arrives.
void give_up(Exchange& ex) {
    proxy::LinkPtr link = ex.link;
    proxy::AnswerPtr answer = ex.answer;
    sync::without_gil([&] { link->abandon(answer); });
    link->tear_down_if_due();
}

// Keeps what `taken` brought; the head of a continuation is checked, not kept. False with
// the failure set. A link that failed half-way through a body that may be continued
// leaves it `cut` instead.
bool absorb(Exchange& ex, proxy::Link::Taken& taken) {
    Continuation& more = ex.continuation;
    bool continued = taken.has_head && more.plan && more.plan->continuing;
    std::string why;
    if (continued && !proxy::resume::continues(taken.head, *more.plan, why)) {
        give_up(ex);
        return fail(ex, Failure::Protocol, "the answer from " + ex.link->name() + " was cut short: " + why);
    }
    if (continued) more.plan->continuing = false;
    if (taken.has_head && !continued) {
        ex.head = std::move(taken.head);
        more.plan = proxy::resume::plan_for(more.request, ex.head);
    }
    for (std::string& piece : taken.pieces) {
        ex.pending.append(piece);
        if (more.plan) more.plan->received += piece.size();
    }
    if (taken.ended) ex.ended = true;
    if (ex.ended && ex.pending.empty()) ex.finished.store(true);
    if (taken.overflowed) return fail(ex, Failure::Protocol, "the answer was not read fast enough");
    if (!taken.failure.empty() && !taken.ended && more.plan) {
        more.cut = true;
        more.why = taken.failure;
        return true;
    }
    if (!taken.failure.empty() && !taken.ended) return fail(ex, Failure::Protocol, taken.failure);
    return true;
}

// Asks a new link for the rest of an answer cut short, when it may be asked once more.
// False with the failure set.
bool ask_for_the_rest(Exchange& ex) {
    Continuation& more = ex.continuation;
    more.cut = false;
    if (!more.plan->another_try()) return fail(ex, Failure::Protocol, more.why);
    proxy::Link::Outbound outbound{
        http::serialize_request(proxy::resume::continuation(more.request, *more.plan))};
    auto no_body = [](std::string&) { return proxy::Link::Feed::Done; };
    proxy::Link::Sent sent = proxy::Link::Sent::NotTaken;
    std::string why = more.why;
    for (int tries = 0; tries < 2 && sent == proxy::Link::Sent::NotTaken; ++tries) {
        proxy::LinkFailure failure;
        proxy::LinkPtr link =
            ex.client->destinations.get(more.module.get(), more.target.hash, more.target.port,
                                        ex.client->identity_path.get(), more.settings, failure);
        if (!link) {
            PyErr_Clear();
            return fail(ex, Failure::Protocol, more.why + "; " + failure.reason);
        }
        if (ex.closed.load()) return fail(ex, Failure::Protocol, "the answer was closed");
        ex.link = std::move(link);
        ex.answer = std::make_shared<proxy::Answer>(false);
        sent = ex.link->send(more.module.get(), outbound, ex.answer, no_body, why);
    }
    PyErr_Clear();
    return sent == proxy::Link::Sent::Whole || fail(ex, Failure::Protocol, why);
}

// Waits for what the answer gained (the link's own waits go without the GIL). False with
// the failure set.
bool take(Exchange& ex, double timeout) {
    if (ex.continuation.cut && !ask_for_the_rest(ex)) return false;
    proxy::Link::Taken taken;
    for (;;) {
        auto deadline = after(timeout);
        if (sync::without_gil([&] { return ex.link->take(ex.answer, deadline, taken); }))
            return ex.closed.load() ? fail(ex, Failure::Protocol, "the answer was closed")
                                    : absorb(ex, taken);
        if (ex.head.status == 0 && ex.link->progressed_within(timeout)) continue;  // queued behind another
        std::string why = ex.link->name() + " did not answer in time";
        ex.link->fail(nullptr, why);  // a late answer would be taken for the next request's
        return fail(ex, Failure::ReadTimeout, why);
    }
}

}  // namespace

bool start_exchange(PyObject* module, Exchange& ex, Outgoing& out) {
    proxy::Target target;
    proxy::Refusal refusal;
    if (!proxy::read_target(out.method, out.url, "", target, refusal))
        return fail(ex, Failure::Unsupported, refusal.reason);
    proxy::Settings settings = ex.client->settings;
    if (out.timeouts.connect) settings.connect_timeout = *out.timeouts.connect;
    ex.read_timeout = out.timeouts.read.value_or(settings.request_timeout);
    bool chunked = false, raised = false;
    Continuation& continuation = ex.continuation;
    continuation.request = outgoing_head(out, target, chunked);
    proxy::Link::Outbound outbound{http::serialize_request(continuation.request)};
    continuation.module = Ref::borrow(module);
    continuation.target = target;
    continuation.settings = settings;
    ex.answer = std::make_shared<proxy::Answer>(out.method == "HEAD");
    auto more = [&](std::string& data) { return feed(out.body.get(), chunked, data, raised); };
    std::string why;
    proxy::Link::Sent sent = proxy::Link::Sent::NotTaken;
    // A link that failed since it was found takes nothing: one more try gets a new one.
    for (int tries = 0; tries < 2 && sent == proxy::Link::Sent::NotTaken; ++tries) {
        proxy::LinkFailure failure;
        ex.link = ex.client->destinations.get(module, target.hash, target.port,
                                              ex.client->identity_path.get(), settings, failure);
        if (!ex.link) {
            PyErr_Clear();
            return fail(ex, failure.status == 504 ? Failure::ConnectTimeout : Failure::Connect,
                        failure.reason);
        }
        // From here on a close finds the link and gives the answer up there.
        if (ex.closed.load()) return fail(ex, Failure::Write, "the request was given up before it went out");
        sent = ex.link->send(module, outbound, ex.answer, more, why);
    }
    if (sent != proxy::Link::Sent::Whole) {
        if (raised) return false;
        PyErr_Clear();
        return fail(ex, Failure::Write, why);
    }
    while (ex.head.status == 0) {
        if (!take(ex, ex.read_timeout)) return false;
        if (ex.head.status == 0 && ex.ended) return fail(ex, Failure::Protocol, "the answer had no head");
    }
    return true;
}

bool read_answer(Exchange& ex, std::size_t max, bool wait, std::string& out) {
    sync::MutexGuard guard(ex.mutex);
    out.clear();
    while (ex.pending.empty() && !ex.ended && !ex.closed.load()) {
        if (ex.failure != Failure::None) return false;
        if (wait) {
            if (!take(ex, ex.read_timeout) && !ex.closed.load()) return false;
            continue;
        }
        if (ex.continuation.cut) return false;  // a waiting read asks for the rest
        proxy::Link::Taken taken;
        bool got = sync::without_gil([&] { return ex.link->take(ex.answer, Clock::now(), taken); });
        if (!got || !absorb(ex, taken)) return false;
        if (ex.pending.empty() && !ex.ended) return false;
    }
    if (ex.closed.load()) {
        ex.pending.clear();  // what was read ahead goes with the answer
        return true;
    }
    std::size_t n = max == 0 ? ex.pending.size() : std::min(max, ex.pending.size());
    out.assign(ex.pending, 0, n);
    ex.pending.erase(0, n);
    if (ex.ended && ex.pending.empty()) ex.finished.store(true);
    return true;
}

void close_exchange(Exchange& ex) {
    if (ex.closed.exchange(true) || !ex.link || !ex.answer) return;
    give_up(ex);
}

// ---- the pool ---------------------------------------------------------------------------

namespace {

constexpr std::size_t kMaxThreads = 32;

struct Pool {
    sync::Monitor monitor;  // level 5
    std::deque<std::function<void()>> tasks;
    std::size_t threads = 0, idle = 0;
};

Pool& pool() {
    static Pool* the_pool = new Pool;  // lives as long as its threads: never destroyed
    return *the_pool;
}

void pool_main(void*) {
    Pool& p = pool();
    PyGILState_STATE gil = PyGILState_Ensure();
    for (;;) {
        std::function<void()> task = p.monitor.locked([&](sync::Monitor::Guard& guard) {
            ++p.idle;
            p.monitor.wait(guard, [&] { return !p.tasks.empty(); });
            --p.idle;
            std::function<void()> first = std::move(p.tasks.front());
            p.tasks.pop_front();
            return first;
        });
        task();
        task = nullptr;  // what it captured goes with the GIL held
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    }
    PyGILState_Release(gil);
}

PyObject* settle_impl(NativeFunction*, PyObject* const* args) {
    Ref done = call_method(args[0], ZV_STR("done"));
    if (!done) return nullptr;
    if (done.get() == Py_True) Py_RETURN_NONE;
    PyObject* how = PyObject_IsTrue(args[2]) == 1 ? ZV_STR("set_exception") : ZV_STR("set_result");
    return call_method(args[0], how, {args[1]}).release();
}

const table::Function kSettle = {"_settle", {{"future"}, {"value"}, {"error"}}, "None", nullptr, settle_impl};

}  // namespace

void run_in_pool(std::function<void()> task) {
    Pool& p = pool();
    bool start = p.monitor.locked([&](sync::Monitor::Guard&) {
        p.tasks.push_back(std::move(task));
        p.monitor.notify_one();
        // An idle thread counts until it wakes: tasks pushed before then all wait for it,
        // one after the other, unless each task beyond the idle threads gets one of its own.
        if (p.tasks.size() <= p.idle || p.threads >= kMaxThreads) return false;
        ++p.threads;
        return true;
    });
    if (start && PyThread_start_new_thread(pool_main, nullptr) == PYTHREAD_INVALID_THREAD_ID)
        p.monitor.locked([&](sync::Monitor::Guard&) { --p.threads; });
}

void settle_later(PyObject* module, PyObject* loop, PyObject* future, PyObject* value, bool error) {
    Ref settle = table::make_nested(module, kSettle, "AsyncHttpxTransport", nullptr);
    if (!settle || !value ||
        !call_method(loop, ZV_STR("call_soon_threadsafe"),
                     {settle.get(), future, value, error ? Py_True : Py_False}))
        PyErr_Clear();  // the loop has closed: nobody waits any more
}

}  // namespace zv::web
