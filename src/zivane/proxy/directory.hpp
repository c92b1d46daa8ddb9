// The sites the proxy has heard announced: every announce that reaches this Reticulum
// instance is looked at, and the HTTP destinations among them are kept for the proxy's
// page, newest first.
//
// An announce is believed only as far as it can be checked. A site's application data
// (common/site_announce.hpp) claims a port; the claim holds when the destination hash
// recomputed from the announcing identity, app "HTTP" and that port as its aspect, is the
// hash announced. An announce without zivane's data is kept when its hash is that of port
// 80 or 8080; anything else (a port its hash does not match, data that is not ours but
// claims to be) is not listed. The description is a claim and stays one: shown escaped.
//
// Kept in `<zivane directory>/directory`, at most kMaxSites sites (the least recently
// heard go first), replaced whole on every save; a file that does not read back as one
// is ignored and rewritten. Reticulum calls the handler on a thread of its own per
// announce, with the GIL held.
#pragma once

#include "support/ref.hpp"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zv::proxy {

struct HeardSite {
    std::string hash;  // 32 lower-case hexadecimal digits
    int port = 80;
    std::string description;  // as announced: UTF-8 without control characters, maybe empty
    int hops = -1;            // -1: unknown
    std::int64_t heard = 0;   // when last heard, seconds since the epoch
    int answered = -1;        // the last link to it: 1 made, 0 failed, -1 never tried
    std::uint64_t order = 0;  // among those heard in the same second (not kept on disk)
};

class Directory : public std::enable_shared_from_this<Directory> {
public:
    static constexpr std::size_t kMaxSites = 500;

    explicit Directory(std::string path) : path_(std::move(path)) {}
    ~Directory();  // a handler still registered stays so: no Python object is let go here

    // Reads the file and registers the announce handler with RNS.Transport. GIL held;
    // false with an exception set.
    bool start(PyObject* module);
    // Takes the handler back and saves. GIL held.
    void stop(PyObject* module);

    // One announce (the handler's body). GIL held.
    void heard(PyObject* module, PyObject* destination_hash, PyObject* identity, PyObject* app_data);
    // Whether the last link to `hash`:`port` could be made. GIL held.
    void note_answer(const std::string& hash, int port, bool answered);

    std::vector<HeardSite> newest_first();

private:
    enum class Save { Now, Changed, Heard, Final };
    bool load();
    void save(Save when);
    std::string serialize_locked() const;
    void keep_locked(HeardSite site, bool& changed);
    void trim_locked();

    const std::string path_;
    PyObject* handler_ = nullptr;  // strong; let go by stop() with the GIL held
    PyMutex mutex_{};              // the sites and the save stamps below (see support/sync.hpp)
    std::map<std::string, HeardSite> sites_;
    std::uint64_t generation_ = 0;           // under mutex_: bumped by every change
    std::uint64_t heard_count_ = 0;          // under mutex_: announces kept, for HeardSite::order
    std::int64_t saved_at_ = 0;              // under mutex_: when the file was last written
    PyMutex save_turn_{};                    // one save at a time (see support/sync.hpp)
    std::atomic<std::uint64_t> written_{0};  // written under save_turn_: the generation on disk
};

}  // namespace zv::proxy
