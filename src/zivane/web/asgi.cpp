// ASGI applications: each request runs as a task on the program's event loop. The gateway
// worker that read its head reads its body as receive() asks for it, then goes on to the
// link's next request, so requests pipelined on one link run at once; their answers are
// written in the order of the requests by a pool task per link (write_answers), which
// gives its thread back while the application has nothing to write, and is resumed by
// send(), by the application's end, or by tick() once the link has closed. send()
// queues what the application sends and waits only once more than kOutboxLimit bytes are
// queued, so a slow link slows the application down instead of piling its answer up
// here. Results reach the loop through loop.call_soon_threadsafe; nothing on the loop
// ever waits on Reticulum.
#include "web/client.hpp"
#include "web/server.hpp"

#include "support/capsule.hpp"
#include "support/globals.hpp"
#include "support/native_coroutine.hpp"
#include "support/tables.hpp"

#include <deque>
#include <functional>
#include <unordered_map>

namespace zv::web {
namespace {

using Event = http::MessageReader::Event;
constexpr std::size_t kOutboxLimit = 256 * 1024;

struct Message {
    bool start = false;  // http.response.start, else http.response.body
    int status = 0;
    std::vector<http::Field> fields;
    std::string data;
    bool last = false;
};

// One request, shared by the worker reading its body, the pool thread writing its answer,
// receive(), send() and the application's task.
struct Call {
    sync::Monitor monitor;  // level 5; guards the fields up to `app_done`
    std::deque<Message> outbox;
    std::size_t outbox_bytes = 0;
    bool receive_wanted = false, body_done = false, disconnected = false, response_done = false;
    bool send_blocked = false, over = false, app_done = false;
    bool writer_parked = false;  // the answer's writer waits for send() or the end
    // GIL
    std::function<void()> resume_writer;  // has the parked writer go on
    Ref loop, module;
    Ref receive_future, send_future;
    Ref spare;             // a message whose receive() was cancelled before it came
    bool started = false;  // send() saw http.response.start
};
using CallPtr = std::shared_ptr<Call>;
constexpr Capsule<CallPtr> kCall{"zivane.web.asgi_call"};

Call* call_of(NativeFunction* fn) {
    CallPtr* held = kCall.get(captured(fn, 0));
    return held ? held->get() : nullptr;
}

Ref message(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    Ref dict = Ref::steal(PyDict_New());
    for (const auto& [key, value] : items)
        if (!dict || !value || PyDict_SetItemString(dict.get(), key, value) < 0) return {};
    return dict;
}

Ref text(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

Ref disconnect_message() {
    Ref type = text("http.disconnect");
    return type ? message({{"type", type.get()}}) : Ref{};
}

Ref request_message(std::string_view body, bool more) {
    Ref type = text("http.request"), data = bytes_of(body), more_body = Ref::boolean(more);
    return type && data
               ? message({{"type", type.get()}, {"body", data.get()}, {"more_body", more_body.get()}})
               : Ref{};
}

Ref resolved(PyObject* loop, PyObject* value) {
    Ref future = call_method(loop, ZV_STR("create_future"));
    if (!future || !call_method(future.get(), ZV_STR("set_result"), {value})) return {};
    return future;
}

// On the loop: a result the worker sent over. A receive() cancelled meanwhile leaves its
// message for the next one.
PyObject* deliver_impl(NativeFunction* fn, PyObject* const* args) {
    Call* call = call_of(fn);
    if (!call) return nullptr;
    Ref done = call_method(args[0], ZV_STR("done"));
    int is_done = done ? PyObject_IsTrue(done.get()) : -1;
    if (is_done < 0) return nullptr;
    if (is_done) {
        if (PyObject_IsTrue(args[2]) == 1) call->spare = Ref::borrow(args[1]);
        Py_RETURN_NONE;
    }
    return call_method(args[0], ZV_STR("set_result"), {args[1]}).release();
}

const table::Function kDeliver = {
    "_deliver", {{"future"}, {"value"}, {"keep"}}, "None", nullptr, deliver_impl};

// From the worker: `future.set_result(value)` on the loop.
void post(const CallPtr& call, PyObject* capsule, PyObject* future, PyObject* value, bool keep) {
    Ref closure = new_tuple({capsule});
    Ref deliver = closure ? table::make_nested(call->module.get(), kDeliver, "ASGI", closure.get()) : Ref{};
    if (!deliver || !value ||
        !call_method(call->loop.get(), ZV_STR("call_soon_threadsafe"),
                     {deliver.get(), future, value, keep ? Py_True : Py_False}))
        PyErr_Clear();  // the loop has closed: nobody waits any more
}

PyObject* receive_impl(NativeFunction* fn, PyObject* const*) {
    Call* call = call_of(fn);
    if (!call) return nullptr;
    if (call->spare) return resolved(call->loop.get(), std::exchange(call->spare, Ref{}).get()).release();
    if (call->receive_future) {
        Ref done = call_method(call->receive_future.get(), ZV_STR("done"));
        if (done && done.get() == Py_False) return Ref(call->receive_future).release();
    }
    Ref future = call_method(call->loop.get(), ZV_STR("create_future"));
    if (!future) return nullptr;
    call->receive_future = future;
    bool now = call->monitor.locked([&](sync::Monitor::Guard&) {
        if (call->disconnected || call->over || (call->body_done && call->response_done)) return true;
        call->receive_wanted = true;
        call->monitor.notify_all();
        return false;
    });
    if (now) {
        Ref gone = disconnect_message();
        if (!gone || !call_method(future.get(), ZV_STR("set_result"), {gone.get()})) return nullptr;
    }
    return future.release();
}

// A header list of [name, value] byte pairs.
bool read_fields(PyObject* headers, std::vector<http::Field>& out) {
    Ref items = Ref::steal(PySequence_List(headers));
    for (Py_ssize_t i = 0; items && i < PyList_GET_SIZE(items.get()); ++i) {
        Ref pair = Ref::steal(PySequence_Tuple(PyList_GET_ITEM(items.get(), i)));
        if (!pair) return false;
        http::Field field;
        if (PyTuple_GET_SIZE(pair.get()) != 2 ||
            !view_bytes(PyTuple_GET_ITEM(pair.get(), 0), field.name, "header names") ||
            !view_bytes(PyTuple_GET_ITEM(pair.get(), 1), field.value, "header values"))
            return PyErr_Occurred() ? false : (PyErr_SetString(PyExc_ValueError, "headers are pairs"), false);
        out.push_back(std::move(field));
    }
    return bool(items);
}

Ref item(PyObject* dict, const char* key) {
    Ref value = Ref::steal(PyObject_GetItem(dict, Ref::steal(PyUnicode_FromString(key)).get()));
    if (!value && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return Ref::none();
    }
    return value;
}

// The message as the worker writes it; false with an exception for a wrong one, true
// with `ignored` for a kind this server does not write.
bool read_message(Call& call, PyObject* msg, Message& out, bool& ignored) {
    Ref type = item(msg, "type");
    const char* kind = type && PyUnicode_Check(type.get()) ? PyUnicode_AsUTF8(type.get()) : "";
    if (!type || !kind) return false;
    if (std::string_view(kind) == "http.response.start") {
        if (call.started)
            return PyErr_SetString(PyExc_RuntimeError, "the response has started already"), false;
        Ref status = item(msg, "status");
        Ref headers = status ? item(msg, "headers") : Ref{};
        out.start = true;
        out.status = status ? int(PyLong_AsLong(status.get())) : -1;
        if (!headers || PyErr_Occurred() || (!headers.is_none() && !read_fields(headers.get(), out.fields)))
            return false;
        call.started = true;
        return true;
    }
    if (std::string_view(kind) != "http.response.body") return ignored = true, true;
    if (!call.started)
        return PyErr_SetString(PyExc_RuntimeError, "body sent before http.response.start"), false;
    Ref body = item(msg, "body");
    Ref more = body ? item(msg, "more_body") : Ref{};
    int more_body = more ? PyObject_IsTrue(more.get()) : -1;
    if (more_body < 0 || (!body.is_none() && !view_bytes(body.get(), out.data, "body"))) return false;
    out.last = !more_body;
    return true;
}

PyObject* send_impl(NativeFunction* fn, PyObject* const* args) {
    Call* call = call_of(fn);
    if (!call) return nullptr;
    Message msg;
    bool ignored = false;
    if (!read_message(*call, args[0], msg, ignored)) return nullptr;
    Ref future = call_method(call->loop.get(), ZV_STR("create_future"));
    if (!future) return nullptr;
    call->send_future = future;
    struct Outcome {
        bool blocked = false, answer_receive = false;
    };
    bool resume = false;
    Outcome outcome = call->monitor.locked([&](sync::Monitor::Guard&) {
        Outcome o;
        if (ignored || call->disconnected || call->over || call->response_done) return o;
        call->response_done = msg.last;
        call->outbox_bytes += msg.data.size();
        call->outbox.push_back(std::move(msg));
        resume = std::exchange(call->writer_parked, false);
        o.blocked = call->send_blocked = call->outbox_bytes > kOutboxLimit;
        // A receive() waiting for the end of the request learns of it now.
        if (call->response_done && call->body_done && call->receive_wanted) {
            call->receive_wanted = false;
            o.answer_receive = true;
        }
        call->monitor.notify_all();
        return o;
    });
    if (resume && call->resume_writer) call->resume_writer();
    if (outcome.answer_receive) {
        Ref gone = disconnect_message();
        Ref pending = std::exchange(call->receive_future, Ref{});
        if (!gone || (pending && !call_method(pending.get(), ZV_STR("set_result"), {gone.get()})))
            return nullptr;
    }
    if (outcome.blocked) return future.release();
    call->send_future = {};
    return call_method(future.get(), ZV_STR("set_result"), {Py_None}) ? future.release() : nullptr;
}

const table::Function kReceive = {"receive", {}, nullptr, nullptr, receive_impl};
const table::Function kSend = {"send", {{"message"}}, nullptr, nullptr, send_impl};

CoBody run_app_body(Ref capsule, Ref app, Ref scope, Ref receive, Ref send) {
    Ref coroutine = call(app.get(), {scope.get(), receive.get(), send.get()});
    Ref result = co_await Await(coroutine.get());
    CallPtr* held = kCall.get(capsule.get());
    if (!result) report_app_error();
    if (held) {
        Call& c = **held;
        bool resume = c.monitor.locked([&](sync::Monitor::Guard&) {
            c.app_done = true;
            c.monitor.notify_all();
            return std::exchange(c.writer_parked, false);
        });
        if (resume && c.resume_writer) c.resume_writer();
    }
    co_return Ref::none();
}

PyObject* run_app_impl(NativeFunction* fn, PyObject* const*) {
    auto at = [&](Py_ssize_t i) { return Ref::borrow(captured(fn, i)); };
    return make_coroutine(fn, run_app_body(at(0), at(1), at(2), at(3), at(4)));
}

const table::Function kRunApp = {"_run_app", {}, nullptr, nullptr, run_app_impl, table::Kind::Coroutine};

// A request queued for its answer to be written.
struct Queued {
    CallPtr call;
    Ref capsule;  // the call's, for handing results to the loop
    bool is_head = false;
    std::shared_ptr<ResponseWriter> writer;  // once its writing began
    bool told_gone = false;                  // the application heard the link has gone
};

// The answers still to write on one link, in order. GIL.
struct Pipeline {
    gateway::LinkPtr link;
    std::deque<Queued> queue;
    bool writing = false;  // a pool task writes them, or waits parked for the front one
    bool link_ok = true;
};
using PipelinePtr = std::shared_ptr<Pipeline>;

struct Pipelines {
    std::unordered_map<gateway::Link*, PipelinePtr> by_link;  // GIL
};

class AsgiServer final : public AppServer {
public:
    AsgiServer(PyObject* module, PyObject* app, PyObject* loop, PyObject* state)
        : module_(Ref::borrow(module)),
          app_(Ref::borrow(app)),
          loop_(Ref::borrow(loop)),
          state_(Ref::borrow(state)) {}
    bool serve(gateway::Link& link) override;
    void tick() override;

private:
    Ref scope(gateway::Link& link, const std::string& identity);
    bool start(PyObject* capsule, PyObject* scope);
    bool read_body(gateway::Link& link, const CallPtr& call, PyObject* capsule);
    bool queue_answer(gateway::Link& link, const CallPtr& call, PyObject* capsule, bool is_head);
    Ref module_, app_, loop_, state_;
    std::shared_ptr<Pipelines> pipelines_ = std::make_shared<Pipelines>();
};

Ref pair_of(std::string_view first, long second) {
    return Ref::steal(Py_BuildValue("(s#l)", first.data(), Py_ssize_t(first.size()), second));
}

Ref header_list(const std::vector<http::Field>& fields) {
    Ref list = Ref::steal(PyList_New(0));
    for (const http::Field& field : fields) {
        std::string name = field.name;
        for (char& c : name) c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
        Ref pair = Ref::steal(Py_BuildValue("(y#y#)", name.data(), Py_ssize_t(name.size()),
                                            field.value.data(), Py_ssize_t(field.value.size())));
        if (!list || !pair || PyList_Append(list.get(), pair.get()) < 0) return {};
    }
    return list;
}

int put(PyObject* dict, const char* key, Ref value) {
    return value ? PyDict_SetItemString(dict, key, value.get()) : -1;
}

Ref AsgiServer::scope(gateway::Link& link, const std::string& identity) {
    const http::Head& head = link.reader.head();
    Target target = split_target(head.target);
    Ref s = Ref::steal(PyDict_New());
    Ref asgi = Ref::steal(Py_BuildValue("{ssss}", "version", "3.0", "spec_version", "2.3"));
    Ref path =
        Ref::steal(PyUnicode_DecodeUTF8(target.path.data(), Py_ssize_t(target.path.size()), "replace"));
    Ref state = state_.is_none() ? Ref::steal(PyDict_New()) : call_method(state_.get(), ZV_STR("copy"));
    PyObject* d = s.get();
    if (!s || !asgi || put(d, "type", text("http")) < 0 || put(d, "asgi", asgi) < 0 ||
        put(d, "http_version", text(head.minor_version == 0 ? "1.0" : "1.1")) < 0 ||
        put(d, "method", latin1(head.method)) < 0 || put(d, "scheme", text("http")) < 0 ||
        put(d, "path", path) < 0 || put(d, "raw_path", bytes_of(target.raw_path)) < 0 ||
        put(d, "query_string", bytes_of(target.query)) < 0 || put(d, "root_path", text("")) < 0 ||
        put(d, "headers", header_list(app_fields(head, identity))) < 0 ||
        put(d, "client", pair_of(client_name(link, identity), 0)) < 0 ||
        put(d, "server", pair_of(where.host, where.port)) < 0 || put(d, "state", state) < 0)
        return {};
    return s;
}

// The application's task, started on the loop.
bool AsgiServer::start(PyObject* capsule, PyObject* scope) {
    Ref closure = new_tuple({capsule});
    Ref receive = closure ? table::make_nested(module_.get(), kReceive, "ASGI", closure.get()) : Ref{};
    Ref send = receive ? table::make_nested(module_.get(), kSend, "ASGI", closure.get()) : Ref{};
    Ref run_closure = send ? new_tuple({capsule, app_.get(), scope, receive.get(), send.get()}) : Ref{};
    Ref run = run_closure ? table::make_nested(module_.get(), kRunApp, "ASGI", run_closure.get()) : Ref{};
    Ref coroutine = run ? call(run.get()) : Ref{};
    Ref asyncio = coroutine ? module_global(module_.get(), ZV_STR("asyncio")) : Ref{};
    Ref started = asyncio ? call_method(asyncio.get(), ZV_STR("run_coroutine_threadsafe"),
                                        {coroutine.get(), loop_.get()})
                          : Ref{};
    if (!started && coroutine && !call_method(coroutine.get(), ZV_STR("close"))) PyErr_Clear();
    return bool(started);
}

bool link_closed(gateway::Link& link) { return link.closed.load(); }

// Reads the next piece of the body for receive(). False when the link failed.
bool read_piece(gateway::Link& link, const CallPtr& call, PyObject* capsule) {
    http::MessageReader::Event event;
    gateway::Pull pulled = gateway::pull(link, false, event);
    bool piece = pulled == gateway::Pull::Event && event == Event::Body;
    bool end = pulled == gateway::Pull::Event && event == Event::End;
    call->monitor.locked([&](sync::Monitor::Guard&) {
        call->body_done = call->body_done || end;
        call->disconnected = !piece && !end;
    });
    Ref msg = piece || end ? request_message(piece ? link.reader.piece() : std::string_view(), piece)
                           : disconnect_message();
    Ref future = std::exchange(call->receive_future, Ref{});
    if (future) post(call, capsule, future.get(), msg.get(), true);
    if (pulled == gateway::Pull::TimedOut) gateway::end_link(link);
    return piece || end;
}

// Writes what send() queued. False when the link has ended.
bool write_batch(bool link_ok, const CallPtr& call, PyObject* capsule, std::deque<Message>& batch,
                 bool resolve_send, ResponseWriter& writer) {
    bool ok = link_ok;
    for (Message& msg : batch) {
        if (msg.start)
            writer.start(msg.status, {}, std::move(msg.fields));
        else if (ok)
            ok = writer.body(msg.data, msg.last);
    }
    if (!ok) call->monitor.locked([&](sync::Monitor::Guard&) { call->disconnected = true; });
    Ref future = resolve_send ? std::exchange(call->send_future, Ref{}) : Ref{};
    if (future) post(call, capsule, future.get(), Py_None, false);
    return ok;
}

// Tells a receive() waiting for the end of the request that the link has gone.
void tell_disconnected(const CallPtr& call, PyObject* capsule) {
    bool tell = call->monitor.locked([&](sync::Monitor::Guard&) {
        call->disconnected = true;
        return std::exchange(call->receive_wanted, false);
    });
    Ref future = tell ? std::exchange(call->receive_future, Ref{}) : Ref{};
    Ref gone = future ? disconnect_message() : Ref{};
    if (gone) post(call, capsule, future.get(), gone.get(), true);
}

enum class Step { Write, TellGone, Park, Done };

// Writes what the application has sent of one answer. Done once the application is
// done; Parked when it has nothing more for now (writer_parked is set: whatever comes
// next resumes the writing).
enum class Progress { Done, Parked };

Progress write_answer(gateway::Link& link, Queued& q, bool& link_ok) {
    const CallPtr& call = q.call;
    if (!q.writer) q.writer = std::make_shared<ResponseWriter>(link, q.is_head);
    for (;;) {
        std::deque<Message> batch;
        bool resolve_send = false;
        const bool gone = !link_ok || link_closed(link);
        Step step = call->monitor.locked([&](sync::Monitor::Guard&) {
            if (!call->outbox.empty()) {
                batch.swap(call->outbox);
                call->outbox_bytes = 0;
                resolve_send = std::exchange(call->send_blocked, false);
                return Step::Write;
            }
            if (call->app_done) return Step::Done;
            if (gone && !q.told_gone) return Step::TellGone;
            call->writer_parked = true;
            return Step::Park;
        });
        if (step == Step::Park) return Progress::Parked;
        if (step == Step::Done) break;
        if (step == Step::Write)
            link_ok = write_batch(link_ok, call, q.capsule.get(), batch, resolve_send, *q.writer);
        if (step == Step::TellGone) {
            link_ok = false;
            q.told_gone = true;
            tell_disconnected(call, q.capsule.get());
        }
    }
    call->monitor.locked([&](sync::Monitor::Guard&) { call->over = true; });
    call->send_future = {};
    call->resume_writer = nullptr;
    if (link_ok) link_ok = q.writer->finished() || q.writer->fail();
    return Progress::Done;
}

// The answers of a link, one after the other in the order of their requests, on a pool
// thread: requests without a body are read and started while earlier ones still run.
// While the front answer waits for its application the thread goes back to the pool.
void write_answers(const std::shared_ptr<Pipelines>& pipelines, const PipelinePtr& pipeline) {
    for (;;) {
        if (pipeline->queue.empty()) {
            pipeline->writing = false;
            pipelines->by_link.erase(pipeline->link.get());
            return;
        }
        Queued& q = pipeline->queue.front();
        if (!pipeline->link_ok && !q.told_gone) {
            q.told_gone = true;
            tell_disconnected(q.call, q.capsule.get());
        }
        if (write_answer(*pipeline->link, q, pipeline->link_ok) == Progress::Parked) return;
        pipeline->queue.pop_front();
    }
}

void resume(const std::weak_ptr<Pipelines>& weak_pipelines, const std::weak_ptr<Pipeline>& weak_pipeline) {
    auto pipelines = weak_pipelines.lock();
    auto pipeline = weak_pipeline.lock();
    if (pipelines && pipeline) run_in_pool([pipelines, pipeline] { write_answers(pipelines, pipeline); });
}

void AsgiServer::tick() {
    std::vector<PipelinePtr> pipelines;  // the map may change while a call's lock is taken
    for (const auto& [link, pipeline] : pipelines_->by_link)
        if (link->closed.load() && !pipeline->queue.empty()) pipelines.push_back(pipeline);
    for (const PipelinePtr& pipeline : pipelines) {
        if (pipeline->queue.empty()) continue;
        if (pipeline->queue.front().told_gone) continue;
        CallPtr call = pipeline->queue.front().call;  // the front may go while the lock is taken
        bool parked = call->monitor.locked(
            [&](sync::Monitor::Guard&) { return std::exchange(call->writer_parked, false); });
        if (parked) resume(pipelines_, pipeline);
    }
}

bool AsgiServer::queue_answer(gateway::Link& link, const CallPtr& call, PyObject* capsule, bool is_head) {
    PipelinePtr& pipeline = pipelines_->by_link[&link];
    if (!pipeline) {
        auto& links = link.gateway->links;
        auto found = link.link ? links.find(link.link.get()) : links.end();
        if (found == links.end()) {  // closed meanwhile: nothing will be written
            pipelines_->by_link.erase(&link);
            tell_disconnected(call, capsule);
            return false;
        }
        pipeline = std::make_shared<Pipeline>();
        pipeline->link = found->second;
    }
    call->resume_writer = [pipelines = std::weak_ptr<Pipelines>(pipelines_),
                           weak = std::weak_ptr<Pipeline>(pipeline)] { resume(pipelines, weak); };
    pipeline->queue.push_back({call, Ref::borrow(capsule), is_head});
    if (std::exchange(pipeline->writing, true)) return true;
    run_in_pool([pipelines = pipelines_, pipeline = pipeline] { write_answers(pipelines, pipeline); });
    return true;
}

// Reads the body as the application asks for it, until it has all of it or is done.
// False when the link has ended.
bool AsgiServer::read_body(gateway::Link& link, const CallPtr& call, PyObject* capsule) {
    enum class Next { Read, Finished, Dropped };
    for (;;) {
        Next next = call->monitor.locked([&](sync::Monitor::Guard& guard) {
            call->monitor.wait(guard, [&] {
                return call->body_done || call->app_done || call->disconnected || call->receive_wanted;
            });
            if (call->body_done) return Next::Finished;
            if (call->app_done || call->disconnected) return Next::Dropped;
            call->receive_wanted = false;
            return Next::Read;
        });
        if (next == Next::Finished) return true;
        if (next == Next::Dropped) return !link_closed(link) && gateway::skip_body(link);
        if (!read_piece(link, call, capsule)) return false;
    }
}

bool AsgiServer::serve(gateway::Link& link) {
    const bool is_head = link.reader.head().method == "HEAD";
    std::string identity = gateway::remote_identity(link);
    if (!gateway::allowed(link.gateway->settings, identity)) return refuse_unallowed(link, is_head);
    auto call = std::make_shared<Call>();
    call->loop = loop_;
    call->module = module_;
    call->body_done = link.reader.head().framing == http::Framing::None;
    Ref capsule = kCall.wrap(call);
    Ref s = capsule ? scope(link, identity) : Ref{};
    if (!s || !start(capsule.get(), s.get())) {
        report_app_error();
        return gateway::answer(link, 500, "Internal Server Error", is_head);
    }
    return queue_answer(link, call, capsule.get(), is_head) && read_body(link, call, capsule.get());
}

}  // namespace

AppServerPtr make_asgi_server(PyObject* module, PyObject* app, PyObject* loop, PyObject* state) {
    return std::make_shared<AsgiServer>(module, app, loop, state);
}

int is_asgi(PyObject* module, PyObject* app) {
    Ref inspect = module_global(module, ZV_STR("inspect"));
    Ref check = inspect ? attr(inspect.get(), ZV_STR("iscoroutinefunction")) : Ref{};
    Ref direct = check ? call(check.get(), {app}) : Ref{};
    int yes = direct ? PyObject_IsTrue(direct.get()) : -1;
    if (yes != 0) return yes;
    Ref dunder = Ref::steal(PyObject_GetAttr(app, ZV_STR("__call__")));
    if (!dunder) {
        PyErr_Clear();
        return 0;
    }
    Ref bound = call(check.get(), {dunder.get()});
    return bound ? PyObject_IsTrue(bound.get()) : -1;
}

}  // namespace zv::web
