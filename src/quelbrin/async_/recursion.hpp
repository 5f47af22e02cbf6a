// Levels of recursion that native code holds against the interpreter's
// limits, each left when the scope that entered it ends.
//
// The interpreter keeps two counters, and native code that stands for
// recursion uses the one that matches what it stands for:
//  - PythonLevels: nested Python calls (a loop that replaces a recursive
//    Python function), counted against sys.setrecursionlimit() as each
//    Python frame is, so a lowered limit stops the work with RecursionError
//    and a raised one lets it go deeper;
//  - NativeLevel: a native call that may lead straight back into itself
//    with no Python frame in between, counted as Py_EnterRecursiveCall()
//    counts C recursion, which guards the C stack.
//
// A daemon thread ended at exit unwinds through these guards while it
// holds neither the GIL nor its thread state: the destructor then leaves
// the counters alone (see the rules at the top of pyref.hpp).
#pragma once

#include "pyref.hpp"

#include <type_traits>

namespace quelbrin {

namespace recursion_detail {

struct PythonCounter {
    PyThreadState* tstate = PyThreadState_Get();
    bool enter(const char* /*where*/) noexcept { return version::EnterPythonLevel(tstate); }
    void leave() noexcept { version::LeavePythonLevel(tstate); }
};

struct NativeCounter {
    // `where` completes the RecursionError message: " while doing this".
    bool enter(const char* where) noexcept { return Py_EnterRecursiveCall(where) == 0; }
    void leave() noexcept { Py_LeaveRecursiveCall(); }
};

}  // namespace recursion_detail

// Levels held on `Counter`, as many as `Depth` counts: an int, or a bool for
// a guard that holds one level or none.
template <typename Counter, typename Depth = int>
class RecursionLevels {
public:
    RecursionLevels() = default;
    // Enters one level at once when `enter` says so: a guard that a hot
    // path takes or not.
    RecursionLevels(bool enter, const char* where) : depth_(enter) {
        if (enter && !counter_.enter(where)) {
            depth_ = Depth{};
            throw PyError{};
        }
    }
    ~RecursionLevels() noexcept(false) {
        if (depth_ && version::HoldsInterpreter()) {
            for (; depth_; depth_ = static_cast<Depth>(depth_ - 1)) {
                counter_.leave();
            }
        }
    }
    RecursionLevels(const RecursionLevels&) = delete;
    RecursionLevels& operator=(const RecursionLevels&) = delete;

    // One more level; RecursionError at the limit.
    void enter(const char* where = "")
        requires(!std::is_same_v<Depth, bool>)
    {
        if (!counter_.enter(where)) {
            throw PyError{};
        }
        ++depth_;
    }

private:
    [[no_unique_address]] Counter counter_;
    Depth depth_{};
};

using PythonLevels = RecursionLevels<recursion_detail::PythonCounter>;
using NativeLevel = RecursionLevels<recursion_detail::NativeCounter, bool>;
static_assert(!std::is_nothrow_destructible_v<PythonLevels> && !std::is_nothrow_destructible_v<NativeLevel>);

}  // namespace quelbrin
