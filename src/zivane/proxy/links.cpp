#include "proxy/links.hpp"

#include "common/service.hpp"
#include "common/site_announce.hpp"

#include "support/capsule.hpp"
#include "support/native_coroutine.hpp"
#include "support/tables.hpp"
#include "transport/reticulum_io.hpp"

#include <algorithm>
#include <thread>

namespace zv::proxy {
namespace {

// Reticulum's callbacks hold the link weakly: the link's objects hold the callbacks, and
// a strong reference back would keep every link ever opened.
constexpr Capsule<std::weak_ptr<Link>> kLinkCapsule{"zivane.proxy.link"};

LinkPtr link_of(NativeFunction* fn) {
    auto* weak = kLinkCapsule.get(captured(fn, 0));
    return weak ? weak->lock() : LinkPtr{};
}

PyObject* on_ready_impl(NativeFunction* fn, PyObject* const* args) {
    LinkPtr link = link_of(fn);
    if (!link) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    Py_ssize_t ready = PyLong_Check(args[0]) ? PyLong_AsSsize_t(args[0]) : 0;
    if (ready < 0) PyErr_Clear();
    link->on_ready(fn->module, std::max<Py_ssize_t>(ready, 0));
    return Py_NewRef(Py_None);
}

PyObject* on_closed_impl(NativeFunction* fn, PyObject* const*) {
    LinkPtr link = link_of(fn);
    if (link) link->on_closed();
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

PyObject* on_message_impl(NativeFunction* fn, PyObject* const* args) {
    LinkPtr link = link_of(fn);
    if (link) link->on_message(fn->module, args[0]);
    if (PyErr_Occurred()) PyErr_Clear();  // never let a note stop the buffer's own reader
    return Py_NewRef(Py_False);           // not taken: the buffer's reader gets it next
}

PyObject* on_resource_offer_impl(NativeFunction* fn, PyObject* const* args) {
    LinkPtr link = link_of(fn);
    bool take = link && link->on_resource_offer(fn->module, args[0]);
    PyErr_Clear();
    return Py_NewRef(take ? Py_True : Py_False);
}

PyObject* on_resource_progress_impl(NativeFunction* fn, PyObject* const*) {
    if (LinkPtr link = link_of(fn)) link->on_resource_progress();
    PyErr_Clear();
    return Py_NewRef(Py_None);
}

PyObject* on_resource_concluded_impl(NativeFunction* fn, PyObject* const* args) {
    if (LinkPtr link = link_of(fn)) link->on_resource_concluded(fn->module, args[0]);
    PyErr_Clear();
    return Py_NewRef(Py_None);
}

PyObject* on_resource_started_impl(NativeFunction* fn, PyObject* const* args);

const table::Function kOnResourceOffer = {
    "on_resource_offer", {{"advertisement"}}, "bool", nullptr, on_resource_offer_impl};
const table::Function kOnResourceStarted = {
    "on_resource_started", {{"resource"}}, "None", nullptr, on_resource_started_impl};
const table::Function kOnResourceProgress = {
    "on_resource_progress", {{"resource"}}, "None", nullptr, on_resource_progress_impl};
const table::Function kOnResourceConcluded = {
    "on_resource_concluded", {{"resource"}}, "None", nullptr, on_resource_concluded_impl};
const table::Function kOnReady = {"on_ready", {{"ready", "int"}}, "None", nullptr, on_ready_impl};
const table::Function kOnMessage = {"on_message", {{"message"}}, "bool", nullptr, on_message_impl};
const table::Function kOnClosed = {"on_closed", {{"link"}}, "None", nullptr, on_closed_impl};
constexpr const char* kOwner = "Link.open.<locals>";

Ref callback(PyObject* module, const table::Function& row, const LinkPtr& link) {
    Ref capsule = kLinkCapsule.wrap(std::weak_ptr<Link>(link));
    Ref closure = capsule ? new_tuple({capsule.get()}) : Ref{};
    return closure ? table::make_nested(module, row, kOwner, closure.get()) : Ref{};
}

// Until its first part arrives, a resource re-asks for its window after
// `part_timeout_factor * 3 * sdu / eifr` seconds (bytes over bits per second): the air time of
// 1.5 packets at Reticulum's factor of 4. The first part cannot come sooner than the request's
// air time, one part's and two crossings, and on a half-duplex radio the link's other frames
// (the browser's next requests, their proofs) go on the air in between, so a slow path hit
// that wait on nearly every answer and every part of the window crossed twice. Waiting for
// four packets' air time lets them through; a lost request is asked again a few seconds later.
constexpr long kFirstPartTimeoutFactor = 11;

Ref optional_attr(PyObject* object, PyObject* name);

void wait_longer_for_first_part(PyObject* resource) {
    Ref current = optional_attr(resource, ZV_STR("part_timeout_factor"));
    if (!current || !PyLong_Check(current.get())) return;  // a Reticulum that times parts otherwise
    Ref factor = Ref::steal(PyLong_FromLong(kFirstPartTimeoutFactor));
    if (factor && PyObject_SetAttr(resource, ZV_STR("part_timeout_factor"), factor.get()) < 0) PyErr_Clear();
}

// Each part of a resource that arrives counts as the link's progress.
PyObject* on_resource_started_impl(NativeFunction* fn, PyObject* const* args) {
    LinkPtr link = link_of(fn);
    Ref progress = link ? callback(fn->module, kOnResourceProgress, link) : Ref{};
    if (progress) call_method(args[0], ZV_STR("progress_callback"), {progress.get()});
    PyErr_Clear();
    if (link) wait_longer_for_first_part(args[0]);
    return Py_NewRef(Py_None);
}

std::string text_of(PyObject* exc) {
    Ref text = exc ? Ref::steal(PyObject_Str(exc)) : Ref{};
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) PyErr_Clear();
    return utf8 ? utf8 : "unknown error";
}

// The exception set now, as text (and cleared).
std::string pending_text() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    return text_of(exc.get());
}

// The exception set now, as the browser is told it (and cleared).
LinkFailure failure_of_connect(const std::string& name, double timeout) {
    std::string message = pending_text();
    LinkFailure failure{502, ""};
    if (message == "Connection timeout") {
        failure.status = 504;
        failure.reason =
            name + " did not answer in time: no link within " + std::to_string(int(timeout)) + " s";
    } else if (message.starts_with("Timeout waiting for path")) {
        failure.reason = name + " is unreachable: no path to it was found";
    } else if (message.starts_with("Could not recall")) {
        failure.reason = name + " is unreachable: it has not announced itself";
    } else {
        failure.reason = "could not link to " + name + ": " + message;
    }
    return failure;
}

// zivane.client.HttpClient(hash, port, identity_path=..., connect_timeout=...).connect(),
// run on the spot: the client's connect never suspends. When asked, its slow stages are
// logged (the client's progress hook).
Ref connected_client(PyObject* module, const std::string& hash, int port, PyObject* identity_path,
                     const Settings& settings) {
    double timeout = settings.connect_timeout;
    Ref client_type = module_global(module, ZV_STR("HttpClient"));
    Ref hash_text = client_type ? Ref::steal(PyUnicode_FromStringAndSize(hash.data(), hash.size())) : Ref{};
    Ref port_number = hash_text ? Ref::steal(PyLong_FromLong(port)) : Ref{};
    Ref seconds = port_number ? Ref::steal(PyFloat_FromDouble(timeout)) : Ref{};
    Ref names = seconds ? new_tuple({ZV_STR("identity_path"), ZV_STR("connect_timeout")}) : Ref{};
    if (!names) return {};
    Ref client = call_kw(client_type.get(),
                         {hash_text.get(), port_number.get(), identity_path, seconds.get()}, names.get());
    if (client && settings.report_progress) {
        Ref printer = service::progress_printer(module, true);
        if (!printer || PyObject_SetAttr(client.get(), ZV_STR("_progress"), printer.get()) < 0) return {};
    }
    Ref coroutine = client ? call_method(client.get(), ZV_STR("connect")) : Ref{};
    if (!coroutine) return {};
    Ref done;
    if (!run_eager(coroutine.get(), &done)) {
        PyErr_SetString(PyExc_RuntimeError, "HttpClient.connect suspended");
        return {};
    }
    return done ? client : Ref{};
}

// `object.name`, empty (and no exception) when it has none or it cannot be read.
Ref optional_attr(PyObject* object, PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(object, name, &value) < 0) PyErr_Clear();
    return Ref::steal(value);
}

// A message handler ahead of the buffer's own, so that each incoming message is noted
// before its bytes can be read; none for a channel that does not number its messages.
int watch_sequences(PyObject* module, const LinkPtr& self, PyObject* channel) {
    Ref next = optional_attr(channel, ZV_STR("_next_sequence"));
    if (!next || !PyLong_Check(next.get())) return 0;
    Ref handler = callback(module, kOnMessage, self);
    if (!handler || !call_method(channel, ZV_STR("add_message_handler"), {handler.get()})) return -1;
    self->tracks_sequences.store(true);
    return 0;
}

// The link's own reader and its closed callback; the proxy's identity shown when asked.
int attach(PyObject* module, const LinkPtr& self, bool identify) {
    self->link = attr(self->client.get(), ZV_STR("_link"));
    if (!self->link) return -1;
    if (identify) {
        Ref identity = attr(self->client.get(), ZV_STR("_identity"));
        if (!identity || !call_method(self->link.get(), ZV_STR("identify"), {identity.get()})) return -1;
    }
    Ref closed = callback(module, kOnClosed, self);
    if (!closed || !call_method(self->link.get(), ZV_STR("set_link_closed_callback"), {closed.get()}))
        return -1;
    Ref ready = callback(module, kOnReady, self);
    Ref channel = ready ? call_method(self->link.get(), ZV_STR("get_channel")) : Ref{};
    if (channel && watch_sequences(module, self, channel.get()) < 0) return -1;
    Ref rns = channel ? module_global(module, ZV_STR("RNS")) : Ref{};
    Ref buffer_type = rns ? attr(rns.get(), ZV_STR("Buffer")) : Ref{};
    Ref rx = buffer_type ? Ref::steal(PyLong_FromLong(1)) : Ref{};
    Ref tx = rx ? Ref::steal(PyLong_FromLong(0)) : Ref{};
    Ref buffer = tx ? call_method(buffer_type.get(), ZV_STR("create_bidirectional_buffer"),
                                  {rx.get(), tx.get(), channel.get(), ready.get()})
                    : Ref{};
    if (!buffer) return -1;
    self->channel = std::move(channel);
    self->buffer = std::move(buffer);
    return 0;
}

// Whether the destination the client linked to announced that it takes compact links.
bool announces_compact(PyObject* client) {
    Ref link = optional_attr(client, ZV_STR("_link"));
    Ref destination = link ? optional_attr(link.get(), ZV_STR("destination")) : Ref{};
    Ref identity = destination ? optional_attr(destination.get(), ZV_STR("identity")) : Ref{};
    Ref app_data = identity ? optional_attr(identity.get(), ZV_STR("app_data")) : Ref{};
    if (!app_data || !PyBytes_Check(app_data.get())) return false;
    site_announce::Site site;
    std::string_view data(PyBytes_AS_STRING(app_data.get()), std::size_t(PyBytes_GET_SIZE(app_data.get())));
    return site_announce::decode(data, site) && (site.features & site_announce::kFeatureCompactLinks);
}

// The link takes the resources its answers' frames name, through the callbacks above.
int take_resources(PyObject* module, const LinkPtr& self) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref link_type = rns ? attr(rns.get(), ZV_STR("Link")) : Ref{};
    Ref strategy = link_type ? attr(link_type.get(), ZV_STR("ACCEPT_APP")) : Ref{};
    Ref offer = strategy ? callback(module, kOnResourceOffer, self) : Ref{};
    Ref started = offer ? callback(module, kOnResourceStarted, self) : Ref{};
    Ref concluded = started ? callback(module, kOnResourceConcluded, self) : Ref{};
    PyObject* link = self->link.get();
    if (!concluded || !call_method(link, ZV_STR("set_resource_callback"), {offer.get()}) ||
        !call_method(link, ZV_STR("set_resource_started_callback"), {started.get()}) ||
        !call_method(link, ZV_STR("set_resource_concluded_callback"), {concluded.get()}) ||
        !call_method(link, ZV_STR("set_resource_strategy"), {strategy.get()}))
        return -1;
    self->use_compact();
    self->gather_below(rns::max_piece(rns.get(), self->channel.get()));
    return 0;
}

}  // namespace

void Link::use_compact() {
    requests_ = std::make_unique<compact::Encoder>(http::MessageReader::Kind::Request, 0);
    answers_ = std::make_unique<compact::Decoder>(http::MessageReader::Kind::Response);
}

LinkPtr Link::open(PyObject* module, const std::string& hash, int port, PyObject* identity_path,
                   const Settings& settings, LinkFailure& failure) {
    std::string name = hash + ".rns" + (port == 80 ? "" : std::string(":").append(std::to_string(port)));
    Ref client = connected_client(module, hash, port, identity_path, settings);
    if (!client) {
        failure = failure_of_connect(name, settings.connect_timeout);
        return {};
    }
    auto self = std::make_shared<Link>(name, settings);
    self->client = std::move(client);
    if (attach(module, self, settings.identify) < 0 ||
        (settings.compact_links && self->tracks_sequences.load() && announces_compact(self->client.get()) &&
         take_resources(module, self) < 0)) {
        failure = {502, "could not use the link to " + name + ": " + pending_text()};
        self->fail(module, failure.reason);
        return {};
    }
    self->on_ready(module, 0);  // what came before the buffer was known
    return self;
}

bool Link::usable(PyObject* module) {
    if (failed_.load() || retiring_.load()) return false;
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) {
        PyErr_Clear();
        return true;
    }
    return !rns::link_closed(rns.get(), link.get());
}

// `link.<name>` as a count, -1 when it has none.
static std::int64_t counter(PyObject* link, PyObject* name) {
    Ref value = optional_attr(link, name);
    long long number = value && PyNumber_Check(value.get()) ? PyLong_AsLongLong(value.get()) : -1;
    if (number == -1) PyErr_Clear();
    return number;
}

bool Link::view(PyObject* module, LinkView& out) {
    if (failed_.load() || !link) return false;
    if (!retiring_.load() && !usable(module)) return false;  // closed under us
    out.name = name_;
    out.closing = retiring_.load();
    out.waiting = monitor_.locked([&](sync::Monitor::Guard&) { return waiting_.size(); });
    out.age = std::chrono::duration<double>(Clock::now() - opened_).count();
    out.sent = counter(link.get(), ZV_STR("txbytes"));
    out.received = counter(link.get(), ZV_STR("rxbytes"));
    return true;
}

// ---- writing ----------------------------------------------------------------------------

// The sequence number the channel gives the next message sent, -1 when it does not tell.
int Link::next_sequence(PyObject*) {
    if (!tracks_sequences.load() || !channel) return -1;
    Ref next = optional_attr(channel.get(), ZV_STR("_next_sequence"));
    long number = next ? PyLong_AsLong(next.get()) : -1;
    if (number == -1) PyErr_Clear();
    return int(number);
}

bool Link::begin(const AnswerPtr& answer, int first_sequence, std::string& failure) {
    return monitor_.locked([&](sync::Monitor::Guard&) {
        if (failed_.load()) {
            failure = failure_;
            return false;
        }
        if (answer->abandoned || retiring_.load()) {
            failure = answer->abandoned ? "the request was given up"
                                        : "the link to " + name_ + " is dropping an answer given up";
            return false;
        }
        answer->first_sequence = first_sequence;
        waiting_.push_back(answer);
        return true;
    });
}

void Link::withdraw(PyObject* module, const AnswerPtr& answer, bool written, const std::string& why) {
    if (written) {
        fail(module, "a request on the link was cut short: " + why);
        return;
    }
    monitor_.locked([&](sync::Monitor::Guard&) {
        auto found = std::find(waiting_.begin(), waiting_.end(), answer);
        if (found != waiting_.end()) waiting_.erase(found);
    });
}

// Takes back `answer`, failed with the link before any byte of its request went out, for
// another link; false when something already arrived for it.
bool Link::reclaim(const AnswerPtr& answer) {
    return monitor_.locked([&](sync::Monitor::Guard&) {
        Answer& a = *answer;
        if (a.begun || a.has_head || !a.pieces.empty() || a.ended) return false;
        a.failure.clear();
        a.sent = false;
        std::erase(waiting_, answer);
        return true;
    });
}

// Nothing when no byte of `data` was handed over and the link has closed (or gone
// stale) under it: the peer cannot have seen any of it.
Link::Written Link::write(PyObject* module, const std::string& data, bool secret, std::string& failure) {
    if (!requests_) return transmit(module, data, secret, failure);
    std::string framed;
    // A request that cannot be framed is this side's own fault, but the stream is out of
    // step all the same.
    if (!frame(data, framed, failure)) return Written::Part;
    return transmit(module, framed, secret, failure);
}

// Appends the compact frames of `data` (request bytes, in the link's order) to `framed`.
bool Link::frame(const std::string& data, std::string& framed, std::string& failure) {
    std::vector<compact::Step> steps;
    if (!requests_->feed(data, steps)) {
        failure = "the request to " + name_ + " could not be put in the compact form";
        return false;
    }
    for (const compact::Step& step : steps) framed.append(step.stream);
    return true;
}

// Hands `out` to the link. A message with a secret goes uncompressed: RNS's writer would
// compress it with the bytes a page chose (the target, other requests), and the sizes on
// the air would then tell a page's right guess at the secret from a wrong one.
Link::Written Link::transmit(PyObject* module, const std::string& out, bool secret, std::string& failure) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref bytes = rns ? Ref::steal(PyBytes_FromStringAndSize(out.data(), out.size())) : Ref{};
    std::atomic<std::int64_t> handed_over{0};
    rns::WriteLimits limits;
    limits.stall_seconds = std::max(settings_.read_timeout, 1.0);
    limits.progress = &handed_over;
    constexpr long kSendStream = 0;  // the stream the link's buffer writes (see attach)
    int written = !bytes ? -1
                  : secret ? rns::write_uncompressed(rns.get(), buffer.get(), channel.get(), link.get(), kSendStream,
                                                     bytes.get(), limits)
                           : rns::write_paced(rns.get(), buffer.get(), channel.get(), link.get(), bytes.get(), limits);
    if (written == 0) return Written::Whole;
    failure = "could not write to the link to " + name_ + ": " + pending_text();
    bool gone = rns && (rns::link_closed(rns.get(), link.get()) || rns::link_stale(rns.get(), link.get()));
    PyErr_Clear();
    return gone && handed_over.load() == 0 ? Written::Nothing : Written::Part;
}

bool carries_secret(std::string_view request) {
    std::string_view head = request.substr(0, request.find("\r\n\r\n"));
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos; at = head.find("\r\n", at + 2)) {
        std::string_view line = head.substr(at + 2);
        std::string_view name = line.substr(0, std::min(line.find(':'), line.find("\r\n")));
        if (head_codec::is_secret(name)) return true;
    }
    return false;
}

// ---- requests gathered on a radio link ---------------------------------------------------

void Link::gather_below(Py_ssize_t piece) {
    if (piece <= 0) PyErr_Clear();
    gather_limit_ = piece > 0 && std::size_t(piece) < settings_.gather_piece_limit ? std::size_t(piece) : 0;
}

// Whether `out` is a whole request small enough to wait for company (write turn held).
bool Link::gathers(const Outbound& out) const {
    constexpr std::size_t kGatheredRequestBytes = 16u << 10;  // as HTTP/1.1; its frames are far fewer
    return gather_limit_ > 0 && requests_ && out.complete && out.data.size() <= kGatheredRequestBytes;
}

// Frames the request into the gathered message, writes that message when it is the first
// one in it (after a moment for others) and ends as a lone write would have (write turn
// held on entry; let go on the way).
Link::Sent Link::send_gathered(PyObject* module, Outbound& out, const AnswerPtr& answer, sync::MutexGuard& turn,
                               std::string& failure) {
    if (!begin(answer, next_sequence(module), failure)) return Sent::NotTaken;
    std::string frames;
    if (!frame(out.data, frames, failure)) {
        fail(module, failure);
        return Sent::Failed;
    }
    if (gathered_ && gathered_->frames.size() + frames.size() > gather_limit_) {
        // The message gathered so far is full: it goes now, and this request starts the next.
        write_gathered(module);
        int sequence = next_sequence(module);
        monitor_.locked([&](sync::Monitor::Guard&) {
            answer->first_sequence = sequence;
            answer->sent = false;
        });
    }
    bool first = !gathered_;
    if (first) gathered_ = std::make_shared<Gathered>();
    std::shared_ptr<Gathered> gathered = gathered_;
    gathered->frames += frames;
    gathered->members.push_back(answer);
    gathered->secret = gathered->secret || carries_secret(out.data);
    if (first) {
        turn.unlock();
        sync::without_gil([] { std::this_thread::sleep_for(std::chrono::duration<double>(kGatherSeconds)); });
        turn.lock();
        if (gathered_ == gathered) write_gathered(module);
    }
    turn.unlock();
    bool link_ended = false;
    Written result = Written::Nothing;
    monitor_.locked([&](sync::Monitor::Guard& guard) {
        monitor_.wait(guard, [&] { return gathered->done; });
        link_ended = gathered->link_ended;
        result = gathered->result;
        failure = gathered->failure;
    });
    if (link_ended) return reclaim(answer) ? Sent::NotTaken : Sent::Failed;
    Sent settled = settle(module, answer, result, true, failure);
    if (settled == Sent::Whole) out.data.clear();
    return settled;
}

// Writes the requests gathered as one message and tells their writers (write turn held).
void Link::write_gathered(PyObject* module) {
    std::shared_ptr<Gathered> gathered = std::move(gathered_);
    bool ended = failed_.load();
    std::string failure = ended ? failure_of_link() : std::string();
    Written result = ended ? Written::Nothing : transmit(module, gathered->frames, gathered->secret, failure);
    if (result == Written::Whole)
        for (const AnswerPtr& answer : gathered->members) note_sent(answer);
    monitor_.locked([&](sync::Monitor::Guard&) {
        gathered->done = true;
        gathered->link_ended = ended;
        gathered->result = result;
        gathered->failure = failure;
        monitor_.notify_all();
    });
}

std::string Link::failure_of_link() const { return "the link to " + name_ + " ended while a request was written"; }

// What a request becomes after a write of its bytes: Whole when they went. A first write
// that handed nothing over gives the request back for another link; any other failure
// ends the link's use, its stream being out of step.
Link::Sent Link::settle(PyObject* module, const AnswerPtr& answer, Written result, bool first_write,
                        const std::string& failure) {
    if (result == Written::Nothing && first_write) {
        give_back(module, answer, failure);
        return Sent::NotTaken;
    }
    if (result != Written::Whole) {
        fail(module, failure);
        return Sent::Failed;
    }
    return Sent::Whole;
}

// `answer` goes elsewhere, unharmed; the link that could not take it is done with.
void Link::give_back(PyObject* module, const AnswerPtr& answer, const std::string& why) {
    withdraw(module, answer, false, why);
    fail(module, why);
}

// ---- reading ----------------------------------------------------------------------------

void Link::on_ready(PyObject* module, Py_ssize_t ready) {
    sync::MutexGuard guard(read_mutex_);
    if (!buffer) return;  // not made yet: open() reads what is there once it is
    if (rns::read_available(buffer.get(), ready, inbox_) < 0) PyErr_Clear();  // what was read still counts
    if (inbox_.empty()) return;
    last_bytes_.store(Clock::now().time_since_epoch().count());
    hand_over(module, guard);
}

// Hands what was read (on a compact link, what its frames and resources make of it) to
// the waiting answers; ends the link's use when the stream cannot be followed. `guard`
// holds the read mutex, and lets it go.
void Link::hand_over(PyObject* module, sync::MutexGuard& guard) {
    std::string frames_broken;
    bool finished = sync::without_gil([&] {
        if (answers_) return decode_and_deliver(frames_broken);
        bool done = deliver(inbox_, read_);
        read_ += inbox_.size();
        return done;
    });
    inbox_.clear();
    std::string broken = !frames_broken.empty() ? frames_broken
                         : stray_               ? "an answer nobody asked for"
                         : failure_drain_       ? "an answer given up did not end in time"
                                                : reader_.error();
    bool failed = failed_.load();
    guard.unlock();
    if (!broken.empty() && !failed)
        fail(module, "the answer from " + name_ + " cannot be followed: " + broken);
    else if (finished || failed)
        tear_down_if_due();
}

void Link::on_message(PyObject*, PyObject* message) {
    constexpr long kReceiveStream = 1;  // the stream the link's buffer reads (see attach)
    if (!tracks_sequences.load() || !channel) return;
    Ref stream = optional_attr(message, ZV_STR("stream_id"));
    long stream_id = stream && PyLong_Check(stream.get()) ? PyLong_AsLong(stream.get()) : -1;
    if (stream_id != kReceiveStream) return PyErr_Clear();
    Ref data = optional_attr(message, ZV_STR("data"));
    Py_ssize_t size = data && data.get() != Py_None ? PyObject_Length(data.get()) : 0;
    Ref next = optional_attr(channel.get(), ZV_STR("_next_sequence"));
    long next_number = next && PyLong_Check(next.get()) ? PyLong_AsLong(next.get()) : -1;
    if (size < 0 || next_number < 0) {
        PyErr_Clear();
        tracks_sequences.store(false);  // the stream's bytes can no longer be placed: stop judging
        return;
    }
    monitor_.locked([&](sync::Monitor::Guard&) {
        note_sent_before(next_number);
        noted_ += std::uint64_t(size);
    });
}

// The requests whose first message has left, now that the channel numbers the next one
// `next_sequence`, left before what arrives from here on (monitor held).
void Link::note_sent_before(long next_sequence) {
    for (const AnswerPtr& a : waiting_) {
        if (a->sent || a->first_sequence < 0 || a->first_sequence == next_sequence) continue;
        a->sent = true;
        a->sent_from = noted_;
    }
}

namespace {

// An attribute of a resource or its advertisement as a number, -1 when it has none.
long number_of(PyObject* object, PyObject* name) {
    Ref value = optional_attr(object, name);
    long number = value && PyLong_Check(value.get()) ? PyLong_AsLong(value.get()) : -1;
    PyErr_Clear();
    return number;
}

// Notes `hash` among the latest few in `seen`; false when it was there already.
bool note_hash(std::deque<std::string>& seen, const std::string& hash) {
    constexpr std::size_t kRemembered = 8;
    if (std::find(seen.begin(), seen.end(), hash) != seen.end()) return false;
    seen.push_back(hash);
    if (seen.size() > kRemembered) seen.pop_front();
    return true;
}

std::string hash_of(PyObject* object, PyObject* name) {
    Ref hash = optional_attr(object, name);
    if (!hash || !PyBytes_Check(hash.get())) return {};
    return std::string(PyBytes_AS_STRING(hash.get()), std::size_t(PyBytes_GET_SIZE(hash.get())));
}

}  // namespace

bool Link::on_resource_offer(PyObject* module, PyObject* advertisement) {
    const std::string hash = hash_of(advertisement, ZV_STR("h"));
    long size = number_of(advertisement, ZV_STR("d"));
    long segments = number_of(advertisement, ZV_STR("l"));
    Ref metadata = optional_attr(advertisement, ZV_STR("x"));
    bool plain = segments == 1 && size > 0 && std::size_t(size) <= compact::kMaxResource &&
                 (!metadata || !PyObject_IsTrue(metadata.get())) && !hash.empty();
    Ref next = channel ? optional_attr(channel.get(), ZV_STR("_next_sequence")) : Ref{};
    long next_number = next && PyLong_Check(next.get()) ? PyLong_AsLong(next.get()) : -1;
    PyErr_Clear();
    enum class Offer { Take, Again, Arrived, Unasked };
    Offer offer = !answers_ || !plain ? Offer::Unasked : monitor_.locked([&](sync::Monitor::Guard&) {
        if (std::ranges::find(concluded_, hash) != concluded_.end()) return Offer::Arrived;
        if (std::ranges::find(offered_, hash) != offered_.end()) return Offer::Again;
        if (failed_.load() || waiting_.empty() || placed_.size() >= 2) return Offer::Unasked;
        note_hash(offered_, hash);
        note_sent_before(next_number);
        placed_.push_back({noted_, hash, {}, false});
        return Offer::Take;
    });
    if (offer == Offer::Unasked)
        fail(module, "the link to " + name_ + " was offered a resource nobody asked for");
    // One advertised again while under way is taken (Reticulum itself then ignores it); one
    // that has arrived already is refused, lest it be fetched and read a second time.
    return offer == Offer::Take || offer == Offer::Again;
}

void Link::on_resource_progress() { last_bytes_.store(Clock::now().time_since_epoch().count()); }

void Link::on_resource_concluded(PyObject* module, PyObject* resource) {
    const std::string hash = hash_of(resource, ZV_STR("hash"));
    if (!monitor_.locked([&](sync::Monitor::Guard&) { return note_hash(concluded_, hash); }))
        return;  // taken a second time after it had arrived: its body is in the stream already
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref resource_type = rns ? attr(rns.get(), ZV_STR("Resource")) : Ref{};
    long complete = resource_type ? number_of(resource_type.get(), ZV_STR("COMPLETE")) : -1;
    Ref data = complete >= 0 && number_of(resource, ZV_STR("status")) == complete
                   ? optional_attr(resource, ZV_STR("data"))
                   : Ref{};
    Ref bytes = data ? call_method(data.get(), ZV_STR("read")) : Ref{};
    if (!bytes || !PyBytes_Check(bytes.get())) {
        PyErr_Clear();
        return fail(module, "a resource from " + name_ + " did not arrive whole");
    }
    std::string frames(PyBytes_AS_STRING(bytes.get()), std::size_t(PyBytes_GET_SIZE(bytes.get())));
    bytes = data = Ref{};
    bool placed = monitor_.locked([&](sync::Monitor::Guard&) {
        auto found = std::ranges::find(placed_, hash, &Placed::hash);
        if (found == placed_.end()) return false;
        found->frames = std::move(frames);
        found->arrived = true;
        return true;
    });
    if (!placed) return fail(module, "a resource from " + name_ + " came that was not taken");
    sync::MutexGuard guard(read_mutex_);
    if (!answers_ || failed_.load()) return;
    last_bytes_.store(Clock::now().time_since_epoch().count());
    hand_over(module, guard);
}

// The request's first bytes were handed over: from the next incoming byte on, an answer
// may come (when no incoming message noted it first).
void Link::note_sent(const AnswerPtr& answer) {
    monitor_.locked([&](sync::Monitor::Guard&) {
        if (std::exchange(answer->sent, true)) return;
        answer->sent_from = noted_;
    });
}

// Whether the answer starting now (at message_start_) came before its request had left.
bool Link::answer_unasked(const Answer& answer) const {
    if (!tracks_sequences.load() || answer.first_sequence < 0) return false;
    return !answer.sent || answer.sent_from > message_start_;
}

// The compact frames read, with the resources that came, as HTTP/1.1 for the waiting
// answers (GIL released, read mutex held). `failure` says why the frames cannot be
// followed, if they cannot.
bool Link::decode_and_deliver(std::string& failure) {
    unread_.append(inbox_);
    std::vector<compact::Decoder::Segment> segments;
    bool sound = decode(segments, failure);
    bool finished = false;
    for (const auto& segment : segments) finished = deliver(segment.text, segment.stream_at) || finished;
    if (!sound && failure.empty()) failure = "its compact frames cannot be followed: " + answers_->error();
    return finished;
}

// Decodes the stream bytes unread up to the place of the next resource taken, then its
// frames once it has arrived, and so on (GIL released, read mutex held). False when the
// stream cannot be followed.
bool Link::decode(std::vector<compact::Decoder::Segment>& out, std::string& failure) {
    constexpr std::uint64_t kNowhere = ~std::uint64_t(0);
    for (;;) {
        std::uint64_t place = kNowhere;
        std::string frames;
        bool arrived = false;
        {
            sync::Monitor::Guard guard = monitor_.hold();
            if (!placed_.empty()) place = placed_.front().at;
            if (!placed_.empty() && place == unread_at_ && placed_.front().arrived) {
                frames = std::move(placed_.front().frames);
                arrived = true;
                placed_.pop_front();
            }
        }
        if (place < unread_at_) return failure = "a resource came out of its place in the stream", false;
        std::size_t n = std::size_t(std::min<std::uint64_t>(unread_.size(), place - unread_at_));
        if (n > 0) {
            answers_->feed(std::string_view(unread_).substr(0, n), unread_at_);
            unread_.erase(0, n);
            unread_at_ += n;
            if (!answers_->run(out)) return false;
        }
        if (!arrived) {
            if (n > 0 && place == unread_at_) continue;  // at its place now: it may have arrived
            break;
        }
        answers_->feed(frames, place, true);
        if (!answers_->run(out)) return false;
    }
    if (unread_.size() > settings_.answer_limit + compact::kMaxResource)
        return failure = "too much came while a resource was awaited", false;
    return true;
}

// Hands the bytes of `input`, which begin at `stream_at` in the link's incoming stream
// (on a compact link: the frame they were decoded from), over to the waiting answers (GIL
// released). True when the link's use has ended with only given-up answers left: it can
// be torn down.
bool Link::deliver(std::string_view input, std::uint64_t stream_at) {
    using Event = http::MessageReader::Event;
    sync::Monitor::Guard guard = monitor_.hold();
    const std::size_t size = input.size();
    if (failed_.load()) return false;  // torn down already: nobody waits for what still comes
    while (!input.empty() || !reader_.between_messages()) {
        if (reader_.between_messages()) {
            message_start_ = answers_ ? stream_at : stream_at + (size - input.size());
            if (!waiting_.empty()) reader_.expect_no_body(waiting_.front()->head_request);
        }
        Event event = reader_.next(input);
        if (event == Event::NeedMore || event == Event::Error) break;
        if (!deliver_event(event)) break;
    }
    bool finished = retiring_.load() && only_abandoned_waiting() &&
                    fail_waiting_locked("the link to " + name_ + " was left with answers given up");
    monitor_.notify_all();
    return finished;
}

// One event of the reader, for the oldest waiting answer (monitor held). False when the
// stream cannot go on.
bool Link::deliver_event(http::MessageReader::Event event) {
    using Event = http::MessageReader::Event;
    if (waiting_.empty()) {
        stray_ = true;  // on_ready ends the link's use
        return false;
    }
    Answer& answer = *waiting_.front();
    if (answer.abandoned && retiring_.load() && Clock::now() > drain_deadline_) {
        failure_drain_ = true;
        return false;
    }
    if (event == Event::Head) {
        if (!std::exchange(answer.begun, true) && answer_unasked(answer)) {
            stray_ = true;
            return false;
        }
        interim_ = reader_.head().status < 200;  // 1xx: the answer itself comes after it
        if (!interim_) {
            answer.head = reader_.head();
            answer.has_head = true;
        }
    } else if (event == Event::Body && !interim_ && !answer.abandoned) {
        answer.pieces.emplace_back(reader_.piece());
        answer.queued += reader_.piece().size();
        if (answer.queued > settings_.answer_limit) {
            answer.abandoned = answer.overflowed = true;
            answer.pieces.clear();
            answer.queued = 0;
            retire_locked();
        }
    } else if (event == Event::End) {
        if (!std::exchange(interim_, false)) {
            answer.ended = true;
            waiting_.pop_front();
        }
    }
    return true;
}

bool Link::take(const AnswerPtr& answer, Clock::time_point deadline, Taken& out) {
    sync::Monitor::Guard guard = monitor_.hold();
    Answer& a = *answer;
    auto news = [&] {
        return (a.has_head && !a.head_given) || !a.pieces.empty() || a.ended || a.overflowed || a.abandoned ||
               !a.failure.empty();
    };
    if (!monitor_.wait_until(guard, deadline, news)) return false;
    if (a.has_head && !a.head_given) {
        a.head_given = out.has_head = true;
        out.head = a.head;
    }
    out.pieces.swap(a.pieces);
    a.queued = 0;
    out.ended = a.ended && a.pieces.empty();
    out.overflowed = a.overflowed;
    out.failure = a.failure;
    return true;
}

bool Link::progressed_within(double seconds) const {
    auto last = Clock::time_point(Clock::duration(last_bytes_.load()));
    return Clock::now() - last < std::chrono::duration<double>(seconds);
}

// Nothing waits on the link but answers given up (monitor held).
bool Link::only_abandoned_waiting() const {
    return std::all_of(waiting_.begin(), waiting_.end(), [](const AnswerPtr& a) { return a->abandoned; });
}

// New requests go elsewhere; what the link still carries for others is read on, for as
// long as an answer read now takes at most (monitor held).
void Link::retire_locked() {
    if (retiring_.exchange(true)) return;
    drain_deadline_ =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(std::max(settings_.read_timeout, 1.0)));
}

void Link::abandon(const AnswerPtr& answer) {
    sync::Monitor::Guard guard = monitor_.hold();
    answer->abandoned = true;
    answer->pieces.clear();
    answer->queued = 0;
    bool carried = std::find(waiting_.begin(), waiting_.end(), answer) != waiting_.end();
    if (carried) {
        retire_locked();
        if (only_abandoned_waiting())
            fail_waiting_locked("the link to " + name_ + " was left with answers given up");
    }
    monitor_.notify_all();
}

void Link::tear_down_if_due() {
    if (writing_.load() || !teardown_due_.exchange(false) || !link) return;
    SavedError pending;
    if (!call_method(link.get(), ZV_STR("teardown"))) PyErr_Clear();
    pending.restore();
}

// ---- failing ------------------------------------------------------------------------------

// Ends the link's use (monitor held); its Reticulum link is torn down by whoever next
// holds the GIL (tear_down_if_due). False when it had ended already.
bool Link::fail_waiting_locked(const std::string& why) {
    if (failed_.load()) return false;
    failure_ = why;
    failed_.store(true);
    teardown_due_.store(true);
    for (const AnswerPtr& a : waiting_) a->failure = failure_;
    waiting_.clear();
    monitor_.notify_all();
    return true;
}

void Link::fail_waiting(const std::string& why) {
    monitor_.locked([&](sync::Monitor::Guard&) { fail_waiting_locked(why); });
}

void Link::fail(PyObject*, const std::string& why) {
    fail_waiting(why);
    teardown_due_.store(true);
    tear_down_if_due();
}

void Link::on_closed() {
    {
        sync::MutexGuard guard(read_mutex_);
        sync::without_gil([&] {
            sync::Monitor::Guard held = monitor_.hold();
            reader_.end_of_input();  // an answer that runs until the end of the stream ends here
            std::string_view nothing;
            if (reader_.next(nothing) == http::MessageReader::Event::End)
                deliver_event(http::MessageReader::Event::End);
            monitor_.notify_all();
        });
    }
    fail_waiting("the link to " + name_ + " closed");
    teardown_due_.store(false);  // closed already
}

// ---- the table of destinations ----------------------------------------------------------

std::shared_ptr<Destinations::Slot> Destinations::slot(const std::string& key) {
    sync::MutexGuard guard(mutex_);
    auto& found = slots_[key];
    if (!found) found = std::make_shared<Slot>();
    return found;
}

LinkPtr Destinations::current(Slot& s) {
    sync::MutexGuard guard(mutex_);
    return s.link;
}

// Keeps `link` as the slot's link; not once the proxy stops (the link is failed then, and
// goes with the request that opened it).
void Destinations::keep(Slot& s, LinkPtr link) {
    sync::MutexGuard guard(mutex_);
    bool closed = closed_;
    if (!closed) std::swap(s.link, link);
    guard.unlock();
    if (closed && link) link->fail(nullptr, "zivane-proxy is stopping");
    if (link) link->tear_down_if_due();  // one whose use ended without the GIL
}  // the link replaced goes here, with the GIL held

LinkPtr Destinations::get(PyObject* module, const std::string& hash, int port, PyObject* identity_path,
                          const Settings& settings, LinkFailure& failure) {
    std::shared_ptr<Slot> s = slot(hash + ":" + std::to_string(port));
    std::uint64_t seen = s->tries.load();
    sync::MutexGuard turn(s->open_turn);
    LinkPtr link = current(*s);
    if (link && link->usable(module)) return link;
    if (s->tries.load() != seen && s->last_failure.status != 0) {
        failure = s->last_failure;  // tried and failed while this request waited
        return {};
    }
    s->tries.fetch_add(1);
    link = Link::open(module, hash, port, identity_path, settings, failure);
    s->last_failure = link ? LinkFailure{} : failure;
    keep(*s, link);
    return link;
}

std::vector<LinkView> Destinations::snapshot(PyObject* module) {
    std::vector<LinkPtr> links;
    {
        sync::MutexGuard guard(mutex_);
        for (auto& [key, s] : slots_)
            if (s->link) links.push_back(s->link);
    }
    std::vector<LinkView> views;
    for (const LinkPtr& link : links)
        if (LinkView view; link->view(module, view)) views.push_back(std::move(view));
    return views;
}

void Destinations::close_all(PyObject* module, const std::string& why) {
    std::vector<LinkPtr> links;
    {
        sync::MutexGuard guard(mutex_);
        closed_ = true;
        for (auto& [key, s] : slots_)
            if (s->link) links.push_back(std::move(s->link));
    }
    for (auto& link : links) link->fail(module, why);
}

}  // namespace zv::proxy
