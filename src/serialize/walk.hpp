// One conversion of a value into MessagePack by the rules of the Python serialiser's careful walk
// (`_Walk` in vesk/serialize.py): the same limits, markers, redaction, cycle and key handling, taken
// in the same order, so that both write the same bytes for every value. Where a rule depends on
// something only Python decides exactly (a type's plan, a standard-library repr, an unusual type
// name), the walk asks the Python serialiser for that piece; where it cannot go on at all (an error
// it does not expect), it gives up and the caller hands the whole record to the Python serialiser.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "serialize/caches.hpp"
#include "serialize/inline_attributes.hpp"
#include "serialize/output.hpp"
#include "serialize/record_texts.hpp"
#include "serialize/settings.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::serialize {

// The deepest `max_depth` the walk takes on; deeper settings leave every value to the Python
// serialiser, whose recursion limits then decide what a deep value becomes.
inline constexpr Py_ssize_t MAX_NATIVE_DEPTH = 100;

enum class Outcome : uint8_t {
    written,           // the value's bytes are in the output
    unencodable_text,  // a str holds a lone surrogate: walk again with safe text, as Python does
    give_up,           // hand the whole record to the Python serialiser
    interrupted,       // a KeyboardInterrupt or SystemExit from a repr: it belongs to the program
};

// How a type's instances are shown: the first item of its plan (vesk.serialize._plan), numbered as
// there.
enum class Kind : uint8_t {
    identity = 0,
    by_dict = 1,
    as_tuple = 2,
    by_value = 3,
    by_fields = 4,
    named_tuple = 5,
    enumeration = 6,
    interpreter_repr = 7,
    class_repr = 8,
    own_repr = 9,
};

// What the walks of one record's values share. `environment` is the settings' process environment,
// held by the caller for the whole record (a repr may configure new settings meanwhile).
struct RecordContext {
    const Settings& settings;
    Caches& caches;
    RecordTexts& texts;
    PyObject* environment;
};

// The objects a walk has shown by their fields, by address, each held so that its address stays its
// own while the walk lasts (a repr the settings opt into may free one). Open addressing in one
// array: a value holds a few dozen such objects, and a node-based set would allocate for each.
class ShownObjects {
public:
    [[nodiscard]] bool contains(PyObject* object) const noexcept;
    // May throw std::bad_alloc.
    void add(PyObject* object);

private:
    [[nodiscard]] size_t slot_of(PyObject* object) const noexcept;
    void grow();

    std::vector<utils::PyRef> slots_;  // a power of two in size, or empty; unset slots are null
    size_t count_ = 0;
};

class Walk {
public:
    // `settings.limits.max_depth` is at most MAX_NATIVE_DEPTH and no limit is negative.
    Walk(const RecordContext& record, bool light, bool safe_text, Output& out) noexcept;
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // CAUTION: runs Python code: the Python serialiser's plans and the reprs it shows (and through
    // them the reprs the settings opt into), unusual type names. May throw std::bad_alloc
    // (snapshots of very large containers).
    [[nodiscard]] Outcome value(PyObject* value, Py_ssize_t depth);
    // The same as `value` of a dict holding the pairs (names[i], values[i]) whose value is set, in
    // that order, without the dict. Gives up where a marker would name the dict.
    [[nodiscard]] Outcome named_values(PyObject* const* names, PyObject* const* values, Py_ssize_t count);

    // The Python error the walk gave up on or was interrupted by, if any.
    [[nodiscard]] std::optional<utils::PyError> take_error() noexcept { return std::move(error_); }

private:
    enum class Base : uint8_t { list, tuple, set };
    // What the name a value is held under says about it.
    enum class Context : uint8_t { plain, secret, authority };
    // How a dict is shown: as it is, as a WSGI environment, or as an object's fields.
    enum class Shape : uint8_t { plain, environ, fields };
    struct Entry;
    class Opened;

    Outcome held(PyObject* value, Py_ssize_t depth, NameKind kind);
    Outcome in_context(PyObject* value, Py_ssize_t depth, Context context);
    Outcome secret(PyObject* value, Py_ssize_t depth);
    Outcome authority(PyObject* value, Py_ssize_t depth);
    Outcome text_value(PyObject* text);
    Outcome text(PyObject* text, bool* changed);
    Outcome searched_text(PyObject* text, bool* changed);
    Outcome cut_text(PyObject* text, Py_ssize_t unseen, bool* changed);
    Outcome bytes_value(PyObject* value);
    Outcome bytes(PyObject* value, bool* changed);
    utils::Result<utils::PyRef> redacted_head(PyObject* text, const CodePoints& points, Py_ssize_t searched,
                                              bool remember);
    Py_ssize_t searched_length(Py_ssize_t length) const noexcept;
    bool plain_integer(PyObject* value);
    Outcome big_integer(PyObject* value);
    Outcome mapping(PyObject* value, Py_ssize_t depth, Shape shape);
    Outcome pairs_of(utils::PyRef* pairs, Py_ssize_t count, Py_ssize_t most, PyObject* container, Py_ssize_t depth);
    Outcome mapping_of(PyObject* container, const utils::PyRef* pairs, Py_ssize_t taken, Py_ssize_t copies,
                       Py_ssize_t more, Py_ssize_t depth);
    Outcome entries(const utils::PyRef* pairs, Py_ssize_t count, Entry* entries, Py_ssize_t depth);
    void drop_repeated_keys(size_t start, const Entry* entries, size_t count);
    Outcome sequence(PyObject* value, Base base, Py_ssize_t depth, Context context);
    Outcome key(PyObject* key, bool* changed);
    utils::Result<NameKind> name_kind(PyObject* name);
    utils::Result<NameKind> pair_kind(PyObject* name);
    Outcome object(PyObject* value, Py_ssize_t depth);
    utils::Result<utils::PyRef> plan_of(PyTypeObject* type);
    Outcome by_value(PyObject* value);
    Outcome by_dict(PyObject* value, Py_ssize_t depth);
    Outcome by_fields(PyObject* value, PyObject* plan, Py_ssize_t depth);
    Outcome named_tuple(PyObject* value, PyObject* plan, Py_ssize_t depth);
    Outcome enumeration(PyObject* value);
    Outcome ask_python(PyObject* value, Py_ssize_t depth);
    static bool shown_by_repr(PyObject* plan) noexcept;
    Outcome function_repr(PyObject* function);
    Outcome immutable_repr(PyObject* value, Py_ssize_t depth);
    Outcome repr_text(utils::Result<utils::PyRef> text);
    Outcome fields(PyObject* value, PyObject* type_name, PyObject* fields, Py_ssize_t depth);
    // An object shown by its `count` fields, which `write_fields` writes as a map.
    template <class WriteFields>
    Outcome object_fields(PyObject* value, PyObject* type_name, Py_ssize_t depth, Py_ssize_t count,
                          WriteFields&& write_fields);
    Outcome extension(PyObject* ext);
    bool is_open(PyObject* value) const noexcept;
    Outcome shown_above(const Output& type_name);
    Outcome identity(PyObject* value, PyTypeObject* raised);
    // `append_type_name`, remembered for classes.
    utils::Status write_type_name(Output& out, PyTypeObject* type);
    Outcome object_text(PyObject* text);
    Outcome shown_object_text(PyObject* text);
    std::optional<Outcome> limited(PyObject* value, Py_ssize_t depth, Py_ssize_t count);
    std::optional<Outcome> limited_by_size(PyTypeObject* type, Py_ssize_t depth, Py_ssize_t count);
    Outcome count_marker(PyTypeObject* type, Py_ssize_t count, std::string_view reason);
    void more_marker(Py_ssize_t more);
    // How many of `wanted` items a container shows: at most the per-container limit and what is left
    // of the whole value's budget, which they use up.
    Py_ssize_t take_from_budget(Py_ssize_t wanted) noexcept;
    Py_ssize_t most_from_budget(Py_ssize_t wanted) const noexcept;
    Outcome give_up(utils::PyError error) noexcept;
    Outcome failed_call(utils::PyError error) noexcept;

    const Limits limits_;
    const Hooks& hooks_;
    const SecretRules& names_;
    PyObject* const environment_;
    Caches& caches_;
    RecordTexts& texts_;
    const bool light_;
    const bool safe_text_;
    Output& out_;
    Py_ssize_t budget_;
    // The containers and objects being converted, outermost first: meeting one again is a cycle. An
    // object shown by its fields opens itself and its fields' dict at the same depth.
    std::array<PyObject*, 2 * MAX_NATIVE_DEPTH + 2> open_;  // only the first `open_count_` are set
    size_t open_count_ = 0;
    Py_ssize_t objects_open_ = 0;  // objects being shown by their fields, one inside the other
    // Met again in the same value (a parser's tokens in its list and as its current token), an object
    // is not shown again: its fields would cost their whole size once more.
    ShownObjects shown_;
    std::optional<utils::PyError> error_;
};

}  // namespace vesk::serialize
