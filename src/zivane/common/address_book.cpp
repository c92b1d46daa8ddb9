#include "common/address_book.hpp"

#include "common/files.hpp"

#include "support/ascii.hpp"
#include "support/concat.hpp"
#include "support/sync.hpp"

#include <map>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zv::address_book {
namespace {

constexpr std::size_t kHashDigits = 32;
constexpr std::size_t kMaxFile = 1u << 20;  // a names file is a few lines; more is not one

struct Named {
    Binding binding;
    int line = 0;
};

// The file as read: good names, names that a bad line makes unusable (with why), and
// lines from which no name could be read.
struct Book {
    std::map<std::string, Named, std::less<>> names;
    std::map<std::string, std::string, std::less<>> broken;
    std::vector<std::string> unnamed;  // "<path>:<line>: why"
    std::vector<std::string> problems;
};

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// "hash[:port]", the hash also as RNS prints it ("<hash>"). False with `why` set.
bool read_binding(std::string_view text, Binding& out, std::string& why) {
    std::string_view hash = text, port;
    if (std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        hash = trim(text.substr(0, colon));
        port = trim(text.substr(colon + 1));
    }
    if (hash.size() == kHashDigits + 2 && hash.front() == '<' && hash.back() == '>')
        hash = hash.substr(1, kHashDigits);
    if (!is_hash(hash)) {
        why = cat({"'", hash, "' is not a destination hash (32 hexadecimal digits)"});
        return false;
    }
    int number = 0;
    if (!port.empty() || text.find(':') != std::string_view::npos) {
        if (!ascii::read_port(port, number)) {
            why = cat({"'", port, "' is not a port (0-65535)"});
            return false;
        }
        out.port = number;
    }
    out.hash.clear();
    for (char c : hash) out.hash += char(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return true;
}

void note(Book& book, const std::string& where, std::string_view name, const std::string& why) {
    std::string problem = cat({where, ": ", why});
    book.problems.push_back(problem);
    if (name.empty())
        book.unnamed.push_back(std::move(problem));
    else if (!book.broken.contains(name))
        book.broken.emplace(std::string(name), std::move(problem));
}

void read_line(Book& book, const std::string& path, int number, std::string_view line) {
    if (std::size_t hash_mark = line.find('#'); hash_mark != std::string_view::npos)
        line = line.substr(0, hash_mark);
    line = trim(line);
    if (line.empty()) return;
    std::string where = cat({path, ":", std::to_string(number)});
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return note(book, where, {}, "expected 'name = hash[:port]'");
    std::string_view name = trim(line.substr(0, equals));
    bool usable_name = valid_name(name);
    if (is_hash(name)) return note(book, where, {}, cat({"'", name, "' is a destination hash, not a name"}));
    if (!usable_name)
        return note(book, where, {},
                    cat({"'", name, "' is not a name (1-63 lower-case letters, digits, hyphens)"}));
    Binding binding;
    std::string why;
    if (!read_binding(trim(line.substr(equals + 1)), binding, why)) return note(book, where, name, why);
    if (auto first = book.names.find(name); first != book.names.end()) {
        note(book, where, name,
             cat({"'", name, "' is bound again (first on line ", std::to_string(first->second.line), ")"}));
        book.names.erase(first);
        return;
    }
    if (book.broken.contains(name)) return;
    book.names.emplace(std::string(name), Named{std::move(binding), number});
}

Book parse(const std::string& path, std::string_view text) {
    Book book;
    int number = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        read_line(book, path, ++number, line);
    }
    return book;
}

// The file as last read, and what it was read from.
struct Cache {
    PyMutex mutex{};  // see support/sync.hpp
    std::string path;
    files::Stamp stamp;
    Book book;
};

Cache& cache() {
    static Cache* the = new Cache();  // never destroyed: lookups may come while the process ends
    return *the;
}

// The current book (cache's mutex held): read again when the file changed.
const Book& current(Cache& c) {
    std::string path = names_path();
    files::Stamp stamp = files::stamp_of(path);
    if (path == c.path && stamp == c.stamp) return c.book;
    c.path = path;
    c.stamp = stamp;
    std::string text, why;
    if (!stamp.exists) {
        c.book = {};
    } else if (!files::read_bounded(path, kMaxFile, text, why)) {
        c.book = {};
        note(c.book, path, {}, why);
    } else {
        c.book = parse(path, text);
    }
    return c.book;
}

}  // namespace

std::string zivane_directory() {
    const char* home = ::getenv("HOME");
    std::string base = home && *home ? home : "";
    if (base.empty()) {
        passwd* entry = ::getpwuid(::getuid());
        base = entry && entry->pw_dir ? entry->pw_dir : ".";
    }
    return base + "/.zivane";
}

std::string names_path() { return zivane_directory() + "/names"; }

bool is_hash(std::string_view text) {
    if (text.size() != kHashDigits) return false;
    for (char c : text)
        if (!ascii::is_hex_digit(c)) return false;
    return true;
}

bool valid_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxName || is_hash(name)) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

Found lookup(std::string_view name, Binding& out, std::string& error) {
    Cache& c = cache();
    sync::MutexGuard held(c.mutex);
    const Book& book = current(c);
    if (auto found = book.names.find(name); found != book.names.end()) {
        out = found->second.binding;
        return Found::Bound;
    }
    if (auto broken = book.broken.find(name); broken != book.broken.end()) {
        error = cat({"the name '", name, "' cannot be used: ", broken->second});
        return Found::Broken;
    }
    error = cat({"no name '", name, "' in ", c.path});
    for (const std::string& problem : book.unnamed) error.append("; ").append(problem);
    return Found::Unknown;
}

std::vector<std::string> problems() {
    Cache& c = cache();
    sync::MutexGuard held(c.mutex);
    return current(c).problems;
}

bool bind(std::string_view name, const Binding& binding, std::string& error) {
    if (!valid_name(name) || !is_hash(binding.hash)) {
        error = cat({"'", name, "' is not a name (1-63 lower-case letters, digits, hyphens)"});
        return false;
    }
    // Proxies of the user bind names in processes of their own: the file is read and
    // replaced under a lock they share, taken before the book's mutex.
    if (!files::make_directory(zivane_directory(), error)) return false;
    files::Lock shared(zivane_directory() + "/names.lock");
    if (!shared.held()) {
        error = "cannot lock " + zivane_directory() + "/names.lock";
        return false;
    }
    Cache& c = cache();
    sync::MutexGuard held(c.mutex);
    std::string path = names_path(), text;
    if (files::stamp_of(path).exists && !files::read_bounded(path, kMaxFile, text, error)) return false;
    Book book = parse(path, text);
    if (auto found = book.names.find(name); found != book.names.end()) {
        error = cat({"'", name, "' is bound already, on ", path, ":", std::to_string(found->second.line)});
        return false;
    }
    if (book.broken.contains(name)) {
        error = book.broken.find(name)->second;
        return false;
    }
    if (!text.empty() && text.back() != '\n') text += '\n';
    text.append(name).append(" = ").append(binding.hash);
    if (binding.port) text.append(":").append(std::to_string(*binding.port));
    text += '\n';
    // A names file the user keeps elsewhere and links here is replaced where it is, and
    // stays linked.
    std::string replaced = files::resolved(path);
    return files::write_atomically(replaced, text, error);
}

}  // namespace zv::address_book
