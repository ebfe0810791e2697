#include "serialize/walk.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "serialize/text.hpp"
#include "serialize/type_names.hpp"
#include "utils/interned.hpp"
#include "utils/pyref.hpp"

namespace vesk::serialize {

using utils::PyError;
using utils::PyRef;
using utils::Result;

namespace {

constexpr std::string_view REDACTED = "<redacted>";
constexpr std::string_view CYCLE = "<cycle>";
constexpr std::string_view ENVIRONMENT_KEY = "<process environment>";
// How far past the cut a text is searched for secrets (vesk.serialize._SEARCH_BEYOND_CUT).
constexpr Py_ssize_t SEARCH_BEYOND_CUT = 256;
// Texts up to this long are searched again each time they are recorded (quicker than the cache);
// longer ones, up to the second bound, once per object.
constexpr Py_ssize_t SHORT_TEXT = 64;
constexpr Py_ssize_t MOST_REMEMBERED = Py_ssize_t{1} << 16;
// Past this many bits an int is shown by its size: its text would pass the interpreter's limit on
// int-to-text conversion.
constexpr size_t MAX_INT_TEXT_BITS = 4000;

// Room for `size` elements, inside the object (on the stack) for the usual small container. Only
// the elements asked for are constructed: the walk makes one of these per container.
template <class T, size_t Inline>
class Scratch {
public:
    explicit Scratch(size_t size) : size_(size) {
        if (size > Inline) {
            if (size > PTRDIFF_MAX / sizeof(T)) {
                throw std::bad_alloc();  // no such array: said before the size computation overflows
            }
            heap_ = std::make_unique<T[]>(size);
            data_ = heap_.get();
        } else {
            data_ = std::launder(reinterpret_cast<T*>(storage_));
            std::uninitialized_value_construct_n(data_, size);
        }
    }
    ~Scratch() {
        if (!heap_) {
            std::destroy_n(data_, size_);
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    [[nodiscard]] T* data() noexcept { return data_; }
    T& operator[](size_t index) noexcept { return data_[index]; }

private:
    alignas(T) unsigned char storage_[sizeof(T) * Inline];
    std::unique_ptr<T[]> heap_;
    size_t size_;
    T* data_;
};

// Strong references to the items being converted: a repr may change or empty the container.
template <size_t Inline>
using Snapshot = Scratch<PyRef, Inline>;

bool is_plain_key_item(PyObject* item) noexcept {
    PyTypeObject* type = Py_TYPE(item);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           item == Py_None || type == &PyBytes_Type;
}

// The getter of an ordinary class's __dict__, found once from a class made for the purpose; null if
// it cannot be made.
getter ordinary_dict_getter() noexcept {
    static const getter found = []() -> getter {
        PyRef name = PyRef::steal(PyUnicode_InternFromString("__dict__"));
        PyRef made = name ? PyRef::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                                               "vesk_ordinary", PyDict_New()))
                          : PyRef();
        PyObject* descriptor = made ? _PyType_Lookup(reinterpret_cast<PyTypeObject*>(made.get()), name.get()) : nullptr;
        if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyGetSetDescr_Type)) {
            PyErr_Clear();  // Intended: only the generic getter is then known.
            return nullptr;
        }
        return reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset->get;
    }();
    return found;
}

// Whether a __dict__ descriptor is the interpreter's own for instances (an ordinary class's, or the
// generic one an extension type names): only then is what it gives the attributes kept in the object.
bool gives_the_managed_dict(PyObject* descriptor) noexcept {
    const getter get = reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset->get;
    return get == PyObject_GenericGetDict || (get != nullptr && get == ordinary_dict_getter());
}

bool is_private(PyObject* name) noexcept {
    if (!PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(name) == 0) {
        return false;
    }
    return PyUnicode_IS_COMPACT_ASCII(name) ? *static_cast<const char*>(PyUnicode_DATA(name)) == '_'
                                            : PyUnicode_READ_CHAR(name, 0) == '_';
}

// An object's fields in the order they are shown: those whose names start with "_" (its machinery:
// caches, ORM state) after the others, each group in its own order. `pairs` holds `count` (name,
// value) pairs in turn.
void public_first(PyRef* pairs, Py_ssize_t count) {
    Py_ssize_t kept = 0;
    while (kept < count && !is_private(pairs[2 * kept].get())) {
        ++kept;
    }
    if (kept == count) {
        return;
    }
    Scratch<PyRef, 16> later(2 * static_cast<size_t>(count - kept));
    size_t moved = 0;
    for (Py_ssize_t i = kept; i < count; ++i) {
        if (is_private(pairs[2 * i].get())) {
            later[moved++] = std::move(pairs[2 * i]);
            later[moved++] = std::move(pairs[2 * i + 1]);
        } else {
            pairs[2 * kept] = std::move(pairs[2 * i]);
            pairs[2 * kept + 1] = std::move(pairs[2 * i + 1]);
            ++kept;
        }
    }
    for (size_t j = 0; j < moved; ++j) {
        pairs[2 * kept + static_cast<Py_ssize_t>(j)] = std::move(later[j]);
    }
}

// The entry `name` of an instance's attributes read in place, or null.
PyObject* inline_value(const InlineAttributes& attributes, PyObject* name) noexcept {
    for (Py_ssize_t i = 0; i < attributes.count; ++i) {
        PyObject* key = attributes.names[static_cast<size_t>(i)];
        if (key == name || (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) {
            return attributes.values[static_cast<size_t>(i)];
        }
    }
    return nullptr;
}

}  // namespace

// Where one entry of a dict being written starts, and whether its key was changed on the way (cut,
// escaped, redacted or turned into an object's text): a changed key may now equal another key.
struct Walk::Entry {
    size_t key = 0;
    size_t value = 0;
    bool changed = false;
};

// Marks a container as being converted for as long as it is.
class Walk::Opened {
public:
    Opened(Walk& walk, PyObject* container) noexcept : walk_(walk) { walk_.open_[walk_.open_count_++] = container; }
    ~Opened() { --walk_.open_count_; }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;

private:
    Walk& walk_;
};

Walk::Walk(const RecordContext& record, bool light, bool safe_text, Output& out) noexcept
    : limits_(record.settings.limits),
      hooks_(record.settings.hooks),
      names_(record.settings.names),
      environment_(record.environment),
      caches_(record.caches),
      texts_(record.texts),
      light_(light),
      safe_text_(safe_text),
      out_(out),
      budget_(record.settings.limits.max_total) {}

Py_ssize_t Walk::most_from_budget(Py_ssize_t wanted) const noexcept {
    return std::max<Py_ssize_t>(0, std::min({wanted, limits_.max_items, budget_}));
}

Py_ssize_t Walk::take_from_budget(Py_ssize_t wanted) noexcept {
    const Py_ssize_t take = most_from_budget(wanted);
    budget_ -= take;
    return take;
}

Outcome Walk::give_up(PyError error) noexcept {
    error_ = std::move(error);
    return Outcome::give_up;
}

// A call into the Python serialiser failed: a KeyboardInterrupt or SystemExit (from a repr the
// settings opted into, or a signal) goes to the program; anything else hands the value to Python.
Outcome Walk::failed_call(PyError error) noexcept {
    const bool interrupted = error.matches(PyExc_KeyboardInterrupt) || error.matches(PyExc_SystemExit);
    error_ = std::move(error);
    return interrupted ? Outcome::interrupted : Outcome::give_up;
}

Outcome Walk::value(PyObject* value, Py_ssize_t depth) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        return text_value(value);
    }
    if (type == &PyLong_Type) {
        return plain_integer(value) ? Outcome::written : big_integer(value);
    }
    if (type == &PyFloat_Type) {
        out_.f64(PyFloat_AS_DOUBLE(value));
        return Outcome::written;
    }
    if (type == &PyBool_Type) {
        out_.boolean(value == Py_True);
        return Outcome::written;
    }
    if (value == Py_None) {
        out_.nil();
        return Outcome::written;
    }
    if (type == &PyBytes_Type) {
        return bytes_value(value);
    }
    if (PyDict_Check(value)) {
        return mapping(value, depth, Shape::plain);
    }
    if (PyList_Check(value)) {
        return sequence(value, Base::list, depth, Context::plain);
    }
    if (PyTuple_Check(value)) {
        // Named tuples are shown by their fields, except by the lightweight variant.
        return type == &PyTuple_Type || light_ ? sequence(value, Base::tuple, depth, Context::plain)
                                               : object(value, depth);
    }
    if (PyAnySet_Check(value)) {
        return sequence(value, Base::set, depth, Context::plain);
    }
    if (!light_) {
        return object(value, depth);
    }
    if (PyUnicode_Check(value) || PyLong_Check(value) || PyFloat_Check(value)) {
        return by_value(value);
    }
    return identity(value, nullptr);
}

Outcome Walk::held(PyObject* value, Py_ssize_t depth, NameKind kind) {
    switch (kind) {
        case NameKind::secret:
            return secret(value, depth);
        case NameKind::authority:
            return authority(value, depth);
        case NameKind::environ:
            return PyDict_Check(value) ? mapping(value, depth, Shape::environ) : this->value(value, depth);
        case NameKind::plain:
            break;
    }
    return this->value(value, depth);
}

Outcome Walk::in_context(PyObject* value, Py_ssize_t depth, Context context) {
    switch (context) {
        case Context::secret:
            return secret(value, depth);
        case Context::authority:
            return authority(value, depth);
        case Context::plain:
            break;
    }
    return this->value(value, depth);
}

// A value held under a secret name: text-like values redacted, lists, tuples and sets item by item,
// objects by their fields (judged by their own names).
Outcome Walk::secret(PyObject* value, Py_ssize_t depth) {
    PyTypeObject* type = Py_TYPE(value);
    if (value == Py_None || type == &PyBool_Type) {
        return this->value(value, depth);
    }
    if (type == &PyUnicode_Type || type == &PyBytes_Type) {
        if ((type == &PyUnicode_Type ? PyUnicode_GET_LENGTH(value) : PyBytes_GET_SIZE(value)) > 0) {
            texts_.redacted(value);
        }
        out_.ext(MARKER, REDACTED);
        return Outcome::written;
    }
    if (type == &PyLong_Type || type == &PyFloat_Type || PyDict_Check(value)) {
        out_.ext(MARKER, REDACTED);
        return Outcome::written;
    }
    if (PyList_Check(value)) {
        return sequence(value, Base::list, depth, Context::secret);
    }
    if (PyAnySet_Check(value)) {
        return sequence(value, Base::set, depth, Context::secret);
    }
    if (type == &PyTuple_Type || (light_ && PyTuple_Check(value))) {
        return sequence(value, Base::tuple, depth, Context::secret);
    }
    if (light_) {
        if (PyUnicode_Check(value) || PyLong_Check(value) || PyFloat_Check(value)) {
            out_.ext(MARKER, REDACTED);
            return Outcome::written;
        }
        return identity(value, nullptr);
    }
    auto plan = plan_of(type);
    if (!plan) {
        return failed_call(std::move(plan.error()));
    }
    switch (static_cast<Kind>(PyLong_AsLong(PyTuple_GET_ITEM(plan->get(), 0)))) {
        case Kind::as_tuple:
            return PyTuple_Check(value) ? sequence(value, Base::tuple, depth, Context::secret)
                                        : give_up(PyError::type_error("shown as a tuple but not a tuple"));
        case Kind::by_value:
        case Kind::own_repr:
            out_.ext(MARKER, REDACTED);
            return Outcome::written;
        default:
            return object(value, depth);
    }
}

// A value held under a host's name: an authority's password redacted.
Outcome Walk::authority(PyObject* value, Py_ssize_t depth) {
    if (texts_.is_redacted(value)) {
        out_.ext(MARKER, REDACTED);
        return Outcome::written;
    }
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type || type == &PyBytes_Type) {
        texts_.shown(value);
        CodePoints points = type == &PyBytes_Type ? bytes_points(value) : CodePoints{};
        if (type == &PyUnicode_Type) {
            auto read = code_points(value);
            if (!read) {
                return give_up(std::move(read.error()));
            }
            points = *read;
        }
        const Spans spans = authority_span(points);
        PyRef shown = PyRef::borrow(value);
        if (!spans.empty()) {
            auto made = replaced(value, points.length, spans);
            if (!made) {
                return give_up(std::move(made.error()));
            }
            shown = std::move(*made);
        }
        return type == &PyBytes_Type ? bytes(shown.get(), nullptr) : text(shown.get(), nullptr);
    }
    if (PyList_Check(value)) {
        return sequence(value, Base::list, depth, Context::authority);
    }
    if (PyAnySet_Check(value)) {
        return sequence(value, Base::set, depth, Context::authority);
    }
    if (type == &PyTuple_Type || (light_ && PyTuple_Check(value))) {
        return sequence(value, Base::tuple, depth, Context::authority);
    }
    return this->value(value, depth);
}

// Subclasses of str, int and float keep their value, read without running code of the subclass.
Outcome Walk::by_value(PyObject* value) {
    if (PyUnicode_Check(value)) {
        // An exact copy: the text rules then run no method of the subclass.
        auto copy = utils::checked(PyUnicode_Type.tp_str(value));
        if (!copy) {
            return give_up(std::move(copy.error()));
        }
        return text(copy->get(), nullptr);
    }
    if (PyLong_Check(value)) {
        return plain_integer(value) ? Outcome::written : big_integer(value);
    }
    if (PyFloat_Check(value)) {
        out_.f64(PyFloat_AS_DOUBLE(value));
        return Outcome::written;
    }
    return give_up(PyError::type_error("shown by value but neither str, int nor float"));
}

// An exact str held as a value: redacted where it is a text redacted by name in this record.
Outcome Walk::text_value(PyObject* text) {
    if (texts_.is_redacted(text)) {
        out_.ext(MARKER, REDACTED);
        return Outcome::written;
    }
    texts_.shown(text);
    return this->text(text, nullptr);
}

Py_ssize_t Walk::searched_length(Py_ssize_t length) const noexcept {
    // `max_string` may be as large as any size.
    return limits_.max_string > length - SEARCH_BEYOND_CUT ? length : limits_.max_string + SEARCH_BEYOND_CUT;
}

// The searched part of a text (or bytes) with its secrets replaced, or null when it holds none;
// remembered by the object for a text recorded again.
Result<PyRef> Walk::redacted_head(PyObject* text, const CodePoints& points, Py_ssize_t searched, bool remember) {
    if (remember) {
        if (const PyRef* known = caches_.redacted.find(text)) {
            return known->clone();
        }
    }
    auto spans = secret_spans(points, searched, names_);
    VESK_TRY(spans);
    PyRef head;
    if (!spans->empty()) {
        auto made = replaced(text, searched, *spans);
        VESK_TRY(made);
        head = std::move(*made);
    }
    if (remember) {
        caches_.redacted.remember(text, head.clone());
    }
    return head;
}

// An exact str as shown: the secrets found by their shape replaced, then cut.
Outcome Walk::text(PyObject* text, bool* changed) {
    if (PyUnicode_IS_COMPACT_ASCII(text) && PyUnicode_GET_LENGTH(text) <= SHORT_TEXT &&
        PyUnicode_GET_LENGTH(text) <= limits_.max_string &&
        !names_.may_hold_secret(static_cast<const Py_UCS1*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text))) {
        // The usual name or short text, as it is: its bytes are its UTF-8.
        out_.str({static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text))});
        if (changed != nullptr) {
            *changed = false;
        }
        return Outcome::written;
    }
    return searched_text(text, changed);
}

// Kept out of `text`, whose usual case its size would slow down.
[[gnu::noinline]] Outcome Walk::searched_text(PyObject* text, bool* changed) {
    if (PyUnicode_IS_COMPACT_ASCII(text) && PyUnicode_GET_LENGTH(text) <= SHORT_TEXT &&
        PyUnicode_GET_LENGTH(text) <= limits_.max_string) {
        // A short name or word with a start character in it (a "b") and, nearly always, no secret:
        // as it is, once the search finds none.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        auto spans = secret_spans(CodePoints{PyUnicode_1BYTE_KIND, PyUnicode_DATA(text), length, true}, length, names_);
        if (!spans) {
            return give_up(std::move(spans.error()));
        }
        if (spans->empty()) {
            out_.str({static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(length)});
            if (changed != nullptr) {
                *changed = false;
            }
            return Outcome::written;
        }
    }
    auto points = code_points(text);
    if (!points) {
        return give_up(std::move(points.error()));
    }
    const Py_ssize_t searched = searched_length(points->length);
    auto head = redacted_head(text, *points, searched,
                              points->length > SHORT_TEXT && points->length <= MOST_REMEMBERED);
    if (!head) {
        return give_up(std::move(head.error()));
    }
    if (!*head) {
        return cut_text(text, 0, changed);
    }
    const Outcome outcome = cut_text(head->get(), points->length - searched, changed);
    if (changed != nullptr) {
        *changed = true;
    }
    return outcome;
}

// The first `max_string` characters of `text`, and a "…[+N chars]" suffix for the rest and for the
// `unseen` characters of the recorded text that lie past it (never searched, so never shown).
Outcome Walk::cut_text(PyObject* text, Py_ssize_t unseen, bool* changed) {
    if (unseen == 0 && PyUnicode_IS_COMPACT_ASCII(text) && PyUnicode_GET_LENGTH(text) <= limits_.max_string) {
        // The usual name or short text: its bytes are its UTF-8.
        out_.str({static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text))});
        if (changed != nullptr) {
            *changed = false;
        }
        return Outcome::written;
    }
    auto points = code_points(text);
    if (!points) {
        return give_up(std::move(points.error()));
    }
    const Py_ssize_t count = std::min(points->length, limits_.max_string);
    const bool cut = count < points->length || unseen > 0;
    const Utf8Size size = utf8_size(*points, count, safe_text_ ? Surrogates::escape : Surrogates::refuse);
    if (size.surrogates && !safe_text_) {
        return Outcome::unencodable_text;
    }
    Suffix suffix;
    if (cut) {
        suffix = cut_suffix(points->length - count + unseen, "chars");
    }
    const size_t total = static_cast<size_t>(size.bytes) + suffix.size;
    out_.str_header(total);
    if (char* room = out_.extend(total)) {
        write_utf8(*points, count, room);
        std::memcpy(room + size.bytes, suffix.buffer, suffix.size);
    }
    if (changed != nullptr) {
        *changed = cut || size.surrogates;
    }
    return Outcome::written;
}

Outcome Walk::bytes_value(PyObject* value) {
    if (texts_.is_redacted(value)) {
        out_.ext(MARKER, REDACTED);
        return Outcome::written;
    }
    texts_.shown(value);
    return bytes(value, nullptr);
}

// Bytes as shown: the same rules as text, each byte read as one character; past `max_string` the
// text of their repr.
Outcome Walk::bytes(PyObject* value, bool* changed) {
    const CodePoints points = bytes_points(value);
    const Py_ssize_t searched = searched_length(points.length);
    auto head = redacted_head(value, points, searched, points.length > SHORT_TEXT && points.length <= MOST_REMEMBERED);
    if (!head) {
        return give_up(std::move(head.error()));
    }
    PyObject* shown = *head ? head->get() : value;
    const Py_ssize_t size = PyBytes_GET_SIZE(shown);
    const Py_ssize_t unseen = *head ? points.length - searched : 0;
    if (changed != nullptr) {
        *changed = static_cast<bool>(*head) || size > limits_.max_string;
    }
    if (size <= limits_.max_string && unseen == 0) {
        out_.bin({PyBytes_AS_STRING(shown), static_cast<size_t>(size)});
        return Outcome::written;
    }
    const Py_ssize_t count = std::min(size, limits_.max_string);
    auto part = utils::checked(PyBytes_FromStringAndSize(PyBytes_AS_STRING(shown), count));
    if (!part) {
        return give_up(std::move(part.error()));
    }
    auto text = utils::checked(PyObject_Repr(part->get()));
    if (!text) {
        return give_up(std::move(text.error()));
    }
    auto repr = code_points(text->get());
    if (!repr) {
        return give_up(std::move(repr.error()));
    }
    const size_t mark = out_.begin_ext();
    append_utf8(out_, *repr, repr->length);
    out_.append(cut_suffix(size - count + unseen, "bytes").view());
    out_.end_ext(mark, OBJECT_REPR);
    return Outcome::written;
}

std::optional<Outcome> Walk::limited(PyObject* value, Py_ssize_t depth, Py_ssize_t count) {
    if (depth < limits_.max_depth && is_open(value)) {
        out_.ext(MARKER, CYCLE);
        return Outcome::written;
    }
    return limited_by_size(Py_TYPE(value), depth, count);
}

std::optional<Outcome> Walk::limited_by_size(PyTypeObject* type, Py_ssize_t depth, Py_ssize_t count) {
    if (depth >= limits_.max_depth) {
        return count_marker(type, count, ": too deep>");
    }
    if (count != 0 && budget_ <= 0) {
        return count_marker(type, count, ": size limit>");
    }
    return std::nullopt;
}

bool Walk::is_open(PyObject* value) const noexcept {
    return std::find(open_.begin(), open_.begin() + open_count_, value) != open_.begin() + open_count_;
}

Outcome Walk::shown_above(const Output& type_name) {
    const size_t mark = out_.begin_ext();
    out_.append("<");
    out_.append(type_name.view(0, type_name.size()));
    out_.append(": shown above>");
    out_.end_ext(mark, MARKER);
    return Outcome::written;
}

size_t ShownObjects::slot_of(PyObject* object) const noexcept {
    // Objects are 16-byte aligned: the low bits say nothing; an odd multiplier mixes the rest.
    const size_t mask = slots_.size() - 1;
    size_t slot = static_cast<size_t>((reinterpret_cast<uintptr_t>(object) >> 4) * 0x9E3779B97F4A7C15ULL) & mask;
    while (slots_[slot] && slots_[slot].get() != object) {
        slot = (slot + 1) & mask;
    }
    return slot;
}

bool ShownObjects::contains(PyObject* object) const noexcept {
    return count_ != 0 && slots_[slot_of(object)].get() == object;
}

void ShownObjects::add(PyObject* object) {
    if (2 * (count_ + 1) > slots_.size()) {
        grow();
    }
    utils::PyRef& slot = slots_[slot_of(object)];
    if (!slot) {
        slot = utils::PyRef::borrow(object);
        ++count_;
    }
}

void ShownObjects::grow() {
    std::vector<utils::PyRef> old(slots_.empty() ? 16 : 2 * slots_.size());
    old.swap(slots_);
    for (utils::PyRef& held : old) {
        if (held) {
            slots_[slot_of(held.get())] = std::move(held);
        }
    }
}

Result<NameKind> Walk::name_kind(PyObject* name) {
    if (const NameKind* known = caches_.names.find(name)) {
        return *known;
    }
    auto kind = names_.kind_of(name);
    VESK_TRY(kind);
    caches_.names.remember(name, *kind);
    return *kind;
}

// What the name of a (name, value) pair, such as a header in a list of headers (bytes in ASGI), or a
// bytes key says about its value.
Result<NameKind> Walk::pair_kind(PyObject* name) {
    NameKind kind = NameKind::plain;
    if (PyUnicode_CheckExact(name)) {
        auto found = name_kind(name);
        VESK_TRY(found);
        kind = *found;
    } else if (PyBytes_CheckExact(name)) {
        if (const NameKind* known = caches_.names.find(name)) {
            kind = *known;
        } else {
            auto found = names_.kind_of(bytes_points(name));
            VESK_TRY(found);
            caches_.names.remember(name, *found);
            kind = *found;
        }
    }
    return kind == NameKind::environ ? NameKind::plain : kind;
}

Outcome Walk::mapping(PyObject* value, Py_ssize_t depth, Shape shape) {
    const Py_ssize_t count = PyDict_GET_SIZE(value);
    if (auto stop = limited(value, depth, count)) {
        return *stop;
    }
    const Py_ssize_t most = most_from_budget(count);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    if (shape == Shape::fields) {
        Snapshot<32> pairs(2 * static_cast<size_t>(count));
        Py_ssize_t taken = 0;
        while (taken < count && PyDict_Next(value, &position, &key, &item)) {
            pairs[2 * taken] = PyRef::borrow(key);
            pairs[2 * taken + 1] = PyRef::borrow(item);
            ++taken;
        }
        return pairs_of(pairs.data(), taken, most, value, depth);
    }
    // Taken before converting: a repr may change the dict, which would break the iteration.
    Snapshot<32> pairs(2 * static_cast<size_t>(most));
    Py_ssize_t taken = 0;
    Py_ssize_t looked_at = 0;
    Py_ssize_t copies = 0;
    while (taken < most && PyDict_Next(value, &position, &key, &item)) {
        ++looked_at;
        if (shape == Shape::environ && PyUnicode_CheckExact(key) && PyUnicode_CheckExact(item)) {
            // The process environment's own entries, as a WSGI server copies them into each request's.
            PyObject* copied = PyDict_GetItemWithError(environment_, key);
            if (copied == nullptr && PyErr_Occurred() != nullptr) {
                return give_up(PyError::fetch());
            }
            if (copied != nullptr && (copied == item || PyUnicode_Compare(copied, item) == 0)) {
                ++copies;
                continue;
            }
        }
        pairs[2 * taken] = PyRef::borrow(key);
        pairs[2 * taken + 1] = PyRef::borrow(item);
        ++taken;
    }
    budget_ -= taken;
    return mapping_of(value, pairs.data(), taken, copies, count - looked_at, depth);
}

// An object's `count` fields (the pairs, whose order they may change): its first `most` in the order
// they are shown.
Outcome Walk::pairs_of(PyRef* pairs, Py_ssize_t count, Py_ssize_t most, PyObject* container, Py_ssize_t depth) {
    public_first(pairs, count);
    const Py_ssize_t taken = std::min(count, most);
    budget_ -= taken;
    return mapping_of(container, pairs, taken, 0, count - taken, depth);
}

Outcome Walk::named_values(PyObject* const* names, PyObject* const* values, Py_ssize_t count) {
    const Py_ssize_t bound = std::count_if(values, values + count, [](PyObject* item) { return item != nullptr; });
    if (limits_.max_depth <= 0 || (bound != 0 && budget_ <= 0)) {
        return Outcome::give_up;  // their markers name the dict's type: the caller makes the dict
    }
    const Py_ssize_t take = take_from_budget(bound);
    Snapshot<32> pairs(2 * static_cast<size_t>(take));
    Py_ssize_t taken = 0;
    for (Py_ssize_t i = 0; i < count && taken < take; ++i) {
        if (values[i] != nullptr) {
            pairs[2 * taken] = PyRef::borrow(names[i]);
            pairs[2 * taken + 1] = PyRef::borrow(values[i]);
            ++taken;
        }
    }
    // No object of the program can be this mapping, which has none: nothing inside is a cycle to it.
    return mapping_of(nullptr, pairs.data(), taken, 0, bound - take, 0);
}

// A map of the `taken` pairs, then markers for the `copies` of the process environment and the `more`
// left out. `container` is the object the pairs come from, open while they are converted.
Outcome Walk::mapping_of(PyObject* container, const PyRef* pairs, Py_ssize_t taken, Py_ssize_t copies, Py_ssize_t more,
                         Py_ssize_t depth) {
    const size_t start = out_.size();
    const size_t entry_count = static_cast<size_t>(taken) + (copies > 0 ? 1 : 0) + (more > 0 ? 1 : 0);
    out_.map_header(entry_count);
    Scratch<Entry, 16> written(entry_count);
    {
        Opened opened(*this, container);
        const Outcome outcome = entries(pairs, taken, written.data(), depth);
        if (outcome != Outcome::written) {
            return outcome;
        }
    }
    size_t next = static_cast<size_t>(taken);
    if (copies > 0) {
        Entry& entry = written[next++];
        entry.key = out_.size();
        out_.ext(MARKER, ENVIRONMENT_KEY);
        entry.value = out_.size();
        const size_t mark = out_.begin_ext();
        out_.append("<");
        append_decimal(out_, copies);
        out_.append(" entries of the process environment>");
        out_.end_ext(mark, MARKER);
    }
    if (more > 0) {
        Entry& entry = written[next];
        entry.key = out_.size();
        out_.ext(MARKER, ELLIPSIS);
        entry.value = out_.size();
        more_marker(more);
    }
    if (std::any_of(written.data(), written.data() + entry_count, [](const Entry& e) { return e.changed; })) {
        drop_repeated_keys(start, written.data(), entry_count);
    }
    return Outcome::written;
}

Outcome Walk::entries(const PyRef* pairs, Py_ssize_t count, Entry* entries, Py_ssize_t depth) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = pairs[2 * i].get();
        PyObject* item = pairs[2 * i + 1].get();
        Entry& entry = entries[i];
        entry.key = out_.size();
        auto kind = PyUnicode_CheckExact(key) ? name_kind(key) : pair_kind(key);
        if (!kind) {
            return give_up(std::move(kind.error()));
        }
        const Outcome written = PyUnicode_CheckExact(key) ? text(key, &entry.changed) : this->key(key, &entry.changed);
        if (written != Outcome::written) {
            return written;
        }
        entry.value = out_.size();
        if (const Outcome outcome = held(item, depth + 1, *kind); outcome != Outcome::written) {
            return outcome;
        }
    }
    return Outcome::written;
}

// Two keys that differed in the dict can become equal once changed (cut to the same text, two
// objects with the same repr). The Python walk builds a dict, where the later assignment replaces
// the value and keeps the first key's place; the same is done here on the written bytes. Equal
// MessagePack bytes are equal keys: a changed key is a str or an extension value, and those are
// equal exactly when their encodings are.
void Walk::drop_repeated_keys(size_t start, const Entry* entries, size_t count) {
    const size_t end = out_.size();
    auto key_bytes = [&](size_t i) { return out_.view(entries[i].key, entries[i].value); };
    std::vector<size_t> kept;
    std::vector<size_t> latest(count);
    for (size_t i = 0; i < count; ++i) {
        auto same = std::find_if(kept.begin(), kept.end(), [&](size_t j) {
            return (entries[i].changed || entries[j].changed) && key_bytes(i) == key_bytes(j);
        });
        if (same == kept.end()) {
            kept.push_back(i);
            latest[i] = i;
        } else {
            latest[*same] = i;
        }
    }
    if (kept.size() == count) {
        return;
    }
    const std::string written(out_.view(start, end));
    auto piece = [&](size_t from, size_t to) { return std::string_view(written).substr(from - start, to - from); };
    out_.truncate(start);
    out_.map_header(kept.size());
    for (const size_t j : kept) {
        const size_t i = latest[j];
        out_.append(piece(entries[j].key, entries[j].value));
        out_.append(piece(entries[i].value, i + 1 < count ? entries[i + 1].key : end));
    }
}

Outcome Walk::sequence(PyObject* value, Base base, Py_ssize_t depth, Context context) {
    const Py_ssize_t count = base == Base::list    ? PyList_GET_SIZE(value)
                             : base == Base::tuple ? PyTuple_GET_SIZE(value)
                                                   : PySet_GET_SIZE(value);
    if (auto stop = limited(value, depth, count)) {
        return *stop;
    }
    const Py_ssize_t take = take_from_budget(count);
    Snapshot<16> items(static_cast<size_t>(take));
    Py_ssize_t taken = 0;
    if (base == Base::set) {
        // The set's own iterator: a subclass's __iter__ is program code.
        auto iterator = utils::checked(PySet_Type.tp_iter(value));
        if (!iterator) {
            return give_up(std::move(iterator.error()));
        }
        while (taken < take) {
            PyRef item = PyRef::steal(PyIter_Next(iterator->get()));
            if (!item) {
                if (PyErr_Occurred() != nullptr) {
                    return give_up(PyError::fetch());
                }
                break;
            }
            items[static_cast<size_t>(taken++)] = std::move(item);
        }
    } else {
        PyObject** source = PySequence_Fast_ITEMS(value);  // a list's or a tuple's items
        for (; taken < take; ++taken) {
            items[static_cast<size_t>(taken)] = PyRef::borrow(source[taken]);
        }
    }
    const Py_ssize_t more = count - take;
    out_.array_header(static_cast<size_t>(taken) + (more > 0 ? 1 : 0));
    {
        Opened opened(*this, value);
        NameKind pair = NameKind::plain;
        if (base == Base::tuple && taken == 2 && count == 2) {
            auto kind = pair_kind(items[0].get());
            if (!kind) {
                return give_up(std::move(kind.error()));
            }
            pair = *kind;
        }
        for (Py_ssize_t i = 0; i < taken; ++i) {
            PyObject* item = items[static_cast<size_t>(i)].get();
            const Outcome outcome = i == 1 && pair != NameKind::plain ? held(item, depth + 1, pair)
                                                                      : in_context(item, depth + 1, context);
            if (outcome != Outcome::written) {
                return outcome;
            }
        }
    }
    if (more > 0) {
        more_marker(more);
    }
    return Outcome::written;
}

Outcome Walk::key(PyObject* key, bool* changed) {
    PyTypeObject* type = Py_TYPE(key);
    if (type == &PyLong_Type && plain_integer(key)) {
        return Outcome::written;
    }
    if (type == &PyFloat_Type) {
        out_.f64(PyFloat_AS_DOUBLE(key));
        return Outcome::written;
    }
    if (type == &PyBool_Type) {
        out_.boolean(key == Py_True);
        return Outcome::written;
    }
    if (key == Py_None) {
        out_.nil();
        return Outcome::written;
    }
    if (type == &PyBytes_Type && PyBytes_GET_SIZE(key) <= limits_.max_string) {
        return bytes(key, changed);
    }
    *changed = true;
    if (light_ && !(type == &PyTuple_Type &&
                    std::all_of(PySequence_Fast_ITEMS(key), PySequence_Fast_ITEMS(key) + PyTuple_GET_SIZE(key),
                                is_plain_key_item))) {
        return identity(key, nullptr);
    }
    // Anything else becomes text, by the Python serialiser's rules: a reader needs hashable keys.
    auto shown = utils::checked(PyObject_CallOneArg(hooks_.key_text, key));
    if (!shown) {
        return failed_call(std::move(shown.error()));
    }
    return extension(shown->get());
}

Result<PyRef> Walk::plan_of(PyTypeObject* type) {
    auto* object = reinterpret_cast<PyObject*>(type);
    if (const PyRef* known = caches_.plans.find(object)) {
        return known->clone();
    }
    auto plan = utils::checked(PyObject_CallOneArg(hooks_.plan, object));
    VESK_TRY(plan);
    if (!PyTuple_CheckExact(plan->get()) || PyTuple_GET_SIZE(plan->get()) == 0 ||
        !PyLong_CheckExact(PyTuple_GET_ITEM(plan->get(), 0))) {
        return PyError::type_error("the Python serialiser's plan is not a tuple starting with its kind");
    }
    const long number = PyLong_AsLong(PyTuple_GET_ITEM(plan->get(), 0));
    if (number < 0 || number > static_cast<long>(Kind::own_repr)) {
        return PyError::type_error("the Python serialiser named an unknown kind of object");
    }
    caches_.plans.remember(object, plan->clone());
    return plan;
}

Outcome Walk::object(PyObject* value, Py_ssize_t depth) {
    auto plan = plan_of(Py_TYPE(value));
    if (!plan) {
        return failed_call(std::move(plan.error()));
    }
    PyObject* steps = plan->get();
    switch (static_cast<Kind>(PyLong_AsLong(PyTuple_GET_ITEM(steps, 0)))) {
        case Kind::identity:
            return identity(value, nullptr);
        case Kind::by_dict:
            return by_dict(value, depth);
        case Kind::as_tuple:
            // Checked again: a plan meant for another type must not make the walk read a non-tuple.
            return PyTuple_Check(value) ? sequence(value, Base::tuple, depth, Context::plain)
                                        : give_up(PyError::type_error("shown as a tuple but not a tuple"));
        case Kind::by_value:
            return by_value(value);
        case Kind::by_fields:
            return by_fields(value, steps, depth);
        case Kind::named_tuple:
            return named_tuple(value, steps, depth);
        case Kind::enumeration:
            return enumeration(value);
        case Kind::interpreter_repr:
            // Functions, generators, coroutines, code objects, frames and cells: their types' reprs
            // are C code of the interpreter writing names and addresses, and a generator pipeline
            // holds thousands of them.
            return Py_IS_TYPE(value, &PyFunction_Type) ? function_repr(value)
                                                       : repr_text(utils::checked(PyObject_Repr(value)));
        case Kind::class_repr:
            return repr_text(utils::checked(PyType_Type.tp_repr(value)));
        case Kind::own_repr:
            return shown_by_repr(steps) ? immutable_repr(value, depth) : ask_python(value, depth);
    }
    return give_up(PyError::type_error("unknown kind of object"));
}

// A function's repr is its qualified name and address: the bytes it came to stand for it while its
// name stays the same object (a namespace of callbacks holds the same functions at every record).
Outcome Walk::function_repr(PyObject* function) {
    PyObject* name = reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
    if (auto known = caches_.function_reprs.written_for(function, name, Py_None)) {
        out_.append(*known);
        return Outcome::written;
    }
    const size_t start = out_.size();
    const Outcome outcome = repr_text(utils::checked(PyObject_Repr(function)));
    if (outcome == Outcome::written && !out_.failed()) {
        caches_.function_reprs.remember(function, name, Py_None, out_.view(start, out_.size()));
    }
    return outcome;
}

bool Walk::shown_by_repr(PyObject* plan) noexcept {
    if (PyTuple_GET_SIZE(plan) != 2 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(plan, 1))) {
        return false;
    }
    const int differs = PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(plan, 1), "repr");
    PyErr_Clear();  // not comparable is not equal
    return differs == 0;
}

// The standard library's types shown by their repr are immutable: what an object came to once
// stands for it while the settings last.
Outcome Walk::immutable_repr(PyObject* value, Py_ssize_t depth) {
    if (const PyRef* known = caches_.reprs.find(value)) {
        out_.append({PyBytes_AS_STRING(known->get()), static_cast<size_t>(PyBytes_GET_SIZE(known->get()))});
        return Outcome::written;
    }
    const size_t start = out_.size();
    const Outcome outcome = ask_python(value, depth);
    if (outcome != Outcome::written || out_.failed()) {
        return outcome;
    }
    const std::string_view written = out_.view(start, out_.size());
    // Out of memory for the copy: not remembered, written again next time.
    if (auto bytes =
            utils::checked(PyBytes_FromStringAndSize(written.data(), static_cast<Py_ssize_t>(written.size())))) {
        caches_.reprs.remember(value, std::move(*bytes));
    }
    return Outcome::written;
}

Outcome Walk::repr_text(Result<PyRef> text) {
    if (!text) {
        return failed_call(std::move(text.error()));
    }
    if (!PyUnicode_CheckExact(text->get())) {
        return give_up(PyError::type_error("a repr written in C is not a str"));
    }
    return shown_object_text(text->get());
}

// The instance dict, read through the type's own "__dict__" descriptor (C code, as the plan made
// sure), as the fields.
Outcome Walk::by_dict(PyObject* value, Py_ssize_t depth) {
    PyTypeObject* type = Py_TYPE(value);
    PyObject* descriptor = _PyType_Lookup(type, hooks_.dict_name);
    if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyGetSetDescr_Type)) {
        return give_up(PyError::type_error("the type's __dict__ descriptor changed"));
    }
    const PyRef keep = PyRef::borrow(descriptor);
    InlineAttributes attributes;
    if (gives_the_managed_dict(descriptor) && read_inline_attributes(value, attributes)) {
        return object_fields(value, nullptr, depth, attributes.count, [&] {
            // As the dict the interpreter would make of them, which no object of the program can be
            // open as.
            if (auto stop = limited_by_size(&PyDict_Type, depth, attributes.count)) {
                return *stop;
            }
            Snapshot<32> pairs(2 * static_cast<size_t>(attributes.count));
            for (Py_ssize_t i = 0; i < attributes.count; ++i) {
                pairs[2 * i] = PyRef::borrow(attributes.names[static_cast<size_t>(i)]);
                pairs[2 * i + 1] = PyRef::borrow(attributes.values[static_cast<size_t>(i)]);
            }
            return pairs_of(pairs.data(), attributes.count, most_from_budget(attributes.count), nullptr, depth);
        });
    }
    auto* owner = reinterpret_cast<PyObject*>(type);
    auto fields = utils::checked(Py_TYPE(descriptor)->tp_descr_get(descriptor, value, owner));
    if (!fields) {
        return give_up(std::move(fields.error()));
    }
    if (!PyDict_Check(fields->get())) {
        return identity(value, nullptr);
    }
    return this->fields(value, nullptr, fields->get(), depth);
}

namespace {

// A plan's field source: where one named field is read from.
enum class Source : uint8_t { dict, member, getset, unknown };

Source source_of(PyObject* descriptor) noexcept {
    if (descriptor == Py_None) {
        return Source::dict;
    }
    if (Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
        return Source::member;
    }
    return Py_IS_TYPE(descriptor, &PyGetSetDescr_Type) ? Source::getset : Source::unknown;
}

// An instance's attributes, read in place where the interpreter keeps them there, else from its
// dict; empty without either.
class InstanceAttributes {
public:
    InstanceAttributes() = default;
    InstanceAttributes(const InstanceAttributes&) = delete;
    InstanceAttributes& operator=(const InstanceAttributes&) = delete;

    // CAUTION: calls the descriptor's getter (C code of the interpreter, as the plan made sure).
    utils::Status read(PyObject* value, PyObject* descriptor) noexcept {
        if (descriptor == Py_None) {
            return {};
        }
        if (!Py_IS_TYPE(descriptor, &PyGetSetDescr_Type)) {
            return PyError::type_error("a plan's dict descriptor is not a getset descriptor");
        }
        in_place_ = gives_the_managed_dict(descriptor) && read_inline_attributes(value, inline_);
        if (in_place_) {
            return {};
        }
        PyGetSetDef* getset = reinterpret_cast<PyGetSetDescrObject*>(descriptor)->d_getset;
        auto dict = utils::checked(getset->get(value, getset->closure));
        VESK_TRY(dict);
        if (PyDict_Check(dict->get())) {
            dict_ = std::move(*dict);
        }
        return {};
    }
    // The attribute `name` (an exact str), borrowed, or null.
    [[nodiscard]] Result<PyObject*> find(PyObject* name) const noexcept {
        if (in_place_) {
            return inline_value(inline_, name);
        }
        if (!dict_) {
            return static_cast<PyObject*>(nullptr);
        }
        PyObject* found = PyDict_GetItemWithError(dict_.get(), name);
        if (found == nullptr && PyErr_Occurred() != nullptr) {
            return PyError::fetch();
        }
        return found;
    }
    // Calls `visit(name, value)` for each attribute, in order, both borrowed.
    template <class Visit>
    void each(Visit&& visit) const {
        if (in_place_) {
            for (Py_ssize_t i = 0; i < inline_.count; ++i) {
                visit(inline_.names[static_cast<size_t>(i)], inline_.values[static_cast<size_t>(i)]);
            }
        } else if (dict_) {
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            PyObject* item = nullptr;
            while (PyDict_Next(dict_.get(), &position, &key, &item)) {
                visit(key, item);
            }
        }
    }
    [[nodiscard]] Py_ssize_t size() const noexcept {
        return in_place_ ? inline_.count : dict_ ? PyDict_GET_SIZE(dict_.get()) : 0;
    }

private:
    InlineAttributes inline_;
    bool in_place_ = false;
    PyRef dict_;
};

bool same_name(PyObject* a, PyObject* b) noexcept { return a == b || PyUnicode_Compare(a, b) == 0; }

}  // namespace

// Slots, dataclasses, attrs classes and exceptions: the plan's named fields that are set (a half-built
// object lacks some), each read through its descriptor or from the instance's attributes, then, where
// the plan says so, the attributes not named.
Outcome Walk::by_fields(PyObject* value, PyObject* plan, Py_ssize_t depth) {
    if (PyTuple_GET_SIZE(plan) != 5 || !PyTuple_CheckExact(PyTuple_GET_ITEM(plan, 1)) ||
        !PyTuple_CheckExact(PyTuple_GET_ITEM(plan, 2)) ||
        PyTuple_GET_SIZE(PyTuple_GET_ITEM(plan, 1)) != PyTuple_GET_SIZE(PyTuple_GET_ITEM(plan, 2))) {
        return give_up(PyError::type_error("a plan of fields is not (kind, names, sources, dict, and_dict)"));
    }
    PyObject* names = PyTuple_GET_ITEM(plan, 1);
    PyObject* sources = PyTuple_GET_ITEM(plan, 2);
    const bool and_dict = PyTuple_GET_ITEM(plan, 4) == Py_True;
    InstanceAttributes attributes;
    if (auto read = attributes.read(value, PyTuple_GET_ITEM(plan, 3)); !read) {
        return give_up(std::move(read.error()));
    }
    const Py_ssize_t named = PyTuple_GET_SIZE(names);
    Snapshot<32> pairs(2 * static_cast<size_t>(named + (and_dict ? attributes.size() : 0)));
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < named; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        PyObject* source = PyTuple_GET_ITEM(sources, i);
        if (!PyUnicode_CheckExact(name)) {
            return give_up(PyError::type_error("a plan's field name is not a str"));
        }
        PyRef found;
        switch (source_of(source)) {
            case Source::dict: {
                auto in_dict = attributes.find(name);
                if (!in_dict) {
                    return give_up(std::move(in_dict.error()));
                }
                found = PyRef::borrow(*in_dict);
                break;
            }
            case Source::member:
                found = PyRef::steal(PyMember_GetOne(reinterpret_cast<const char*>(value),
                                                     reinterpret_cast<PyMemberDescrObject*>(source)->d_member));
                break;
            case Source::getset: {
                PyGetSetDef* getset = reinterpret_cast<PyGetSetDescrObject*>(source)->d_getset;
                found = PyRef::steal(getset->get != nullptr ? getset->get(value, getset->closure) : nullptr);
                break;
            }
            case Source::unknown:
                return give_up(PyError::type_error("a plan's field source is not a descriptor the walk reads"));
        }
        if (!found && PyErr_Occurred() != nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return give_up(PyError::fetch());
            }
            PyErr_Clear();  // Intended: an empty slot, a field not set yet.
        }
        if (found) {
            pairs[2 * count] = PyRef::borrow(name);
            pairs[2 * count + 1] = std::move(found);
            ++count;
        }
    }
    if (and_dict) {
        bool strange = false;
        attributes.each([&](PyObject* name, PyObject* found) {
            if (!PyUnicode_CheckExact(name)) {
                strange = true;  // equal to a named field only by its own __eq__: Python decides
                return;
            }
            for (Py_ssize_t j = 0; j < count; ++j) {
                if (same_name(pairs[2 * j].get(), name)) {
                    return;
                }
            }
            pairs[2 * count] = PyRef::borrow(name);
            pairs[2 * count + 1] = PyRef::borrow(found);
            ++count;
        });
        if (strange) {
            return give_up(PyError::type_error("an instance attribute's name is not a str"));
        }
    }
    return object_fields(value, nullptr, depth, count, [&] {
        if (auto stop = limited_by_size(&PyDict_Type, depth, count)) {
            return *stop;
        }
        return pairs_of(pairs.data(), count, most_from_budget(count), nullptr, depth);
    });
}

Outcome Walk::named_tuple(PyObject* value, PyObject* plan, Py_ssize_t depth) {
    if (PyTuple_GET_SIZE(plan) != 3 || !PyTuple_CheckExact(PyTuple_GET_ITEM(plan, 1)) || !PyTuple_Check(value)) {
        return give_up(PyError::type_error("a plan of a named tuple is not (kind, names, distinct)"));
    }
    if (PyTuple_GET_ITEM(plan, 2) != Py_True) {
        // A name twice: the dict Python makes keeps one of them.
        return give_up(PyError::type_error("a named tuple's field names repeat"));
    }
    PyObject* names = PyTuple_GET_ITEM(plan, 1);
    const Py_ssize_t count = std::min(PyTuple_GET_SIZE(names), PyTuple_GET_SIZE(value));
    Snapshot<32> pairs(2 * static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (!PyUnicode_CheckExact(name)) {
            return give_up(PyError::type_error("a named tuple's field name is not a str"));
        }
        pairs[2 * i] = PyRef::borrow(name);
        pairs[2 * i + 1] = PyRef::borrow(PyTuple_GET_ITEM(value, i));
    }
    return object_fields(value, nullptr, depth, count, [&] {
        if (auto stop = limited_by_size(&PyDict_Type, depth, count)) {
            return *stop;
        }
        return pairs_of(pairs.data(), count, most_from_budget(count), nullptr, depth);
    });
}

// An enum member by its name ("Color.RED"), or a combination of flags by its number ("Perm(5)").
Outcome Walk::enumeration(PyObject* value) {
    PyObject* descriptor = _PyType_Lookup(Py_TYPE(value), hooks_.dict_name);
    if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyGetSetDescr_Type)) {
        return identity(value, nullptr);
    }
    const PyRef keep = PyRef::borrow(descriptor);
    InstanceAttributes attributes;
    if (auto read = attributes.read(value, descriptor); !read) {
        return give_up(std::move(read.error()));
    }
    if (attributes.size() == 0) {
        return identity(value, nullptr);
    }
    auto name = attributes.find(utils::interned().enum_name);
    if (!name) {
        return give_up(std::move(name.error()));
    }
    auto number = attributes.find(utils::interned().enum_value);
    if (!number) {
        return give_up(std::move(number.error()));
    }
    const bool named = *name != nullptr && PyUnicode_CheckExact(*name);
    if (!named && (*number == nullptr || !PyLong_CheckExact(*number))) {
        return identity(value, nullptr);
    }
    auto qualname =
        utils::checked(Py_TYPE(hooks_.qualname_getter)
                           ->tp_descr_get(hooks_.qualname_getter, reinterpret_cast<PyObject*>(Py_TYPE(value)),
                                          reinterpret_cast<PyObject*>(Py_TYPE(Py_TYPE(value)))));
    if (!qualname) {
        return give_up(std::move(qualname.error()));
    }
    if (!PyUnicode_CheckExact(qualname->get())) {
        return give_up(PyError::type_error("an enum's qualified name is not a str"));
    }
    PyObject* shown_by = named ? *name : *number;
    if (auto known = caches_.enum_texts.written_for(value, qualname->get(), shown_by)) {
        out_.append(*known);
        return Outcome::written;
    }
    auto text = utils::checked(named ? PyUnicode_FromFormat("%U.%U", qualname->get(), shown_by)
                                     : PyUnicode_FromFormat("%U(%S)", qualname->get(), shown_by));
    if (!text) {
        return give_up(std::move(text.error()));
    }
    const size_t start = out_.size();
    const Outcome outcome = object_text(text->get());
    if (outcome == Outcome::written && !out_.failed()) {
        caches_.enum_texts.remember(value, qualname->get(), shown_by, out_.view(start, out_.size()));
    }
    return outcome;
}

Outcome Walk::ask_python(PyObject* value, Py_ssize_t depth) {
    auto parts = utils::checked(PyObject_CallOneArg(hooks_.object_parts, value));
    if (!parts) {
        return failed_call(std::move(parts.error()));
    }
    PyObject* shown = parts->get();
    if (PyTuple_CheckExact(shown) && PyTuple_GET_SIZE(shown) == 2 && PyUnicode_CheckExact(PyTuple_GET_ITEM(shown, 0)) &&
        PyDict_Check(PyTuple_GET_ITEM(shown, 1))) {
        return fields(value, PyTuple_GET_ITEM(shown, 0), PyTuple_GET_ITEM(shown, 1), depth);
    }
    if (PyUnicode_CheckExact(shown)) {
        return shown_object_text(shown);  // a repr, redacted and cut here by the limits this walk started with
    }
    return extension(shown);
}

// [type name, {field: value}] as an extension value. `type_name` is an exact str with its lone
// surrogates already escaped, or null for the type's own name.
Outcome Walk::fields(PyObject* value, PyObject* type_name, PyObject* fields, Py_ssize_t depth) {
    return object_fields(value, type_name, depth, PyDict_GET_SIZE(fields),
                         [&] { return mapping(fields, depth, Shape::fields); });
}

template <class WriteFields>
Outcome Walk::object_fields(PyObject* value, PyObject* type_name, Py_ssize_t depth, Py_ssize_t count,
                            WriteFields&& write_fields) {
    if (is_open(value)) {
        out_.ext(MARKER, CYCLE);
        return Outcome::written;
    }
    // A large object inside another (an application's environment or session held by every node of
    // its tree) would cost its whole size in every record of its holders.
    if (depth >= limits_.max_depth || objects_open_ >= limits_.max_object_depth ||
        (objects_open_ > 0 && count > limits_.max_nested_fields)) {
        return identity(value, nullptr);
    }
    Output name;
    if (type_name != nullptr) {
        auto points = code_points(type_name);
        if (!points) {
            return give_up(std::move(points.error()));
        }
        append_utf8(name, *points, points->length);
    } else if (auto named = write_type_name(name, Py_TYPE(value)); !named) {
        return give_up(std::move(named.error()));
    }
    if (shown_.contains(value)) {
        return shown_above(name);
    }
    const size_t mark = out_.begin_ext();
    out_.array_header(2);
    out_.str(name.view(0, name.size()));
    {
        Opened opened(*this, value);
        ++objects_open_;
        const Outcome outcome = write_fields();
        --objects_open_;
        if (outcome != Outcome::written) {
            return outcome;
        }
    }
    out_.end_ext(mark, OBJECT_FIELDS);
    shown_.add(value);
    return Outcome::written;
}

bool Walk::plain_integer(PyObject* value) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        // Positive values in the unsigned forms, as msgpack's packer writes them.
        if (number > 0) {
            out_.unsigned_integer(static_cast<uint64_t>(number));
        } else {
            out_.signed_integer(number);
        }
        return true;
    }
    if (overflow > 0 && _PyLong_NumBits(value) <= 64) {
        out_.unsigned_integer(PyLong_AsUnsignedLongLong(value));
        return true;
    }
    return false;
}
Outcome Walk::big_integer(PyObject* value) {
    const size_t bits = _PyLong_NumBits(value);
    if (bits > MAX_INT_TEXT_BITS) {
        const size_t mark = out_.begin_ext();
        out_.append("<int of ");
        append_decimal(out_, static_cast<int64_t>(bits));
        out_.append(" bits>");
        out_.end_ext(mark, OBJECT_REPR);
        return Outcome::written;
    }
    // int's own decimal form, also for a subclass (whose __str__ or __repr__ must not run).
    auto digits = utils::checked(PyLong_Type.tp_repr(value));
    if (!digits) {
        return give_up(std::move(digits.error()));
    }
    return object_text(digits->get());
}
Outcome Walk::count_marker(PyTypeObject* type, Py_ssize_t count, std::string_view reason) {
    const size_t mark = out_.begin_ext();
    out_.append("<");
    if (auto named = write_type_name(out_, type); !named) {
        return give_up(std::move(named.error()));
    }
    out_.append(" of ");
    append_decimal(out_, count);
    out_.append(" items");
    out_.append(reason);
    out_.end_ext(mark, MARKER);
    return Outcome::written;
}
void Walk::more_marker(Py_ssize_t more) {
    const size_t mark = out_.begin_ext();
    out_.append("<+");
    append_decimal(out_, more);
    out_.append(" more items>");
    out_.end_ext(mark, MARKER);
}
Outcome Walk::extension(PyObject* ext) {
    if (!PyTuple_Check(ext) || PyTuple_GET_SIZE(ext) != 2 || !PyLong_CheckExact(PyTuple_GET_ITEM(ext, 0)) ||
        !PyBytes_CheckExact(PyTuple_GET_ITEM(ext, 1))) {
        return give_up(PyError::type_error("the Python serialiser's object text is not an ExtType"));
    }
    const long code = PyLong_AsLong(PyTuple_GET_ITEM(ext, 0));
    if (code < 0 || code > 127) {
        return give_up(PyError::type_error("the Python serialiser's extension code is out of range"));
    }
    PyObject* data = PyTuple_GET_ITEM(ext, 1);
    out_.ext(static_cast<int8_t>(code), {PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data))});
    return Outcome::written;
}
// A class's name is read where its getters read it (its qualified name in the class, its module in
// its dict) and checked against what its remembered name was made from.
utils::Status Walk::write_type_name(Output& out, PyTypeObject* type) {
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 || type->tp_dict == nullptr) {
        return append_type_name(out, type, hooks_);
    }
    PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
    PyObject* module = PyDict_GetItemWithError(type->tp_dict, utils::interned().dunder_module);
    if (module == nullptr || !PyUnicode_CheckExact(module) || !PyUnicode_CheckExact(qualname)) {
        PyErr_Clear();                               // the getter's error, met again there
        return append_type_name(out, type, hooks_);  // which may run Python code: not remembered
    }
    auto* key = reinterpret_cast<PyObject*>(type);
    if (auto known = caches_.type_names.written_for(key, qualname, module)) {
        out.append(*known);
        return {};
    }
    const size_t start = out.size();
    auto status = append_type_name(out, type, hooks_);  // both exact str: it runs no Python code
    if (status && !out.failed()) {
        caches_.type_names.remember(key, qualname, module, out.view(start, out.size()));
    }
    return status;
}

Outcome Walk::identity(PyObject* value, PyTypeObject* raised) {
    const size_t mark = out_.begin_ext();
    out_.append("<");
    if (auto named = write_type_name(out_, Py_TYPE(value)); !named) {
        return give_up(std::move(named.error()));
    }
    out_.append(" object at ");
    append_hex(out_, reinterpret_cast<uintptr_t>(value));
    if (raised != nullptr) {
        out_.append("; repr raised ");
        if (auto named = write_type_name(out_, raised); !named) {
            return give_up(std::move(named.error()));
        }
    }
    out_.append(">");
    out_.end_ext(mark, OBJECT_REPR);
    return Outcome::written;
}

// The text standing for an object, cut like any text; inside an extension value a lone surrogate
// is always escaped.
Outcome Walk::object_text(PyObject* text) {
    auto points = code_points(text);
    if (!points) {
        return give_up(std::move(points.error()));
    }
    const bool cut = points->length > limits_.max_string;
    const size_t mark = out_.begin_ext();
    append_utf8(out_, *points, cut ? limits_.max_string : points->length);
    if (cut) {
        out_.append(cut_suffix(points->length - limits_.max_string, "chars").view());
    }
    out_.end_ext(mark, OBJECT_REPR);
    return Outcome::written;
}

// The same for a repr, where a secret may show: found by its shape and replaced first.
Outcome Walk::shown_object_text(PyObject* text) {
    auto points = code_points(text);
    if (!points) {
        return give_up(std::move(points.error()));
    }
    const Py_ssize_t searched = searched_length(points->length);
    auto head = redacted_head(text, *points, searched, false);
    if (!head) {
        return give_up(std::move(head.error()));
    }
    if (!*head) {
        return object_text(text);
    }
    auto shown = code_points(head->get());
    if (!shown) {
        return give_up(std::move(shown.error()));
    }
    const Py_ssize_t count = std::min(shown->length, limits_.max_string);
    const Py_ssize_t unseen = points->length - searched;
    const size_t mark = out_.begin_ext();
    append_utf8(out_, *shown, count);
    if (count < shown->length || unseen > 0) {
        out_.append(cut_suffix(shown->length - count + unseen, "chars").view());
    }
    out_.end_ext(mark, OBJECT_REPR);
    return Outcome::written;
}

}  // namespace vesk::serialize
