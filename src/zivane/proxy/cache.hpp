// The proxy's HTTP cache: a private cache (RFC 9111) on disk, one file per stored answer
// (cache_entry.hpp), shared by every browser and program using the proxy and by every
// proxy of the user on the machine.
//
// Keys are the URL as the proxy forwards it: destination hash, port, path and query. An
// answer is only ever stored under the key of the request it answers, so nothing a site
// says (Content-Location, another destination's name) can place it under another one.
// File names are hashes of the key and of the variant's request values (Vary); the file
// itself holds its key, which must match for it to be served.
//
// The bound (`limit` bytes) is kept after every store by removing the least recently used
// files (by modification time, which a use renews); an answer over an eighth of the bound
// is not stored, and a URL keeps its few most recently used variants only. Proxies sharing the directory only ever rename whole files into place and
// remove files: neither can leave the other a half-written entry.
//
// Threads: Cache's state is its atomic figures and a Monitor-level mutex (sync.hpp, 5)
// over the destinations recently found unreachable and the keys being revalidated. A
// Visit belongs to one browser connection's thread. Calls may come with or without the
// GIL: the disk is only ever read or written, and the mutex only ever taken, with the GIL
// released.
#pragma once

#include "proxy/cache_entry.hpp"
#include "proxy/cache_figures.hpp"
#include "support/sync.hpp"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace zv::proxy::cache {

class Cache {
public:
    // `shared`: browsers of other machines use it too (the proxy listens beyond loopback).
    Cache(std::string dir, std::uint64_t limit, bool shared)
        : dir_(std::move(dir)), limit_(limit), shared_(shared) {}

    // Makes the directory when missing and counts what it holds; false when it cannot be
    // used. GIL held.
    bool open();

    const std::string& dir() const { return dir_; }
    bool shared() const { return shared_; }
    std::uint64_t entry_limit() const { return limit_ / 8; }
    CacheFigures figures() const;

    // The files that may hold variants of `key`.
    std::vector<std::string> variant_paths(const std::string& key) const;
    // The file name of `key`'s variant stored for `vary`.
    std::string path_for(const std::string& key, const std::vector<VaryValue>& vary) const;
    // Removes every stored variant of `key`.
    void invalidate(const std::string& key);
    // Removes the least recently used variants of `key` beyond the few a URL keeps.
    void keep_few_variants(const std::string& key);
    // Removes the least recently used entries until the bound holds, and counts the rest.
    void evict();

    // Destinations that could not be reached a moment ago: a request a stored copy can
    // answer gets it at once rather than wait for the link again.
    void note_reachable(const std::string& destination, bool reachable);
    bool recently_unreachable(const std::string& destination);

    // One revalidation in the background per key at a time: false when one runs already.
    bool claim_revalidation(const std::string& key);
    void end_revalidation(const std::string& key);

    std::atomic<std::uint64_t> hits{0}, revalidated{0}, misses{0}, offline{0};

private:
    const std::string dir_;
    const std::uint64_t limit_;
    const bool shared_;
    std::atomic<std::uint64_t> bytes_{0}, entries_{0};
    sync::Monitor monitor_;
    std::map<std::string, double> unreachable_;  // under monitor_: since when, per destination
    std::set<std::string> revalidating_;         // under monitor_
};

// How a stored answer is served.
enum class Served {
    None,               // not: the request goes to the site
    Fresh,              // fresh: no link traffic
    WhileRevalidating,  // stale within stale-while-revalidate (or what the request accepts)
    Revalidated,        // the site answered 304
    Offline,            // the site could not be reached
    OnError,            // the site answered a server error, within stale-if-error
};

// One request's dealings with the cache: the look-up before it goes out, what the site's
// answer does to the store, and the stored answer served instead.
class Visit {
public:
    // Looks `request` (which outlives the visit) up under `key` (GIL held: the disk is
    // read with it released). Without a cache, every call below does nothing.
    Visit(Cache* cache, const http::Head& request, std::string key, std::string destination);
    ~Visit();
    Visit(const Visit&) = delete;
    Visit& operator=(const Visit&) = delete;

    // What can be served before anything goes out: Fresh, WhileRevalidating, or Offline
    // (the destination failed a moment ago), or None.
    Served ready();
    // Takes the key's one background revalidation (after a WhileRevalidating answer):
    // false when another request does it already.
    bool claim_background();
    // Whether a stored copy could stand in if the site cannot be reached.
    bool can_stand_in() const;
    // The request as it goes to the site: when a stored answer is to be revalidated, its
    // validators in place of the browser's own.
    http::Head outgoing(const http::Head& request);

    // The site could not be reached: remembered for the destination a little while (until
    // an answer from it comes, see on_head).
    void note_unreachable();

    // The site's answer head has come (without the GIL). None: relay it (stored as it
    // comes when it may be); otherwise the stored answer is served that way once the
    // rest of this answer is read and dropped.
    Served on_head(const http::Head& answer);
    // Body bytes as they are relayed; the answer, ended whole (stored now).
    void on_pieces(const std::deque<std::string>& pieces);
    void on_end();

    // The stored answer's head as served `how` (Age, warnings; a 304 when the request's
    // own conditions hold), and whether a body follows it.
    http::Head stored_head(Served how, bool& has_body);
    // The next piece of the stored body; false at its end (body_whole() then says whether
    // all of it came).
    bool read_body(std::string& piece) {
        bool got = stored_ && stored_->read_body(piece);
        body_read_ += got ? piece.size() : 0;
        return got;
    }
    bool body_whole() const { return body_read_ == (stored_ ? stored_->body_length : 0); }

private:
    void look_up();
    void begin_storing(const http::Head& answer);
    void refresh(const http::Head& not_modified);

    Cache* cache_;
    const http::Head& request_;
    const std::string key_, destination_;
    const double request_time_;  // when the request left (seconds since the epoch)
    bool background_ = false;    // this request holds the key's background revalidation
    Control asked_;
    bool usable_ = false;  // GET or HEAD the cache may answer and store
    bool is_get_ = false;
    std::optional<StoredEntry> stored_;
    Judgement judgement_;
    bool validating_ = false;         // the stored answer's validators went out
    std::vector<http::Field> extra_;  // 304 fields passed on but never stored (Set-Cookie)
    EntryWriter writer_;
    std::string writer_path_;
    std::uint64_t body_read_ = 0;
};

}  // namespace zv::proxy::cache
