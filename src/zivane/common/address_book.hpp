// The user's address book: names of their own choosing for Reticulum destinations, in a
// plain text file `<zivane directory>/names` (normally ~/.zivane/names):
//
//   # comments and blank lines are ignored
//   library = 0123456789abcdef0123456789abcdef
//   wiki    = 0123456789abcdef0123456789abcdef:8080
//
// A name is 1 to 63 lower-case letters, digits and hyphens, and never 32 hexadecimal
// digits: a name can never be taken for a destination hash. `http://library.rns/` then
// reaches the destination bound to it. Names are written by the user (or by the proxy's
// page on the user's request), never taken from anything heard on the network.
//
// The file is read again when its modification time or size changes, not per lookup.
// A line that does not parse, or a name bound twice, makes the name it concerns (or, when
// no name can be read from it, every name not found) an error that names the file and
// the line. Lookups run no Python code: callable with or without the GIL.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv::address_book {

inline constexpr std::size_t kMaxName = 63;

// The zivane directory: the directory of the default identity file ($HOME/.zivane).
std::string zivane_directory();
// The names file in it.
std::string names_path();

// Whether `name` may be bound: 1-63 of [a-z0-9-], not 32 hexadecimal digits.
bool valid_name(std::string_view name);
// Whether `text` is a destination hash: 32 hexadecimal digits (either case).
bool is_hash(std::string_view text);

struct Binding {
    std::string hash;         // 32 lower-case hexadecimal digits
    std::optional<int> port;  // none: the URL's or the command's own
};

// Looks `name` up (lower case expected). Unless Bound, `error` says why: no such name
// (with the lines of the file that could not be read, if any), or the file says something
// wrong about it (naming the file and the line).
enum class Found { Bound, Unknown, Broken };
Found lookup(std::string_view name, Binding& out, std::string& error);

// The problems of the names file as it is now, one line of text each ("<path>:<line>: why"),
// for a warning when a command starts.
std::vector<std::string> problems();

// Adds `name = hash[:port]` to the file (made, with its directory, when missing), by
// writing a new file and renaming it over the old one. False with `error` set when the
// name is not valid, is bound already, or the file cannot be written. Waits for other
// processes binding names (names.lock beside the file): call without the GIL.
bool bind(std::string_view name, const Binding& binding, std::string& error);

}  // namespace zv::address_book
