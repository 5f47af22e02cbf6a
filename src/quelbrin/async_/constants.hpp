// Names and constants that a module makes once per process, in its exec
// slot, and reads everywhere else: interned attribute names, keyword-name
// tuples, a few numbers.
//
// A module declares them in two places side by side: a struct of PyObject*
// fields (what the code reads, `names.acquire`) and a table that says what
// each field holds (`{&Names::acquire, String("acquire")}`).  The compiler
// checks that the table sets every field of the struct exactly once, so a
// field can be neither forgotten nor set twice, and MakeConstants() makes
// them all or none: a fresh struct is filled, and only a complete one is
// published, in one assignment.  An initialisation that failed part-way and
// is retried therefore never finds an entry unset.
#pragma once

#include "pyref.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>

namespace quelbrin {

// What one constant is: made by String(), Strings(), Integer() or Real()
// below.  Strings are interned, as the interpreter interns the identifiers
// of compiled code, so that comparing names by identity works as it does
// there.
class Constant {
public:
    // A new reference to the constant's object.
    Ref make() const {
        switch (kind_) {
            case Kind::kString:
                return New(PyUnicode_InternFromString(texts_[0]));
            case Kind::kStrings: {
                Ref tuple = New(PyTuple_New(static_cast<Py_ssize_t>(count_)));
                for (size_t i = 0; i < count_; ++i) {
                    PyTuple_SET_ITEM(tuple.get(), i, New(PyUnicode_InternFromString(texts_[i])).release());
                }
                return tuple;
            }
            case Kind::kInteger:
                return New(PyLong_FromLong(integer_));
            case Kind::kReal:
                return New(PyFloat_FromDouble(real_));
        }
        Raise(PyExc_SystemError, "unknown kind of constant");
    }

private:
    enum class Kind : unsigned char { kString, kStrings, kInteger, kReal };
    static constexpr size_t kMaxStrings = 5;

    consteval Constant(Kind kind, std::initializer_list<const char*> texts) : kind_(kind), count_(texts.size()) {
        if (texts.size() > kMaxStrings) {
            throw "a tuple constant holds at most kMaxStrings strings";
        }
        size_t i = 0;
        for (const char* text : texts) {
            if (text == nullptr) {
                throw "a string constant needs its text";
            }
            texts_[i++] = text;
        }
    }

    friend consteval Constant String(const char* text);
    friend consteval Constant Strings(std::initializer_list<const char*> texts);
    friend consteval Constant Integer(long value);
    friend consteval Constant Real(double value);

    Kind kind_;
    size_t count_;
    std::array<const char*, kMaxStrings> texts_{};
    long integer_ = 0;
    double real_ = 0;
};

consteval Constant String(const char* text) { return Constant(Constant::Kind::kString, {text}); }

// A tuple of strings, such as the keyword names of a vectorcall.
consteval Constant Strings(std::initializer_list<const char*> texts) {
    return Constant(Constant::Kind::kStrings, texts);
}

consteval Constant Integer(long value) {
    Constant constant(Constant::Kind::kInteger, {});
    constant.integer_ = value;
    return constant;
}

consteval Constant Real(double value) {
    Constant constant(Constant::Kind::kReal, {});
    constant.real_ = value;
    return constant;
}

// One row of a module's table: the field and what it holds.
template <typename Table>
struct ConstantEntry {
    PyObject* Table::*field;
    Constant value;
};

// Whether `entries` set every field of `Table`, a struct of PyObject*
// fields only, exactly once.
template <typename Table, size_t N>
consteval bool SetsEveryFieldOnce(const ConstantEntry<Table> (&entries)[N]) {
    if (sizeof(Table) != N * sizeof(PyObject*)) {
        return false;
    }
    for (size_t i = 0; i < N; ++i) {
        for (size_t j = i + 1; j < N; ++j) {
            if (entries[i].field == entries[j].field) {
                return false;
            }
        }
    }
    return true;
}

// Fills `table` from `kEntries` once per process, all or none.  The objects
// are kept for the life of the process (a list that is never freed holds
// them), so the fields may be read as borrowed references anywhere.
template <const auto& kEntries, typename Table>
void MakeConstants(Table& table) {
    static_assert(SetsEveryFieldOnce(kEntries), "the constants table must set every field of its struct once");
    if (table.*(kEntries[0].field) != nullptr) {
        return;  // made by an earlier import attempt that got further
    }
    Ref kept = New(PyList_New(0));
    Table fresh{};
    for (const ConstantEntry<Table>& entry : kEntries) {
        Ref value = entry.value.make();
        Require(PyList_Append(kept.get(), value.get()));
        fresh.*(entry.field) = value.get();
    }
    table = fresh;
    kept.release();
}

// An interned string for one use, such as a name looked up while the module
// body runs.
inline Ref Intern(const char* text) { return New(PyUnicode_InternFromString(text)); }

}  // namespace quelbrin
