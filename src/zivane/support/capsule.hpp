// C++ state owned by a Python object: a capsule holds its own heap copy of a `T` (a
// shared_ptr to the real state, usually) and deletes it when the capsule goes, with the
// GIL held. One `Capsule<T>` constant names each kind:
//
//     constexpr Capsule<StatePtr> kLinkState{"zivane.server.link_state"};
//     Ref capsule = kLinkState.wrap(state);          // empty, with an exception, on failure
//     StatePtr* held = kLinkState.get(capsule.get()); // NULL, with an exception, if not one
#pragma once

#include "support/ref.hpp"

#include <new>
#include <utility>

namespace zv {

template <class T>
class Capsule {
public:
    // `name` must outlive every capsule of this kind (a string literal).
    explicit constexpr Capsule(const char* name) noexcept : name_(name) {}

    Ref wrap(T value) const {
        T* held = new (std::nothrow) T(std::move(value));
        if (!held) {
            PyErr_NoMemory();
            return {};
        }
        Ref capsule = Ref::steal(PyCapsule_New(held, name_, destroy));
        if (!capsule) delete held;
        return capsule;
    }

    // The value inside `capsule`, borrowed for as long as the capsule lives.
    T* get(PyObject* capsule) const { return static_cast<T*>(PyCapsule_GetPointer(capsule, name_)); }

    const char* name() const noexcept { return name_; }

private:
    static void destroy(PyObject* capsule) {
        delete static_cast<T*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
    }

    const char* name_;
};

}  // namespace zv
