// Calling Reticulum sites from Python HTTP client libraries: requests to `<hash>.rns`
// URLs sent on the proxy's links (one per destination, shared by every request of a
// transport, reopened when closed), and their answers read as they arrive; an answer
// whose link dies half-way goes on from a new link when it allows it (proxy/resume.hpp).
//
// Every function is called with the GIL held; waits on Reticulum release it. An async
// transport runs the waits on a small pool of threads of its own and hears back on its
// loop through loop.call_soon_threadsafe.
#pragma once

#include "proxy/links.hpp"
#include "proxy/resume.hpp"
#include "proxy/target.hpp"

#include <functional>
#include <memory>
#include <optional>

namespace zv::web {

// What went wrong, as the client library is told.
enum class Failure { None, Unsupported, ConnectTimeout, Connect, Write, ReadTimeout, Protocol };

// One transport: its links and how they are made.
struct Client {
    proxy::Settings settings;
    Ref identity_path;  // None: the client's default identity file
    proxy::Destinations destinations;
};
using ClientPtr = std::shared_ptr<Client>;

struct Timeouts {
    std::optional<double> connect, read;  // empty: the transport's own
};

// A request as the libraries hand it over.
struct Outgoing {
    std::string method, url;
    std::vector<http::Field> fields;
    Ref body;  // an iterator of bytes-like pieces, or None
    Timeouts timeouts;
};

// What it takes to ask a new link for the rest of an answer whose link failed half-way
// (proxy/resume.hpp): the request as it went out, and where and how it went.
struct Continuation {
    Ref module;
    proxy::Target target;
    proxy::Settings settings;
    http::Head request;
    std::optional<proxy::resume::Plan> plan;  // set when the answer's head allows it
    bool cut = false;                         // its link failed: the rest is to be asked for
    std::string why;                          // what became of that link
};

// One request and its answer. `link` and `answer` change with the GIL held only;
// `head`, `pending`, `ended`, `failure`, `why` and `continuation` belong to the thread
// in start_exchange, then to the reader holding `mutex`. A close never waits for that
// reader: it sets `closed` and gives the answer up on the link, which wakes the reader.
struct Exchange {
    ClientPtr client;
    proxy::LinkPtr link;
    proxy::AnswerPtr answer;
    double read_timeout = 60.0;
    http::Head head;
    std::string pending;  // answer bytes not yet handed out
    bool ended = false;
    std::atomic<bool> closed{false};
    std::atomic<bool> finished{false};  // read to its end: ended, nothing pending
    Failure failure = Failure::None;
    std::string why;
    Continuation continuation;
    PyMutex mutex{};  // one reader at a time
};
using ExchangePtr = std::shared_ptr<Exchange>;

// Sends `out` and waits for the answer's head. False with `ex.failure` set (and no
// exception) when the request could not be made, or with an exception from the body.
bool start_exchange(PyObject* module, Exchange& ex, Outgoing& out);

// Takes up to `max` bytes of the answer (any amount for 0), waiting for them when
// `wait`; "" at its end (`ex.ended`). False with `ex.failure` set when it failed, or with
// nothing taken while it must not wait.
bool read_answer(Exchange& ex, std::size_t max, bool wait, std::string& out);

// The answer will not be read further: the rest is dropped as it arrives (on a link that
// then takes no new request), and a read waiting for it returns its end. Never waits
// for a reader. A request not yet sent is not sent.
void close_exchange(Exchange& ex);

// Threads that run blocking steps for async transports, with the GIL. Started as needed,
// at most kMaxThreads; they wait for work with the GIL released.
void run_in_pool(std::function<void()> task);

// From a pool thread: `future.set_result(value)` (or set_exception, `error`) on `loop`,
// unless the future is done already (its awaiter was cancelled).
void settle_later(PyObject* module, PyObject* loop, PyObject* future, PyObject* value, bool error);

}  // namespace zv::web
