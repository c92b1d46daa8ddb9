#include "proxy/cache.hpp"

#include "support/ascii.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zv::proxy::cache {
namespace {

constexpr std::string_view kEntrySuffix = ".zc";
constexpr std::string_view kTempPrefix = ".tmp-";
// A temporary file this old was left by a proxy that ended while storing.
constexpr double kTempLeftOver = 3600.0;
// How long a destination that could not be reached is taken to be so for a request a
// stored copy can answer: long enough that the browser's next requests of a page get
// their copies at once, short enough that a site back on the mesh is seen soon.
constexpr double kUnreachableMemory = 20.0;
// Stored variants one URL keeps (the most recently used): every look-up of the URL reads
// each of them whole to check it, and a site's Vary could make them as many as it likes.
constexpr std::size_t kMaxVariants = 16;

double wall_now() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// `work()` with the GIL released when this thread holds it: every disk access and every
// wait for the cache's mutex happens without it.
template <class Work>
decltype(auto) without_gil_if_held(Work&& work) {
    if (PyGILState_Check()) return sync::without_gil(std::forward<Work>(work));
    return std::forward<Work>(work)();
}

bool ends_with(std::string_view text, std::string_view end) { return text.ends_with(end); }

struct FileSeen {
    std::string path;
    std::uint64_t size = 0;
    timespec used{};
};

bool older(const FileSeen& a, const FileSeen& b) {
    return a.used.tv_sec != b.used.tv_sec ? a.used.tv_sec < b.used.tv_sec : a.used.tv_nsec < b.used.tv_nsec;
}

// Every entry file of `dir` (and, removed on the way, temporary files left over).
std::vector<FileSeen> entry_files(const std::string& dir, std::string_view prefix) {
    std::vector<FileSeen> out;
    DIR* listing = ::opendir(dir.c_str());
    if (!listing) return out;
    double now = wall_now();
    while (dirent* item = ::readdir(listing)) {
        std::string_view name = item->d_name;
        bool temp = name.starts_with(kTempPrefix);
        if (!temp && (!name.starts_with(prefix) || !ends_with(name, kEntrySuffix))) continue;
        struct stat info {};
        if (::fstatat(::dirfd(listing), item->d_name, &info, AT_SYMLINK_NOFOLLOW) < 0 ||
            !S_ISREG(info.st_mode))
            continue;
        std::string path = dir + "/" + item->d_name;
        if (temp) {
            if (prefix.empty() && now - double(info.st_mtim.tv_sec) > kTempLeftOver) ::unlink(path.c_str());
            continue;
        }
        out.push_back({std::move(path), std::uint64_t(info.st_size), info.st_mtim});
    }
    ::closedir(listing);
    return out;
}

std::string variant_text(const std::vector<VaryValue>& vary) {
    std::string text;
    for (const VaryValue& v : vary)
        text.append(v.name).append(1, '\0').append(v.present ? "1" : "0").append(v.value).append(1, '\0');
    return text;
}

bool unsafe_method(std::string_view method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS" && method != "TRACE";
}

bool server_error(int status) { return status == 500 || status == 502 || status == 503 || status == 504; }

}  // namespace

// ---- the store --------------------------------------------------------------------------

bool Cache::open() {
    return sync::without_gil([&] {
        std::size_t slash = dir_.rfind('/');
        if (slash != std::string::npos && slash > 0) ::mkdir(dir_.substr(0, slash).c_str(), 0700);
        if (::mkdir(dir_.c_str(), 0700) < 0 && errno != EEXIST) return false;
        struct stat info {};
        if (::stat(dir_.c_str(), &info) < 0 || !S_ISDIR(info.st_mode) || ::access(dir_.c_str(), W_OK) < 0)
            return false;
        evict();
        return true;
    });
}

CacheFigures Cache::figures() const {
    CacheFigures f;
    f.enabled = true;
    f.bytes = bytes_.load();
    f.limit = limit_;
    f.entries = entries_.load();
    f.hits = hits.load();
    f.revalidated = revalidated.load();
    f.misses = misses.load();
    f.offline = offline.load();
    return f;
}

std::vector<std::string> Cache::variant_paths(const std::string& key) const {
    std::vector<std::string> out;
    for (FileSeen& file : entry_files(dir_, hex16(fnv1a(key)) + "-")) out.push_back(std::move(file.path));
    return out;
}

std::string Cache::path_for(const std::string& key, const std::vector<VaryValue>& vary) const {
    return dir_ + "/" + hex16(fnv1a(key)) + "-" + hex16(fnv1a(variant_text(vary))) +
           std::string(kEntrySuffix);
}

void Cache::invalidate(const std::string& key) {
    for (const std::string& path : variant_paths(key)) ::unlink(path.c_str());
    evict();
}

void Cache::keep_few_variants(const std::string& key) {
    std::vector<FileSeen> files = entry_files(dir_, hex16(fnv1a(key)) + "-");
    if (files.size() <= kMaxVariants) return;
    std::sort(files.begin(), files.end(), older);
    for (std::size_t i = 0; i + kMaxVariants < files.size(); ++i) ::unlink(files[i].path.c_str());
}

void Cache::evict() {
    std::vector<FileSeen> files = entry_files(dir_, "");
    std::sort(files.begin(), files.end(), older);
    std::uint64_t total = 0;
    for (const FileSeen& file : files) total += file.size;
    std::size_t removed = 0;
    for (; removed < files.size() && total > limit_; ++removed) {
        ::unlink(files[removed].path.c_str());
        total -= files[removed].size;
    }
    bytes_.store(total);
    entries_.store(files.size() - removed);
}

void Cache::note_reachable(const std::string& destination, bool reachable) {
    double now = wall_now();
    without_gil_if_held([&] {
        sync::Monitor::Guard guard = monitor_.hold();
        if (reachable) return void(unreachable_.erase(destination));
        std::erase_if(unreachable_, [&](auto& item) { return now - item.second > kUnreachableMemory; });
        unreachable_.try_emplace(destination, now);
    });
}

bool Cache::recently_unreachable(const std::string& destination) {
    double now = wall_now();
    return without_gil_if_held([&] {
        sync::Monitor::Guard guard = monitor_.hold();
        auto found = unreachable_.find(destination);
        return found != unreachable_.end() && now - found->second <= kUnreachableMemory;
    });
}

bool Cache::claim_revalidation(const std::string& key) {
    return without_gil_if_held([&] {
        sync::Monitor::Guard guard = monitor_.hold();
        return revalidating_.insert(key).second;
    });
}

void Cache::end_revalidation(const std::string& key) {
    without_gil_if_held([&] {
        sync::Monitor::Guard guard = monitor_.hold();
        revalidating_.erase(key);
    });
}

// ---- one request ------------------------------------------------------------------------

Visit::Visit(Cache* cache, const http::Head& request, std::string key, std::string destination)
    : cache_(cache),
      request_(request),
      key_(std::move(key)),
      destination_(std::move(destination)),
      request_time_(wall_now()) {
    if (!cache_) return;
    is_get_ = request.method == "GET";
    bool partial_or_guarded = request.find("range") || request.find("if-range") || request.find("if-match") ||
                              request.find("if-unmodified-since");
    usable_ = (is_get_ || request.method == "HEAD") && request.framing == http::Framing::None &&
              !partial_or_guarded;
    asked_ = read_control(request, true);
    if (usable_) without_gil_if_held([&] { look_up(); });
}

Visit::~Visit() {
    if (background_) cache_->end_revalidation(key_);
}

// The variant of the key that the request's own fields select; the latest one when
// several do (RFC 9111 4.1). A proxy other machines reach passes over answers marked
// private that a loopback proxy of the user stored in the same directory.
void Visit::look_up() {
    for (const std::string& path : cache_->variant_paths(key_)) {
        StoredEntry entry;
        if (!entry.open(path, key_) || !vary_matches(entry.meta.vary, request_)) continue;
        if (cache_->shared() && read_control(entry.meta.head, false).is_private) continue;
        if (stored_ && stored_->meta.times.response_time >= entry.meta.times.response_time) continue;
        stored_ = std::move(entry);
    }
    if (stored_) judgement_ = judge(stored_->meta.head, stored_->meta.times, asked_, wall_now());
}

Served Visit::ready() {
    if (!usable_) return Served::None;
    if (stored_ && judgement_.use == Use::Fresh) return Served::Fresh;
    if (stored_ && judgement_.use == Use::Stale) return Served::WhileRevalidating;
    if (can_stand_in() && cache_->recently_unreachable(destination_)) return Served::Offline;
    return Served::None;
}

bool Visit::claim_background() {
    if (!is_get_ || !stored_ || background_) return false;
    background_ = cache_->claim_revalidation(key_);
    return background_;
}

bool Visit::can_stand_in() const {
    return usable_ && stored_ &&
           may_stand_in(stored_->meta.head, stored_->meta.times, asked_, wall_now(), true);
}

http::Head Visit::outgoing(const http::Head& request) {
    http::Head head = request;
    if (!usable_ || !is_get_ || !stored_) return head;
    std::vector<http::Field> fields = validators(stored_->meta.head);
    if (fields.empty()) return head;  // nothing to confirm it by: asked again whole
    head.remove("if-none-match");
    head.remove("if-modified-since");
    for (http::Field& field : fields) head.fields.push_back(std::move(field));
    validating_ = true;
    return head;
}

void Visit::note_unreachable() {
    if (cache_) cache_->note_reachable(destination_, false);
}

Served Visit::on_head(const http::Head& answer) {
    if (!cache_) return Served::None;
    cache_->note_reachable(destination_, true);
    if (!usable_) {
        if (unsafe_method(request_.method) && answer.status >= 200 && answer.status < 400)
            without_gil_if_held([&] { cache_->invalidate(key_); });
        return Served::None;
    }
    if (!is_get_) return cache_->misses.fetch_add(1), Served::None;
    if (validating_ && answer.status == 304) {
        refresh(answer);
        return Served::Revalidated;
    }
    if (stored_ && server_error(answer.status) &&
        may_stand_in(stored_->meta.head, stored_->meta.times, asked_, wall_now(), false))
        return Served::OnError;
    cache_->misses.fetch_add(1);  // the site's own answer goes to the browser
    begin_storing(answer);
    return Served::None;
}

void Visit::begin_storing(const http::Head& answer) {
    if (!refusal_to_store(request_, asked_, answer, cache_->shared()).empty() ||
        answer.framing == http::Framing::UntilClose ||
        (answer.framing == http::Framing::Length && answer.content_length > cache_->entry_limit()))
        return;
    Meta meta;
    meta.key = key_;
    meta.times = {request_time_, wall_now()};
    if (!vary_values(answer, request_, meta.vary)) return;
    meta.head = answer;
    http::drop_hop_by_hop(meta.head);
    std::erase_if(meta.head.fields, [](const http::Field& f) { return never_stored(f.name); });
    writer_path_ = cache_->path_for(key_, meta.vary);
    without_gil_if_held([&] { writer_.begin(cache_->dir(), meta); });
}

void Visit::on_pieces(const std::deque<std::string>& pieces) {
    if (!writer_.active()) return;
    without_gil_if_held([&] {
        for (const std::string& piece : pieces) {
            if (writer_.body_bytes() + piece.size() > cache_->entry_limit()) return writer_.discard();
            if (!writer_.append(piece)) return;
        }
    });
}

void Visit::on_end() {
    if (!writer_.active()) return;
    without_gil_if_held([&] {
        if (!writer_.commit(writer_path_)) return;
        cache_->keep_few_variants(key_);
        cache_->evict();
    });
}

void Visit::refresh(const http::Head& not_modified) {
    Meta meta = stored_->meta;
    cache::refresh(meta.head, not_modified);
    meta.times = {request_time_, wall_now()};
    extra_.clear();
    for (const http::Field& field : not_modified.fields)
        if (ascii::equals_lower(field.name, "set-cookie")) extra_.push_back(field);
    if (!asked_.no_store)  // a request that asked for nothing to be stored leaves the file as it was
        without_gil_if_held([&] { rewrite(*stored_, meta, cache_->dir(), stored_->path()); });
    stored_->meta = std::move(meta);
    judgement_ = judge(stored_->meta.head, stored_->meta.times, asked_, wall_now());
}

http::Head Visit::stored_head(Served how, bool& has_body) {
    const Meta& meta = stored_->meta;
    double now = wall_now();
    bool stale = how != Served::Revalidated &&
                 current_age(meta.head, meta.times, now) >= freshness_lifetime(meta.head, meta.times);
    http::Head head = meta.head;
    has_body = false;
    // The browser's conditions are for a 2xx only (RFC 9110 13.2.1): a stored 404 stays one.
    if (head.status >= 200 && head.status < 300 && not_modified_for(request_, head)) {
        head = not_modified_head(head);
    } else if (head.status == 204) {
        head.framing = http::Framing::None;
    } else {
        head.framing = http::Framing::Length;
        head.content_length = stored_->body_length;
        head.set("Content-Length", std::to_string(stored_->body_length));
        has_body = is_get_;
    }
    head.set("Age",
             std::to_string(std::uint64_t(std::min(current_age(meta.head, meta.times, now), 2147483648.0))));
    std::string warning = stale ? "110 - \"Response is Stale\"" : "";
    if (how == Served::Offline) warning += std::string(stale ? ", " : "") + "111 - \"Revalidation Failed\"";
    if (!warning.empty()) head.set("Warning", warning);
    if (how == Served::Revalidated)
        for (const http::Field& field : extra_) head.fields.push_back(field);
    std::atomic<std::uint64_t>& counter = how == Served::Revalidated ? cache_->revalidated
                                          : how == Served::Offline || how == Served::OnError ? cache_->offline
                                                                                             : cache_->hits;
    counter.fetch_add(1);
    body_read_ = 0;
    without_gil_if_held([&] {
        stored_->rewind();
        stored_->touch();
    });
    return head;
}

}  // namespace zv::proxy::cache
