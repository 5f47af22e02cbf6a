// Reading a fork-context SimpleQueue as its own get() and empty() read it,
// without get()'s one hazard.
//
// A SimpleQueue is a pipe carrying one frame per entry: a 4-byte big-endian
// length (or -1 and an 8-byte length), then the pickle.  put() writes a
// frame under the queue's write lock; get() takes the read lock, reads until
// the whole frame is in, lets the lock go and unpickles it.  The parent
// holds the pipe's write end itself, so a child that dies in the middle of
// its frame leaves get() waiting for ever.  The reading here is get() with a
// hang guard: it waits for the rest of a frame that has begun to arrive only
// for a short patience at a time, and keeps what it has read, under the read
// lock, where the next reader of the queue -- this join() on its next pass,
// or another thread's -- goes on with it.  So a frame is only ever read by
// the holder of the read lock, in order, whole, as get() reads it.
//
// It stands in for get() only while everything get() and empty() would use
// is multiprocessing's own, as shipped: the queue's class and its `get` and
// `empty`, the reader connection, its methods and the module's `wait`, the
// instance's `_poll`, and the read lock and its `__enter__`/`__exit__` --
// checked each time a queue is read (Inspect()) -- and the frame format,
// checked once per process against the library's own reader on a pipe of
// its own (FrameFormatConfirmed()).  Any other queue, or one with any part
// replaced or patched, is read through its own empty() and get().
//
// This header is the only code of the extensions that knows multiprocessing's
// private names and its frame format.
#pragma once

#include "constants.hpp"
#include "pyref.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

namespace quelbrin::result_pipe {

// How long a reader waits for the next bytes of a frame that has begun to
// arrive, and for the read lock while another reader has it.  A living
// writer sends its frame without pause, except while the pipe is full, which
// reading empties.
inline constexpr double kFramePatience = 0.25;

// Interned names and constants (constants.hpp); the fields, in the order of
// the table below.
struct Names {
    PyObject *module_queues, *module_connection, *module_synchronize, *module_semaphores, *SimpleQueue, *Connection,
        *Lock, *SemLock, *ForkingPickler, *wait, *reader, *poll_method, *read_lock, *write_lock, *semlock, *handle,
        *readable, *get, *empty, *poll, *recv_bytes, *recv_bytes_framed, *recv, *check_closed, *check_readable,
        *dunder_enter, *dunder_exit, *acquire, *release, *is_mine, *get_value, *loads, *close, *co_qualname, *unread,
        *kwnames_writable;
};

inline constexpr ConstantEntry<Names> kNames[] = {
    {&Names::module_queues, String("multiprocessing.queues")},
    {&Names::module_connection, String("multiprocessing.connection")},
    {&Names::module_synchronize, String("multiprocessing.synchronize")},
    {&Names::module_semaphores, String("_multiprocessing")},
    {&Names::SimpleQueue, String("SimpleQueue")},
    {&Names::Connection, String("Connection")},
    {&Names::Lock, String("Lock")},
    {&Names::SemLock, String("SemLock")},
    {&Names::ForkingPickler, String("_ForkingPickler")},
    {&Names::wait, String("wait")},
    {&Names::reader, String("_reader")},
    {&Names::poll_method, String("_poll")},
    {&Names::read_lock, String("_rlock")},
    {&Names::write_lock, String("_wlock")},
    {&Names::semlock, String("_semlock")},
    {&Names::handle, String("_handle")},
    {&Names::readable, String("_readable")},
    {&Names::get, String("get")},
    {&Names::empty, String("empty")},
    {&Names::poll, String("poll")},
    {&Names::recv_bytes, String("recv_bytes")},
    {&Names::recv_bytes_framed, String("_recv_bytes")},
    {&Names::recv, String("_recv")},
    {&Names::check_closed, String("_check_closed")},
    {&Names::check_readable, String("_check_readable")},
    {&Names::dunder_enter, String("__enter__")},
    {&Names::dunder_exit, String("__exit__")},
    {&Names::acquire, String("acquire")},
    {&Names::release, String("release")},
    {&Names::is_mine, String("_is_mine")},
    {&Names::get_value, String("_get_value")},
    {&Names::loads, String("loads")},
    {&Names::close, String("close")},
    {&Names::co_qualname, String("co_qualname")},
    {&Names::unread, String("_unread")},
    {&Names::kwnames_writable, Strings({"writable"})},
};

// Interned strings and a tuple of them: the same in every extension that
// might share them through the dynamic linker.
inline Names names{};

// Made once, in the exec slot of the module that reads queues.
inline void MakeNames() { MakeConstants<kNames>(names); }

// ---------------------------------------------------------------------------
// What multiprocessing ships, recognised.

// A module that has been imported, without importing it: empty if it is
// not, or if what sys.modules holds under the name is no module.
inline Ref LoadedModule(PyObject* name) {
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (!module && PyErr_Occurred()) {
        throw PyError{};
    }
    return module && PyModule_Check(module.get()) ? module : Ref();
}

// Whether `function` is the plain function that `module`'s source defines
// under `qualname`: a Python function of that module's namespace whose code
// carries that name.  A patch, a wrapper or a function of another module is
// not, whatever its __name__ says.
inline bool IsFunctionOf(PyObject* function, PyObject* module, const char* qualname) {
    if (function == nullptr || !PyFunction_Check(function) ||
        PyFunction_GET_GLOBALS(function) != PyModule_GetDict(module)) {
        return false;
    }
    Ref code_qualname = GetOptionalAttr(PyFunction_GET_CODE(function), names.co_qualname);
    return code_qualname && PyUnicode_Check(code_qualname.get()) &&
           PyUnicode_CompareWithASCIIString(code_qualname.get(), qualname) == 0;
}

// Whether `obj.name` is that function bound to `obj`, as an ordinary method
// lookup finds it when neither the instance nor anything else interferes.
inline bool IsLibraryMethod(PyObject* obj, PyObject* name, PyObject* module, const char* qualname) {
    Ref bound = GetOptionalAttr(obj, name);
    return bound && PyMethod_Check(bound.get()) && PyMethod_GET_SELF(bound.get()) == obj &&
           IsFunctionOf(PyMethod_GET_FUNCTION(bound.get()), module, qualname);
}

// Whether the special method `name` that a `with` statement finds on `type`
// is that function.
inline bool IsLibrarySpecial(PyTypeObject* type, PyObject* name, PyObject* module, const char* qualname) {
    Ref found = Ref::new_reference(_PyType_Lookup(type, name));
    return IsFunctionOf(found.get(), module, qualname);
}

inline bool IsExactly(PyObject* obj, PyObject* type) {
    return type != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type;
}

// ---------------------------------------------------------------------------
// The frame format, confirmed against the library's own reader.

namespace format_detail {

enum class Verdict { kUnknown, kConfirmed, kRefuted };

// Found once per process; kUnknown until then, and after a probe that could
// not be made (no descriptor left, say), which the next read tries again.
inline Verdict verdict = Verdict::kUnknown;

inline constexpr std::string_view kEndOfFileInFrame = "got end of file during message";

// The descriptor until a connection owns it.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int release() noexcept { return std::exchange(fd_, -1); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

private:
    int fd_;
};

// What a connection of the library's own makes of `wire`: each message its
// recv_bytes() returns, then the error that ends the pipe as (type, args), in
// a list.  Empty when the pipe could not be made.
inline Ref ReadWithLibrary(PyObject* connection_class, std::string_view wire) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    Descriptor read_end(fds[0]);
    Descriptor write_end(fds[1]);
    // A probe is far smaller than a pipe holds: written whole, then the write
    // end closed, so that the reader meets the end of the pipe and never waits.
    if (write(fds[1], wire.data(), wire.size()) != static_cast<ssize_t>(wire.size())) {
        return {};
    }
    close(write_end.release());
    Ref handle = New(PyLong_FromLong(fds[0]));
    PyObject* args[] = {handle.get(), Py_False};
    Ref reader = New(PyObject_Vectorcall(connection_class, args, 1, names.kwnames_writable));
    read_end.release();  // the connection closes it
    Ref seen = New(PyList_New(0));
    for (int k = 0; k < 8; ++k) {
        Ref message = Ref::steal(PyObject_CallMethodNoArgs(reader.get(), names.recv_bytes));
        if (message) {
            Require(PyList_Append(seen.get(), message.get()));
            continue;
        }
        // An error that says nothing of the format is raised, not judged.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
            throw PyError{};
        }
        RaisedException raised;
        Ref error_args = New(PyObject_GetAttrString(raised.get(), "args"));
        Ref ending = New(PyTuple_Pack(2, Py_TYPE(raised.get()), error_args.get()));
        Require(PyList_Append(seen.get(), ending.get()));
        break;
    }
    Ref closed = New(PyObject_CallMethodNoArgs(reader.get(), names.close));
    return seen;
}

// One probe: bytes on the wire, and what get() must make of them.
inline bool ReadsAs(PyObject* connection_class, std::string_view wire, PyObject* expected) {
    Ref seen = ReadWithLibrary(connection_class, wire);
    if (!seen) {
        return false;
    }
    if (!Require(PyObject_RichCompareBool(seen.get(), expected, Py_EQ))) {
        verdict = Verdict::kRefuted;
        return false;
    }
    return true;
}

}  // namespace format_detail

// Whether the library's reader parses frames as Frame below does: a short
// and a long length, a negative length read as an empty message, and which
// end of the pipe is an EOFError and which an OSError.
inline bool FrameFormatConfirmed(PyObject* connection_class) {
    using format_detail::Verdict;
    using format_detail::verdict;
    if (verdict != Verdict::kUnknown) {
        return verdict == Verdict::kConfirmed;
    }
    using namespace std::string_view_literals;
    Ref eof = New(Py_BuildValue("(O())", PyExc_EOFError));
    Ref eof_in_frame = New(Py_BuildValue("(O(s#))", PyExc_OSError, format_detail::kEndOfFileInFrame.data(),
                                         static_cast<Py_ssize_t>(format_detail::kEndOfFileInFrame.size())));
    Ref three_messages = New(Py_BuildValue("[y#y#y#O]", "hello", Py_ssize_t{5}, "world", Py_ssize_t{5}, "",
                                           Py_ssize_t{0}, eof.get()));
    Ref cut_payload = New(Py_BuildValue("[O]", eof_in_frame.get()));
    Ref cut_length = New(Py_BuildValue("[O]", eof_in_frame.get()));
    Ref no_payload = New(Py_BuildValue("[O]", eof.get()));
    const bool confirmed =
        format_detail::ReadsAs(connection_class,
                               "\x00\x00\x00\x05hello"
                               "\xff\xff\xff\xff\x00\x00\x00\x00\x00\x00\x00\x05world"
                               "\xff\xff\xff\xfe"sv,
                               three_messages.get()) &&
        format_detail::ReadsAs(connection_class, "\x00\x00\x00\x05he"sv, cut_payload.get()) &&
        format_detail::ReadsAs(connection_class, "\x00\x00"sv, cut_length.get()) &&
        format_detail::ReadsAs(connection_class, "\x00\x00\x00\x05"sv, no_payload.get());
    if (confirmed) {
        verdict = Verdict::kConfirmed;
    }
    return confirmed;
}

// ---------------------------------------------------------------------------
// A genuine queue.

// What get() and empty() of a genuine queue use: the pipe's read end and the
// semaphore of the read lock.
struct QueueParts {
    Ref reader;
    Ref read_semaphore;
    int fd = -1;
    explicit operator bool() const noexcept { return fd >= 0; }
};
static_assert(!std::is_nothrow_destructible_v<QueueParts>);

// The descriptor of an open, readable connection, or -1.
inline int ReadableDescriptor(PyObject* reader) {
    Ref handle = GetOptionalAttr(reader, names.handle);
    Ref readable = GetOptionalAttr(reader, names.readable);
    if (!handle || !PyLong_CheckExact(handle.get()) || readable.get() != Py_True) {
        return -1;  // closed or write-only: its own methods say so
    }
    const long fd = PyLong_AsLong(handle.get());
    if (fd < 0 || fd > INT32_MAX) {
        PyErr_Clear();
        return -1;
    }
    return static_cast<int>(fd);
}

// The parts of `queue` if it is a SimpleQueue that multiprocessing made and
// nobody has changed, with everything its get() and empty() use the
// library's own; otherwise none, and the queue is read through its methods.
inline QueueParts Inspect(PyObject* queue) {
    Ref queues = LoadedModule(names.module_queues);
    Ref connection = LoadedModule(names.module_connection);
    Ref synchronize = LoadedModule(names.module_synchronize);
    Ref semaphores = LoadedModule(names.module_semaphores);
    if (!queues || !connection || !synchronize || !semaphores) {
        return {};
    }
    Ref queue_class = GetOptionalAttr(queues.get(), names.SimpleQueue);
    if (!IsExactly(queue, queue_class.get()) ||
        !IsLibraryMethod(queue, names.get, queues.get(), "SimpleQueue.get") ||
        !IsLibraryMethod(queue, names.empty, queues.get(), "SimpleQueue.empty")) {
        return {};
    }

    // get(): `with self._rlock: res = self._reader.recv_bytes()`;
    // empty(): `return not self._poll()`, the reader's own poll.
    Ref connection_class = GetOptionalAttr(connection.get(), names.Connection);
    Ref reader = GetOptionalAttr(queue, names.reader);
    if (!reader || !IsExactly(reader.get(), connection_class.get())) {
        return {};
    }
    const struct {
        PyObject* name;
        const char* qualname;
    } reader_methods[] = {
        {names.recv_bytes, "_ConnectionBase.recv_bytes"},
        {names.check_closed, "_ConnectionBase._check_closed"},
        {names.check_readable, "_ConnectionBase._check_readable"},
        {names.recv_bytes_framed, "Connection._recv_bytes"},
        {names.recv, "Connection._recv"},
        {names.poll, "_ConnectionBase.poll"},
        {names.poll_method, "Connection._poll"},
    };
    for (const auto& method : reader_methods) {
        if (!IsLibraryMethod(reader.get(), method.name, connection.get(), method.qualname)) {
            return {};
        }
    }
    Ref wait = GetOptionalAttr(connection.get(), names.wait);
    Ref poll = GetOptionalAttr(queue, names.poll_method);
    Ref reader_poll = GetOptionalAttr(reader.get(), names.poll);
    if (!IsFunctionOf(wait.get(), connection.get(), "wait") || !poll || !PyMethod_Check(poll.get()) ||
        PyMethod_GET_SELF(poll.get()) != reader.get() || !reader_poll || !PyMethod_Check(reader_poll.get()) ||
        PyMethod_GET_FUNCTION(poll.get()) != PyMethod_GET_FUNCTION(reader_poll.get())) {
        return {};
    }

    Ref lock_class = GetOptionalAttr(synchronize.get(), names.Lock);
    Ref semaphore_class = GetOptionalAttr(semaphores.get(), names.SemLock);
    Ref read_lock = GetOptionalAttr(queue, names.read_lock);
    if (!read_lock || !IsExactly(read_lock.get(), lock_class.get()) ||
        !IsLibrarySpecial(Py_TYPE(read_lock.get()), names.dunder_enter, synchronize.get(), "SemLock.__enter__") ||
        !IsLibrarySpecial(Py_TYPE(read_lock.get()), names.dunder_exit, synchronize.get(), "SemLock.__exit__")) {
        return {};
    }
    Ref read_semaphore = GetOptionalAttr(read_lock.get(), names.semlock);
    if (!read_semaphore || !IsExactly(read_semaphore.get(), semaphore_class.get())) {
        return {};
    }

    const int fd = ReadableDescriptor(reader.get());
    if (fd < 0 || !FrameFormatConfirmed(connection_class.get())) {
        return {};
    }
    return {std::move(reader), std::move(read_semaphore), fd};
}

// Whether the write lock of `queue`, if it is multiprocessing's own, is held
// now (its semaphore at zero); false when that cannot be told (an error of
// the Exception family on the way).
inline bool WriteLockHeld(PyObject* queue) {
    try {
        Ref synchronize = LoadedModule(names.module_synchronize);
        Ref semaphores = LoadedModule(names.module_semaphores);
        if (!synchronize || !semaphores) {
            return false;
        }
        Ref lock_class = GetOptionalAttr(synchronize.get(), names.Lock);
        Ref semaphore_class = GetOptionalAttr(semaphores.get(), names.SemLock);
        Ref lock = GetOptionalAttr(queue, names.write_lock);
        if (!lock || !IsExactly(lock.get(), lock_class.get())) {
            return false;
        }
        Ref semaphore = GetOptionalAttr(lock.get(), names.semlock);
        if (!semaphore || !IsExactly(semaphore.get(), semaphore_class.get())) {
            return false;
        }
        Ref value = New(PyObject_CallMethodNoArgs(semaphore.get(), names.get_value));
        return PyLong_CheckExact(value.get()) && PyLong_AsLong(value.get()) == 0;
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;  // Ctrl-C or SystemExit on the way: join() ends with it
        }
        ErrorHandled();
        return false;
    }
}

// Whether process `pid` is stopped (SIGSTOP, a debugger, a cgroup freezer):
// state T or t in /proc/<pid>/stat.  A stopped process is alive, and goes on
// where it stopped once it is continued.
inline bool ProcessStopped(long pid) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char stat[1024];
    const ssize_t count = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (count <= 0) {
        return false;
    }
    stat[count] = '\0';
    // "pid (command) state ...", where the command may hold anything.
    const char* command_end = std::strrchr(stat, ')');
    if (command_end == nullptr || command_end[1] != ' ') {
        return false;
    }
    return command_end[2] == 'T' || command_end[2] == 't';
}

// ---------------------------------------------------------------------------
// Pipe reading.

inline constexpr ssize_t kEndOfFile = -1;

// Reads up to `size` bytes as soon as the pipe has any, waiting at most
// `seconds`: the count read, 0 when nothing came in time, kEndOfFile at the
// end of the pipe (every write end closed).  A signal meanwhile is handled
// as in any blocking call of the interpreter.
inline ssize_t ReadWhenReady(int fd, void* into, size_t size, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const double left =
            std::chrono::duration<double, std::milli>(until - std::chrono::steady_clock::now()).count();
        const int milliseconds = left > 0 ? static_cast<int>(left) + 1 : 0;
        int ready;
        ssize_t count = 0;
        int error = 0;
        Py_BEGIN_ALLOW_THREADS
        struct pollfd watch = {fd, POLLIN, 0};
        ready = poll(&watch, 1, milliseconds);
        if (ready > 0) {
            count = read(fd, into, size);
        }
        error = errno;
        Py_END_ALLOW_THREADS
        if (ready == 0) {
            return 0;
        }
        if (ready > 0 && count >= 0) {
            return count > 0 ? count : kEndOfFile;
        }
        if (ready > 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            return 0;  // someone made the descriptor non-blocking, and another reader was first
        }
        if (error != EINTR) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            throw PyError{};
        }
        Require(PyErr_CheckSignals());
    }
}

// A frame of one queue's pipe, as far as it has been read.  Until it is
// whole it lives in a capsule in the keeper's `_unread` (see QueueReader),
// so that whichever reader holds the read lock next goes on with it.
struct Frame {
    unsigned char header[12] = {};
    size_t header_read = 0;
    PyObject* payload = nullptr;  // owned: a bytes object of the payload's size, filled in place, seen by no one
    size_t payload_read = 0;

    uint64_t BigEndian(size_t at, size_t length) const noexcept {
        uint64_t value = 0;
        for (size_t i = 0; i < length; ++i) {
            value = value << 8 | header[at + i];
        }
        return value;
    }
    // The length word, then, when it is -1, an 8-byte length.
    bool LongLength() const noexcept {
        return header_read >= 4 && static_cast<int32_t>(static_cast<uint32_t>(BigEndian(0, 4))) == -1;
    }
    size_t HeaderSize() const noexcept { return LongLength() ? 12 : 4; }
    bool HeaderWhole() const noexcept { return header_read == HeaderSize(); }
    // A negative length other than -1 is read as an empty message, as the
    // library's reader reads it.
    uint64_t PayloadSize() const noexcept {
        if (LongLength()) {
            return BigEndian(4, 8);
        }
        const auto length = static_cast<int32_t>(static_cast<uint32_t>(BigEndian(0, 4)));
        return length < 0 ? 0 : static_cast<uint64_t>(length);
    }
    bool Whole() const noexcept { return HeaderWhole() && payload != nullptr && payload_read == PayloadSize(); }

    // Where the next bytes go, and how many the part being read lacks.
    std::pair<char*, size_t> NextPart() noexcept {
        if (!HeaderWhole()) {
            return {reinterpret_cast<char*>(header) + header_read, HeaderSize() - header_read};
        }
        return {PyBytes_AS_STRING(payload) + payload_read, static_cast<size_t>(PayloadSize()) - payload_read};
    }
    void Advance(size_t count) noexcept {
        if (!HeaderWhole()) {
            header_read += count;
        } else {
            payload_read += count;
        }
    }
    // Whether the part being read (the length word, the long length or the
    // payload) has begun: the library's reader calls the end of the pipe
    // there an end of file inside a message, and elsewhere a clean EOFError.
    bool PartBegun() const noexcept {
        if (header_read < 4) {
            return header_read > 0;
        }
        if (!HeaderWhole()) {
            return header_read > 4;
        }
        return payload_read > 0;
    }

    // Makes the payload once the header is in, as large as the header says:
    // the frame is read straight into the object it is unpickled from.
    void MakePayload() {
        const uint64_t size = PayloadSize();
        if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
            Raise(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
        }
        payload = Require(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    }
};

inline constexpr const char kFrameCapsule[] = "quelbrin.async_.result_pipe.frame";

inline void DestroyFrame(PyObject* capsule) noexcept {
    auto* frame = static_cast<Frame*>(PyCapsule_GetPointer(capsule, kFrameCapsule));
    if (frame != nullptr) {
        Py_XDECREF(frame->payload);  // a bytes object: freeing it runs no Python code
        delete frame;
    }
}

inline Frame* FrameIn(PyObject* capsule) noexcept {
    return static_cast<Frame*>(PyCapsule_GetPointer(capsule, kFrameCapsule));
}

inline Ref NewFrame(const void* first_bytes, size_t count) {
    auto* frame = new (std::nothrow) Frame;
    if (frame == nullptr) {
        PyErr_NoMemory();
        throw PyError{};
    }
    std::memcpy(frame->header, first_bytes, count);
    frame->header_read = count;
    PyObject* capsule = PyCapsule_New(frame, kFrameCapsule, DestroyFrame);
    if (capsule == nullptr) {
        delete frame;
        throw PyError{};
    }
    return Ref::steal(capsule);
}

// ---------------------------------------------------------------------------
// The read lock.

// The semaphore of a queue's read lock, held as `with queue._rlock:` holds
// it.  It is waited for a short while, or, as get() waits, until it comes;
// either way a thread that would wait for itself does not wait.
class ReadLock {
public:
    enum class Wait { kBrief, kAsGet };

    ReadLock(PyObject* semaphore, Wait wait) : semaphore_(Ref::new_reference(semaphore)) {
        Ref patience = New(PyFloat_FromDouble(kFramePatience));
        PyObject* args[] = {semaphore, Py_True, patience.get()};
        for (;;) {
            Ref acquired = New(PyObject_VectorcallMethod(names.acquire, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                         nullptr));
            if (Truth(acquired.get())) {
                held_ = true;
                return;
            }
            // This thread holds it already: a reader re-entered from a
            // finaliser or an unpickled object; waiting would be for ever.
            if (wait == Wait::kBrief || Truth(New(PyObject_CallMethodNoArgs(semaphore, names.is_mine)).get())) {
                return;
            }
            Require(PyErr_CheckSignals());
        }
    }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

    bool held() const noexcept { return held_; }

    void release() {
        if (held_) {
            held_ = false;
            New(PyObject_CallMethodNoArgs(semaphore_.get(), names.release));
        }
    }

    // Reached with the lock still held only when an error leaves the reading
    // (or the thread is being ended at exit, when nothing may be touched).
    // The lock is let go without letting a failure of that replace the error.
    ~ReadLock() noexcept(false) {
        if (!held_ || !version::HoldsInterpreter()) {
            return;
        }
        PyObject* raised = PyErr_GetRaisedException();
        PyObject* released = PyObject_CallMethodNoArgs(semaphore_.get(), names.release);
        if (released != nullptr) {
            Py_DECREF(released);  // None
        }
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
    }

private:
    Ref semaphore_;
    bool held_ = false;
};
static_assert(!std::is_nothrow_destructible_v<ReadLock>);

// ---------------------------------------------------------------------------
// One join()'s reading of its queue.

// What one join() reads off its Pcall's result queue, as
//     while not queue.empty(): entries.append(queue.get())
// reads it, the queue read afresh before each use, and what it sees of the
// queue's writers meanwhile.  Frames that have begun to arrive are kept in
// the keeper (the Pcall) under `_unread`, a list of (queue, frame) pairs,
// touched only while the queue's read lock is held.
class QueueReader {
public:
    using Wait = ReadLock::Wait;

    explicit QueueReader(PyObject* keeper) noexcept : keeper_(keeper) {}
    QueueReader(const QueueReader&) = delete;
    QueueReader& operator=(const QueueReader&) = delete;

    // Appends every entry that can be taken now to `entries`.  `read_queue()`
    // gives the queue afresh.  With Wait::kAsGet the read lock is waited for
    // as get() waits for it: a reader that has it is about to add an entry.
    template <typename ReadQueue>
    void Drain(ReadQueue&& read_queue, PyObject* entries, Wait wait) {
        for (;;) {
            Ref queue = read_queue();
            if (QueueParts parts = Inspect(queue.get())) {
                watched_ = queue;
                if (!EntryWaiting(queue.get(), parts, wait)) {
                    return;
                }
            } else {
                watched_ = Ref();
                if (Truth(CallMethod(queue.get(), names.empty).get())) {
                    return;
                }
            }
            queue = read_queue();
            if (QueueParts parts = Inspect(queue.get())) {
                TakeEntry(queue.get(), parts, wait, entries);
            } else {
                Ref entry = CallMethod(queue.get(), names.get);
                Require(PyList_Append(entries, entry.get()));
            }
        }
    }

    // How long the write lock of the queue read last has been held with no
    // byte of it arriving and no other reader at the pipe: 0 while writers
    // are seen to get on, or for a queue read through its own methods.
    // Each call ends one observation.
    double WritersStalledFor() {
        const bool stalled = watched_ && !progress_ && WriteLockHeld(watched_.get());
        progress_ = false;
        if (!stalled) {
            stalled_since_ = std::chrono::steady_clock::now();
            return 0;
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - stalled_since_).count();
    }

    // The writers are known to be alive (a stopped child holds the lock):
    // the stall counts afresh.
    void WritersAlive() { stalled_since_ = std::chrono::steady_clock::now(); }

private:
    enum class Read { kNothing, kPart, kWhole, kEnd };

    // `not queue.empty()`: whether an entry can be taken, or the end of the
    // pipe has come, which get() raises.  A frame that has begun is read as
    // far as it comes, and counts once it is whole.
    bool EntryWaiting(PyObject* queue, const QueueParts& parts, Wait wait) {
        ReadLock lock(parts.read_semaphore.get(), wait);
        if (!lock.held()) {
            progress_ = true;  // another reader is at the pipe
            return false;
        }
        if (ReadableDescriptor(parts.reader.get()) != parts.fd) {
            lock.release();
            return !Truth(CallMethod(queue, names.empty).get());
        }
        Ref kept;
        const Read read = ReadFrame(queue, parts.fd, kept);
        lock.release();
        return read == Read::kWhole || read == Read::kEnd;
    }

    // `entries.append(queue.get())`, unless the entry is not there after all
    // (another reader took it, or its frame stopped short): nothing then.
    // The entry is unpickled and added before the read lock is let go, so a
    // reader that has waited for the lock sees every entry read before it.
    void TakeEntry(PyObject* queue, const QueueParts& parts, Wait wait, PyObject* entries) {
        ReadLock lock(parts.read_semaphore.get(), wait);
        if (!lock.held()) {
            progress_ = true;
            return;
        }
        if (ReadableDescriptor(parts.reader.get()) != parts.fd) {
            lock.release();
            Ref entry = CallMethod(queue, names.get);
            Require(PyList_Append(entries, entry.get()));
            return;
        }
        Ref kept;
        const Read read = ReadFrame(queue, parts.fd, kept);
        if (read == Read::kNothing || read == Read::kPart) {
            lock.release();
            return;
        }
        if (read == Read::kEnd) {
            const bool in_frame = kept && FrameIn(kept.get())->PartBegun();
            Forget(queue);  // what the frame had is gone, as with get()
            if (in_frame) {
                Raise(PyExc_OSError, format_detail::kEndOfFileInFrame.data());
            }
            PyErr_SetNone(PyExc_EOFError);
            throw PyError{};
        }
        // Used up even if it cannot be unpickled, as with get().
        Ref payload = Ref::steal(std::exchange(FrameIn(kept.get())->payload, nullptr));
        Forget(queue);
        Ref queues = LoadedModule(names.module_queues);
        if (!queues) {
            Raise(PyExc_RuntimeError, "multiprocessing.queues is no longer loaded");
        }
        Ref pickler = GetAttr(queues.get(), names.ForkingPickler);
        Ref entry = CallMethod(pickler.get(), names.loads, payload.get());
        Require(PyList_Append(entries, entry.get()));
        lock.release();
    }

    // Reads the queue's next frame, or goes on with the one kept for it, as
    // far as the pipe has it; a frame that has begun is waited for up to the
    // frame patience at a time.  `kept` receives the frame's capsule (empty
    // when nothing was there).  The read lock is held.
    Read ReadFrame(PyObject* queue, int fd, Ref& kept) {
        kept = Kept(queue);
        if (!kept) {
            unsigned char first[4];
            const ssize_t count = ReadWhenReady(fd, first, sizeof first, 0);
            if (count == 0) {
                return Read::kNothing;
            }
            if (count == kEndOfFile) {
                return Read::kEnd;
            }
            kept = NewFrame(first, static_cast<size_t>(count));
            Keep(queue, kept.get());
            progress_ = true;
        }
        Frame& frame = *FrameIn(kept.get());
        for (;;) {
            if (frame.HeaderWhole() && frame.payload == nullptr) {
                frame.MakePayload();
            }
            if (frame.Whole()) {
                return Read::kWhole;
            }
            Require(PyErr_CheckSignals());
            auto [into, missing] = frame.NextPart();
            const ssize_t count = ReadWhenReady(fd, into, missing, kFramePatience);
            if (count == 0) {
                return Read::kPart;
            }
            if (count == kEndOfFile) {
                return Read::kEnd;
            }
            frame.Advance(static_cast<size_t>(count));
            progress_ = true;
        }
    }

    // --- Frames kept in the keeper's `_unread`, under the read lock.

    // The keeper's `_unread` list, made when `create`; empty Ref when there
    // is none (or what is there is not a list, which is then replaced).
    Ref Unread(bool create) {
        Ref own = New(PyObject_GenericGetDict(keeper_, nullptr));
        PyObject* unread = PyDict_GetItemWithError(own.get(), names.unread);
        if (unread == nullptr && PyErr_Occurred()) {
            throw PyError{};
        }
        if (unread != nullptr && PyList_CheckExact(unread)) {
            return Ref::new_reference(unread);
        }
        if (!create) {
            return {};
        }
        Ref fresh = New(PyList_New(0));
        Require(PyDict_SetItem(own.get(), names.unread, fresh.get()));
        return fresh;
    }

    // Position of `queue`'s pair in `unread`, or -1.
    static Py_ssize_t PositionIn(PyObject* unread, PyObject* queue) {
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(unread); ++k) {
            PyObject* pair = PyList_GET_ITEM(unread, k);
            if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2 && PyTuple_GET_ITEM(pair, 0) == queue &&
                FrameIn(PyTuple_GET_ITEM(pair, 1)) != nullptr) {
                return k;
            }
            PyErr_Clear();  // not a capsule of ours
        }
        return -1;
    }

    Ref Kept(PyObject* queue) {
        Ref unread = Unread(false);
        const Py_ssize_t at = unread ? PositionIn(unread.get(), queue) : -1;
        return at < 0 ? Ref() : Ref::new_reference(PyTuple_GET_ITEM(PyList_GET_ITEM(unread.get(), at), 1));
    }

    void Keep(PyObject* queue, PyObject* capsule) {
        Ref unread = Unread(true);
        Ref pair = New(PyTuple_Pack(2, queue, capsule));
        Require(PyList_Append(unread.get(), pair.get()));
    }

    void Forget(PyObject* queue) {
        Ref unread = Unread(false);
        const Py_ssize_t at = unread ? PositionIn(unread.get(), queue) : -1;
        if (at < 0) {
            return;
        }
        Require(PyList_SetSlice(unread.get(), at, at + 1, nullptr));
        if (PyList_GET_SIZE(unread.get()) == 0) {
            Ref own = New(PyObject_GenericGetDict(keeper_, nullptr));
            if (PyDict_DelItem(own.get(), names.unread) < 0) {
                PyErr_Clear();  // already gone
            }
        }
    }

    PyObject* keeper_;  // borrowed: the join() that made this reader holds it
    Ref watched_;       // the queue read last, when it was read here
    bool progress_ = false;
    std::chrono::steady_clock::time_point stalled_since_ = std::chrono::steady_clock::now();
};
static_assert(!std::is_nothrow_destructible_v<QueueReader>);

}  // namespace quelbrin::result_pipe
