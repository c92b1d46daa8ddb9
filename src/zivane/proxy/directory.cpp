#include "proxy/directory.hpp"

#include "common/address_book.hpp"
#include "common/files.hpp"
#include "common/site_announce.hpp"
#include "support/capsule.hpp"
#include "support/concat.hpp"
#include "support/globals.hpp"
#include "support/native_function.hpp"
#include "support/sync.hpp"
#include "support/tables.hpp"

#include <algorithm>
#include <charconv>
#include <ctime>

namespace zv::proxy {
namespace {

constexpr std::string_view kHeader = "zivane-proxy directory 1";
constexpr std::size_t kMaxFile = 512u << 10;  // kMaxSites lines of at most ~170 bytes
constexpr std::int64_t kResaveSeconds = 60;   // a site heard again: its time saved at most this often
// A site new or changed: saved at most this often, so that a flood of announces (each
// from a new identity costs its sender nothing) does not rewrite the file for each one.
constexpr std::int64_t kChangeSaveSeconds = 5;
constexpr int kUnconfirmedPorts[] = {80, 8080};

constexpr Capsule<std::weak_ptr<Directory>> kDirectoryCapsule{"zivane.proxy.directory"};

PyObject* received_announce_impl(NativeFunction* fn, PyObject* const* args) {
    auto* weak = kDirectoryCapsule.get(captured(fn, 0));
    std::shared_ptr<Directory> directory = weak ? weak->lock() : nullptr;
    if (directory) directory->heard(fn->module, args[0], args[1], args[2]);
    PyErr_Clear();  // an announce we cannot read is one we do not list
    return Py_NewRef(Py_None);
}

const table::Function kReceivedAnnounce = {"received_announce",
                                           {{"destination_hash"}, {"announced_identity"}, {"app_data"}},
                                           "None",
                                           nullptr,
                                           received_announce_impl};

std::int64_t now() { return std::int64_t(std::time(nullptr)); }

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string_view bytes_of(PyObject* object) {
    if (!object || !PyBytes_Check(object)) return {};
    return {PyBytes_AS_STRING(object), std::size_t(PyBytes_GET_SIZE(object))};
}

// Whether `identity`'s destination "HTTP.<port>" has the hash `announced`.
bool port_confirmed(PyObject* rns, PyObject* identity, std::string_view announced, int port) {
    Ref destination = attr(rns, ZV_STR("Destination"));
    Ref app = destination ? Ref::steal(PyUnicode_FromString("HTTP")) : Ref{};
    Ref aspect = app ? Ref::steal(PyUnicode_FromString(std::to_string(port).c_str())) : Ref{};
    Ref hash =
        aspect ? call_method(destination.get(), ZV_STR("hash"), {identity, app.get(), aspect.get()}) : Ref{};
    if (!hash) PyErr_Clear();
    return hash && !announced.empty() && bytes_of(hash.get()) == announced;
}

int hops_to(PyObject* rns, PyObject* destination_hash) {
    Ref transport = attr(rns, ZV_STR("Transport"));
    Ref hops = transport ? call_method(transport.get(), ZV_STR("hops_to"), {destination_hash}) : Ref{};
    long value = hops && PyLong_Check(hops.get()) ? PyLong_AsLong(hops.get()) : -1;
    if (value == -1 || !hops) PyErr_Clear();
    return value >= 0 && value < 256 ? int(value) : -1;
}

// `text` as the site_announce codec leaves a name: UTF-8 without control characters, cut
// to its bound; what a stored description must already be.
std::string clean_description(const std::string& text) {
    site_announce::Site site, back;
    site.name = text;
    return site_announce::decode(site_announce::encode(site), back) ? back.name : std::string();
}

template <class Number>
bool read_number(std::string_view text, Number& out, Number low, Number high) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size() && out >= low && out <= high;
}

// One saved line: "<hash> <port> <heard> <hops> <answered> <description>".
bool read_site(std::string_view line, HeardSite& out) {
    std::string_view fields[5];
    for (auto& field : fields) {
        std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return false;
        field = line.substr(0, space);
        line.remove_prefix(space + 1);
    }
    bool lower =
        std::all_of(fields[0].begin(), fields[0].end(), [](char c) { return !(c >= 'A' && c <= 'F'); });
    out.hash = std::string(fields[0]);
    out.description = std::string(line);
    return address_book::is_hash(fields[0]) && lower && read_number(fields[1], out.port, 0, 65535) &&
           read_number<std::int64_t>(fields[2], out.heard, 0, std::int64_t(1) << 40) &&
           read_number(fields[3], out.hops, -1, 255) && read_number(fields[4], out.answered, -1, 1) &&
           clean_description(out.description) == out.description;
}

}  // namespace

Directory::~Directory() = default;

bool Directory::start(PyObject* module) {
    if (!load()) save(Save::Now);  // a file that does not read back is replaced
    Ref capsule = kDirectoryCapsule.wrap(std::weak_ptr<Directory>(shared_from_this()));
    Ref closure = capsule ? new_tuple({capsule.get()}) : Ref{};
    Ref receive = closure ? table::make_nested(module, kReceivedAnnounce, "Directory", closure.get()) : Ref{};
    Ref types = receive ? module_global(module, ZV_STR("types")) : Ref{};
    Ref holder_type = types ? attr(types.get(), ZV_STR("SimpleNamespace")) : Ref{};
    Ref handler = holder_type ? call(holder_type.get()) : Ref{};
    if (!handler || PyObject_SetAttr(handler.get(), ZV_STR("aspect_filter"), Py_None) < 0 ||
        PyObject_SetAttr(handler.get(), ZV_STR("received_announce"), receive.get()) < 0)
        return false;
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref transport = rns ? attr(rns.get(), ZV_STR("Transport")) : Ref{};
    if (!transport || !call_method(transport.get(), ZV_STR("register_announce_handler"), {handler.get()}))
        return false;
    handler_ = handler.release();
    return true;
}

void Directory::stop(PyObject* module) {
    if (handler_) {
        Ref handler = Ref::steal(std::exchange(handler_, nullptr));
        Ref rns = module_global(module, ZV_STR("RNS"));
        Ref transport = rns ? attr(rns.get(), ZV_STR("Transport")) : Ref{};
        if (!transport ||
            !call_method(transport.get(), ZV_STR("deregister_announce_handler"), {handler.get()}))
            PyErr_Clear();
    }
    save(Save::Final);
}

void Directory::heard(PyObject* module, PyObject* destination_hash, PyObject* identity, PyObject* app_data) {
    std::string_view announced = bytes_of(destination_hash);
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns || announced.size() != 16 || !identity || identity == Py_None) return;
    HeardSite site;
    site_announce::Site claim;
    if (site_announce::decode(bytes_of(app_data), claim) && claim.port) {
        if (!port_confirmed(rns.get(), identity, announced, *claim.port)) return;  // a false claim
        site.port = *claim.port;
        site.description = claim.name;
    } else {
        auto confirmed = [&](int port) { return port_confirmed(rns.get(), identity, announced, port); };
        const int* port = std::find_if(std::begin(kUnconfirmedPorts), std::end(kUnconfirmedPorts), confirmed);
        if (port == std::end(kUnconfirmedPorts)) return;  // not an HTTP destination we can place
        site.port = *port;
    }
    site.hash = hex(announced);
    site.hops = hops_to(rns.get(), destination_hash);
    site.heard = now();
    bool changed = false;
    {
        sync::MutexGuard held(mutex_);
        keep_locked(std::move(site), changed);
    }
    save(changed ? Save::Changed : Save::Heard);
}

// Stores `site`, keeping what the proxy learnt of it; `changed` when more than the time
// it was heard changed. Drops the least recently heard beyond the bound.
void Directory::keep_locked(HeardSite site, bool& changed) {
    site.order = ++heard_count_;
    auto found = sites_.find(site.hash);
    if (found != sites_.end()) {
        HeardSite& old = found->second;
        changed = old.port != site.port || old.description != site.description || old.hops != site.hops;
        if (old.port == site.port) site.answered = old.answered;
        old = std::move(site);
    } else {
        changed = true;
        sites_.emplace(site.hash, std::move(site));
    }
    ++generation_;
    trim_locked();
}

void Directory::trim_locked() {
    while (sites_.size() > kMaxSites) {
        auto oldest = std::min_element(sites_.begin(), sites_.end(), [](const auto& a, const auto& b) {
            const HeardSite &x = a.second, &y = b.second;
            return x.heard != y.heard ? x.heard < y.heard : x.order < y.order;
        });
        sites_.erase(oldest);
    }
}

void Directory::note_answer(const std::string& hash, int port, bool answered) {
    {
        sync::MutexGuard held(mutex_);
        auto found = sites_.find(hash);
        if (found == sites_.end() || found->second.port != port || found->second.answered == int(answered))
            return;
        found->second.answered = answered;
        ++generation_;
    }
    save(Save::Now);
}

std::vector<HeardSite> Directory::newest_first() {
    std::vector<HeardSite> out;
    {
        sync::MutexGuard held(mutex_);
        for (const auto& [hash, site] : sites_) out.push_back(site);
    }
    std::stable_sort(out.begin(), out.end(), [](const HeardSite& a, const HeardSite& b) {
        return a.heard != b.heard ? a.heard > b.heard : a.order > b.order;
    });
    return out;
}

std::string Directory::serialize_locked() const {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [hash, s] : sites_)
        text += cat({s.hash, " ", std::to_string(s.port), " ", std::to_string(s.heard), " ",
                     std::to_string(s.hops), " ", std::to_string(s.answered), " ", s.description, "\n"});
    return text;
}

// Writes the sites: now, or when something changed since the last write and that write
// is older than kChangeSaveSeconds (Changed) or kResaveSeconds (Heard); what is left
// unwritten goes with the next save, at the latest the final one. GIL held; the write
// itself goes without it.
void Directory::save(Save when) {
    std::string text;
    std::uint64_t generation = 0;
    {
        sync::MutexGuard held(mutex_);
        bool unsaved = generation_ != written_.load();
        if (when == Save::Final && !unsaved) return;
        if (when == Save::Heard && (!unsaved || now() - saved_at_ < kResaveSeconds)) return;
        if (when == Save::Changed && now() - saved_at_ < kChangeSaveSeconds) return;
        text = serialize_locked();
        generation = generation_;
        saved_at_ = now();
    }
    sync::MutexGuard turn(save_turn_);
    if (generation != 0 && generation <= written_.load()) return;  // this one, or a newer one, is there
    std::string why;
    bool ok = sync::without_gil([&] {
        return files::make_directory(address_book::zivane_directory(), why) &&
               files::write_atomically(path_, text, why);
    });
    if (ok) written_.store(generation);
}

bool Directory::load() {
    std::string text, why;
    if (!files::stamp_of(path_).exists) return true;
    if (!files::read_bounded(path_, kMaxFile, text, why)) return false;
    std::string_view rest = text;
    std::size_t end = rest.find('\n');
    if (end == std::string_view::npos || rest.substr(0, end) != kHeader) return false;
    rest.remove_prefix(end + 1);
    std::map<std::string, HeardSite> sites;
    while (!rest.empty()) {
        end = rest.find('\n');
        if (end == std::string_view::npos) return false;  // cut short
        HeardSite site;
        if (!read_site(rest.substr(0, end), site) || sites.contains(site.hash)) return false;
        sites.emplace(site.hash, std::move(site));
        rest.remove_prefix(end + 1);
    }
    sync::MutexGuard held(mutex_);
    sites_ = std::move(sites);
    trim_locked();
    return true;
}

}  // namespace zv::proxy
