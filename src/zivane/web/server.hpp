// Python web applications served on the gateway's links, in this process.
//
// The gateway's worker threads read each request off its link (gateway/links.cpp); for an
// application they hand it to an AppServer instead of forwarding it. A WSGI application
// runs right there, on the worker (the gateway bounds how many run at once); an ASGI
// application runs as a task on the one event loop the program runs, and the worker
// stays with the request as its go-between: it reads the body when the application asks
// for it and writes what the application sends, so no Reticulum wait ever happens on the
// loop.
#pragma once

#include "gateway/link.hpp"

#include <memory>
#include <string>

namespace zv::web {

// What every request's scope or environ says about the server.
struct Where {
    std::string host;  // "<destination hash>.rns", known once the destination exists
    int port = 0;      // the destination's port aspect
};

class AppServer {
public:
    virtual ~AppServer() = default;
    // Serves the request whose head the link's reader has just read (a gateway worker,
    // GIL held). False when the link has ended.
    virtual bool serve(gateway::Link& link) = 0;
    // About once a second, with the GIL: notices links that closed under an answer.
    virtual void tick() {}
    Where where;  // written with the GIL before links come, read with it
};
using AppServerPtr = std::shared_ptr<AppServer>;

// Whether `app` is an ASGI 3 application: a coroutine function, or an object whose
// __call__ is one. 1, 0, or -1 with an exception set.
int is_asgi(PyObject* module, PyObject* app);

// With the GIL, on the loop's thread.
AppServerPtr make_wsgi_server(PyObject* module, PyObject* app);
AppServerPtr make_asgi_server(PyObject* module, PyObject* app, PyObject* loop, PyObject* state);

// ---- what both kinds of application share (request.cpp) ------------------------------

// The request target split and decoded as both conventions want it.
struct Target {
    std::string raw_path;  // as sent, before '?'
    std::string path;      // percent-decoded
    std::string query;     // after '?', as sent
};
Target split_target(const std::string& target);

// The peer as the application sees it: its identity hash in hex when it identified on
// the link, else a name that stays the same for the link's life.
std::string client_name(gateway::Link& link, const std::string& identity);

// Refuses a request of a link --allow keeps out (the body is read and dropped first).
bool refuse_unallowed(gateway::Link& link, bool is_head);

// One answer written on the link as the application produces it. The head is held back
// until the first body bytes (or the end) so that a single-piece answer goes out with
// its Content-Length; otherwise an answer without one is chunked.
class ResponseWriter {
public:
    ResponseWriter(gateway::Link& link, bool head_request) : link_(link), head_request_(head_request) {}

    bool started() const { return started_; }
    bool finished() const { return finished_; }
    // The status and header fields (hop-by-hop fields of the application are dropped).
    void start(int status, std::string reason, std::vector<http::Field> fields);
    // More of the body; `last` ends the answer. False when the link has ended.
    bool body(std::string_view data, bool last);
    // The application failed or stopped short: a 500 when nothing went out yet; else the
    // answer is ended where it is (chunked), or the link is (a promised length cannot be
    // kept). False when the link has ended.
    bool fail();

private:
    bool send_head(std::string_view first, bool last);
    bool no_body() const;

    gateway::Link& link_;
    const bool head_request_;
    bool started_ = false, head_sent_ = false, finished_ = false, chunked_ = false;
    http::Head head_;
    std::uint64_t left_ = 0;  // length-delimited: body bytes still owed
};

}  // namespace zv::web

namespace zv::web {

// The application's exception (set now) printed with its traceback on sys.stderr, and
// cleared: a failing request must not stop the server.
void report_app_error();

// Request header fields as the application gets them: the peer's identity from the
// link, never from a field the peer sent, and no field with '_' in its name (see
// gateway::withheld_field).
std::vector<http::Field> app_fields(const http::Head& head, const std::string& identity);

// A latin-1 str of `text` (the WSGI string type), or a bytes object.
Ref latin1(std::string_view text);
Ref bytes_of(std::string_view text);

// The bytes of a bytes-like object; false with TypeError when it is none.
bool view_bytes(PyObject* obj, std::string& out, const char* what);

}  // namespace zv::web

namespace zv::web {

// The ASGI lifespan of an application (asgi.cpp), on the loop.
class Lifespan {
public:
    virtual ~Lifespan() = default;
    // Starts the lifespan task; the awaitable ends once startup completed (or the
    // application showed it has no lifespan), and raises RuntimeError when it failed.
    virtual Ref startup() = 0;
    // Asks the application to shut down; an awaitable that ends when it has, or None.
    virtual Ref shutdown() = 0;
};
std::shared_ptr<Lifespan> make_lifespan(PyObject* module, PyObject* app, PyObject* loop, PyObject* state);

}  // namespace zv::web
