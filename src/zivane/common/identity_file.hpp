// The identity file, one implementation for server and client.
//
// Loading keeps the order of calls of a plain implementation (os.path.exists, then
// RNS.Identity.from_file; RNS.Identity(), os.makedirs, then the save), looked up at call
// time, so stand-in Reticulum modules see the same sequence. What is added is about the
// file holding a private key:
// - a directory at the path is an error naming the path (it would otherwise yield a new
//   identity on every start);
// - the key is never written through a symbolic link: the file is created anew with
//   O_CREAT | O_EXCL | O_NOFOLLOW and mode 0600, and the key (`get_private_key()`, what
//   RNS's own `to_file` writes) goes through that descriptor. An identity without
//   `get_private_key` is saved with its `to_file` on the file so created;
// - a loaded identity readable by group or others gets a one-line warning on stderr.
#pragma once

#include "support/ref.hpp"

namespace zv::identity_file {

// The body of `_load_or_create_identity(self)`. `module` is the calling module (whose
// globals `os`, `sys` and `RNS` are used). With `caches` (the client), `self._identity` is
// returned when it is set, every identity obtained is stored there at once, and the
// result is read back from it.
PyObject* load_or_create(PyObject* module, PyObject* self, bool caches);

// The body of `_default_identity_path()`: os.path.join(os.path.expanduser("~"), ".zivane",
// "identity"), with the module's global `os` of this moment.
PyObject* default_path(PyObject* module);

}  // namespace zv::identity_file
