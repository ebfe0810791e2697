#include "serialize/walk.hpp"

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
// How far past the cut a text is searched for secrets (vesk.serialize._SEARCH_BEYOND_CUT).
constexpr Py_ssize_t SEARCH_BEYOND_CUT = 256;
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

}  // namespace

// Where one entry of a dict being written starts, and whether its key was changed on the way (cut,
// escaped, or turned into an object's text): a changed key may now equal another key.
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

Walk::Walk(const Settings& settings, bool light, bool safe_text, Output& out) noexcept
    : limits_(settings.limits),
      hooks_(settings.hooks),
      light_(light),
      safe_text_(safe_text),
      out_(out),
      budget_(settings.limits.max_total) {}

Py_ssize_t Walk::take_from_budget(Py_ssize_t wanted) noexcept {
    const Py_ssize_t take = std::max<Py_ssize_t>(0, std::min({wanted, limits_.max_items, budget_}));
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
        return text(value, nullptr);
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
        return bytes(value);
    }
    if (PyDict_Check(value)) {
        return mapping(value, depth);
    }
    if (PyList_Check(value)) {
        return sequence(value, Base::list, depth);
    }
    if (PyTuple_Check(value)) {
        // Named tuples are shown by their fields, except by the lightweight variant.
        return type == &PyTuple_Type || light_ ? sequence(value, Base::tuple, depth) : object(value, depth);
    }
    if (PyAnySet_Check(value)) {
        return sequence(value, Base::set, depth);
    }
    if (!light_) {
        return object(value, depth);
    }
    if (PyUnicode_Check(value) || PyLong_Check(value) || PyFloat_Check(value)) {
        return by_value(value);
    }
    return identity(value, nullptr);
}

// Subclasses of str, int and float keep their value, read without running code of the subclass.
Outcome Walk::by_value(PyObject* value) {
    if (PyUnicode_Check(value)) {
        // An exact copy: the Python serialiser's text rules then run no method of the subclass.
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

// An exact str, with the secrets recognised by their shape replaced (by the Python serialiser, for
// the few texts that may hold one), then cut.
Outcome Walk::text(PyObject* text, bool* changed) {
    constexpr Py_ssize_t SHORT = 64;
    if (PyUnicode_IS_COMPACT_ASCII(text) && PyUnicode_GET_LENGTH(text) <= SHORT &&
        !may_hold_trigger(static_cast<const Py_UCS1*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text))) {
        return unredacted_text(text, changed);
    }
    auto points = code_points(text);
    if (!points) {
        return give_up(std::move(points.error()));
    }
    // The search stops where the Python serialiser's does; `max_string` may be as large as any size.
    const Py_ssize_t searched = limits_.max_string > points->length - SEARCH_BEYOND_CUT
                                    ? points->length
                                    : limits_.max_string + SEARCH_BEYOND_CUT;
    if (!has_redaction_trigger(*points, searched)) {
        return unredacted_text(text, changed);
    }
    auto shown = utils::checked(PyObject_CallOneArg(hooks_.redact_text, text));
    if (!shown) {
        return failed_call(std::move(shown.error()));
    }
    if (shown->get() == text) {
        return unredacted_text(text, changed);
    }
    if (!PyUnicode_CheckExact(shown->get())) {
        return give_up(PyError::type_error("the Python serialiser's redacted text is not a str"));
    }
    const Outcome outcome = unredacted_text(shown->get(), changed);
    if (changed != nullptr) {
        *changed = true;
    }
    return outcome;
}

Outcome Walk::unredacted_text(PyObject* text, bool* changed) {
    if (PyUnicode_IS_COMPACT_ASCII(text) && PyUnicode_GET_LENGTH(text) <= limits_.max_string) {
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
    const bool cut = points->length > limits_.max_string;
    const Py_ssize_t count = cut ? limits_.max_string : points->length;
    const Utf8Size size = utf8_size(*points, count, safe_text_ ? Surrogates::escape : Surrogates::refuse);
    if (size.surrogates && !safe_text_) {
        return Outcome::unencodable_text;
    }
    Suffix suffix;
    if (cut) {
        suffix = cut_suffix(points->length - limits_.max_string, "chars");
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

// Writes an int (or int subclass) that MessagePack holds as an integer; false if it needs more than
// 64 bits.
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

Outcome Walk::bytes(PyObject* value) {
    const Py_ssize_t size = PyBytes_GET_SIZE(value);
    const char* data = PyBytes_AS_STRING(value);
    if (size <= limits_.max_string) {
        out_.bin({data, static_cast<size_t>(size)});
        return Outcome::written;
    }
    auto head = utils::checked(PyBytes_FromStringAndSize(data, limits_.max_string));
    if (!head) {
        return give_up(std::move(head.error()));
    }
    auto shown = utils::checked(PyObject_Repr(head->get()));
    if (!shown) {
        return give_up(std::move(shown.error()));
    }
    auto points = code_points(shown->get());
    if (!points) {
        return give_up(std::move(points.error()));
    }
    const size_t mark = out_.begin_ext();
    append_utf8(out_, *points, points->length);
    out_.append(cut_suffix(size - limits_.max_string, "bytes").view());
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

Outcome Walk::count_marker(PyTypeObject* type, Py_ssize_t count, std::string_view reason) {
    const size_t mark = out_.begin_ext();
    out_.append("<");
    if (auto named = append_type_name(out_, type, hooks_); !named) {
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

Result<bool> Walk::is_secret(PyObject* name) {
    if (const auto known = hooks_.verdicts->find(name)) {
        return *known;
    }
    // Then the Python serialiser's cache, shared: a hit costs one dict lookup, a miss asks
    // `_is_secret`, which fills the cache.
    PyObject* hit = PyDict_GetItemWithError(hooks_.secret_cache, name);
    if (hit == Py_True || hit == Py_False) {
        hooks_.verdicts->remember(name, hit == Py_True);
        return hit == Py_True;
    }
    PyRef answer;
    if (hit != nullptr && hit != Py_None) {
        answer = PyRef::borrow(hit);
    } else if (PyErr_Occurred() != nullptr) {
        return PyError::fetch();
    } else {
        auto asked = utils::checked(PyObject_CallOneArg(hooks_.is_secret, name));
        VESK_TRY(asked);
        answer = std::move(*asked);
    }
    const int truth = PyObject_IsTrue(answer.get());
    if (truth < 0) {
        return PyError::fetch();
    }
    hooks_.verdicts->remember(name, truth != 0);
    return truth != 0;
}

// A (name, value) pair, as in a list of headers (bytes in ASGI), is redacted by its name like a dict
// entry.
Result<bool> Walk::is_secret_pair(PyObject* name) {
    if (PyUnicode_CheckExact(name)) {
        return is_secret(name);
    }
    if (!PyBytes_CheckExact(name)) {
        return false;
    }
    auto text = utils::checked(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name), nullptr));
    VESK_TRY(text);
    return is_secret(text->get());
}

Outcome Walk::mapping(PyObject* value, Py_ssize_t depth) {
    const Py_ssize_t count = PyDict_GET_SIZE(value);
    if (auto stop = limited(value, depth, count)) {
        return *stop;
    }
    const Py_ssize_t take = take_from_budget(count);
    // Taken before converting: a repr may change the dict, which would break the iteration.
    Snapshot<32> pairs(2 * static_cast<size_t>(take));
    Py_ssize_t taken = 0;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (taken < take && PyDict_Next(value, &position, &key, &item)) {
        pairs[2 * taken] = PyRef::borrow(key);
        pairs[2 * taken + 1] = PyRef::borrow(item);
        ++taken;
    }
    return mapping_of(value, pairs.data(), taken, count - take, depth);
}

Outcome Walk::inline_fields(const InlineAttributes& attributes, Py_ssize_t depth) {
    // As the dict the interpreter would make of them, which no object of the program can be open as.
    if (auto stop = limited_by_size(&PyDict_Type, depth, attributes.count)) {
        return *stop;
    }
    const Py_ssize_t take = take_from_budget(attributes.count);
    Snapshot<32> pairs(2 * static_cast<size_t>(take));
    for (Py_ssize_t i = 0; i < take; ++i) {
        pairs[2 * i] = PyRef::borrow(attributes.names[static_cast<size_t>(i)]);
        pairs[2 * i + 1] = PyRef::borrow(attributes.values[static_cast<size_t>(i)]);
    }
    return mapping_of(nullptr, pairs.data(), take, attributes.count - take, depth);
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
    return mapping_of(nullptr, pairs.data(), taken, bound - take, 0);
}

// A map of the `taken` pairs, then a marker for `more` left out. `container` is the object the
// pairs come from, open while they are converted.
Outcome Walk::mapping_of(PyObject* container, const PyRef* pairs, Py_ssize_t taken, Py_ssize_t more, Py_ssize_t depth) {
    const size_t start = out_.size();
    const size_t entry_count = static_cast<size_t>(taken) + (more > 0 ? 1 : 0);
    out_.map_header(entry_count);
    Scratch<Entry, 16> written(entry_count);
    {
        Opened opened(*this, container);
        const Outcome outcome = entries(pairs, taken, written.data(), depth);
        if (outcome != Outcome::written) {
            return outcome;
        }
    }
    if (more > 0) {
        Entry& last = written[static_cast<size_t>(taken)];
        last.key = out_.size();
        out_.ext(MARKER, ELLIPSIS);
        last.value = out_.size();
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
        if (PyUnicode_CheckExact(key)) {
            auto secret = is_secret(key);
            if (!secret) {
                return give_up(std::move(secret.error()));
            }
            if (const Outcome outcome = text(key, &entry.changed); outcome != Outcome::written) {
                return outcome;
            }
            entry.value = out_.size();
            if (*secret) {
                out_.ext(MARKER, REDACTED);
                continue;
            }
        } else {
            if (const Outcome outcome = this->key(key, &entry.changed); outcome != Outcome::written) {
                return outcome;
            }
            entry.value = out_.size();
        }
        if (const Outcome outcome = value(item, depth + 1); outcome != Outcome::written) {
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

Outcome Walk::sequence(PyObject* value, Base base, Py_ssize_t depth) {
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
    if (base == Base::tuple && taken == 2 && count == 2) {
        auto secret = is_secret_pair(items[0].get());
        if (!secret) {
            return give_up(std::move(secret.error()));
        }
        if (*secret) {
            out_.array_header(2);
            if (const Outcome outcome = this->value(items[0].get(), depth + 1); outcome != Outcome::written) {
                return outcome;
            }
            out_.ext(MARKER, REDACTED);
            return Outcome::written;
        }
    }
    const Py_ssize_t more = count - take;
    out_.array_header(static_cast<size_t>(taken) + (more > 0 ? 1 : 0));
    {
        Opened opened(*this, value);
        for (Py_ssize_t i = 0; i < taken; ++i) {
            if (const Outcome outcome = this->value(items[static_cast<size_t>(i)].get(), depth + 1);
                outcome != Outcome::written) {
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
        out_.bin({PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key))});
        return Outcome::written;
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

Outcome Walk::object(PyObject* value, Py_ssize_t depth) {
    auto kind = kind_of(Py_TYPE(value));
    if (!kind) {
        return failed_call(std::move(kind.error()));
    }
    switch (*kind) {
        case Kind::identity:
            return identity(value, nullptr);
        case Kind::by_dict:
            return by_dict(value, depth);
        case Kind::as_tuple:
            // Checked again: an answer meant for another type must not make the walk read a non-tuple.
            return PyTuple_Check(value) ? sequence(value, Base::tuple, depth)
                                        : give_up(PyError::type_error("shown as a tuple but not a tuple"));
        case Kind::by_value:
            return by_value(value);
        case Kind::ask_python:
            return ask_python(value, depth);
        case Kind::interpreter_repr:
            return interpreter_repr(value);
    }
    return give_up(PyError::type_error("unknown kind of object"));
}

Result<Kind> Walk::kind_of(PyTypeObject* type) {
    auto* object = reinterpret_cast<PyObject*>(type);
    if (const auto known = hooks_.kinds->find(object)) {
        return *known;
    }
    auto answer = utils::checked(PyObject_CallOneArg(hooks_.native_kind, object));
    VESK_TRY(answer);
    const long number = PyLong_AsLong(answer->get());
    if (number == -1 && PyErr_Occurred() != nullptr) {
        return PyError::fetch();
    }
    if (number < 0 || number > static_cast<long>(Kind::interpreter_repr)) {
        return PyError::type_error("the Python serialiser named an unknown kind of object");
    }
    const auto kind = static_cast<Kind>(number);
    hooks_.kinds->remember(object, kind);
    return kind;
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
    if (gives_the_managed_dict(descriptor)) {
        if (auto attributes = inline_attributes(value)) {
            return object_fields(value, nullptr, depth, [&] { return inline_fields(*attributes, depth); });
        }
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
        return object_text(shown);  // a repr, cut here by the limits this walk started with
    }
    return extension(shown);
}

// Functions, generators, coroutines, code objects, frames and cells: their types' reprs are C code of
// the interpreter, writing names and addresses (no code of the program runs, no secret can hide), and
// a generator pipeline holds thousands of them, each a call into Python if asked for there.
Outcome Walk::interpreter_repr(PyObject* value) {
    auto text = utils::checked(PyObject_Repr(value));
    if (!text) {
        return failed_call(std::move(text.error()));
    }
    return object_text(text->get());
}

// [type name, {field: value}] as an extension value. `type_name` is an exact str with its lone
// surrogates already escaped, or null for the type's own name.
Outcome Walk::fields(PyObject* value, PyObject* type_name, PyObject* fields, Py_ssize_t depth) {
    return object_fields(value, type_name, depth, [&] { return mapping(fields, depth); });
}

template <class WriteFields>
Outcome Walk::object_fields(PyObject* value, PyObject* type_name, Py_ssize_t depth, WriteFields&& write_fields) {
    if (is_open(value)) {
        out_.ext(MARKER, CYCLE);
        return Outcome::written;
    }
    if (depth >= limits_.max_depth || objects_open_ >= limits_.max_object_depth) {
        return identity(value, nullptr);
    }
    const size_t mark = out_.begin_ext();
    out_.array_header(2);
    Output name;
    if (type_name != nullptr) {
        auto points = code_points(type_name);
        if (!points) {
            return give_up(std::move(points.error()));
        }
        append_utf8(name, *points, points->length);
    } else if (auto named = append_type_name(name, Py_TYPE(value), hooks_); !named) {
        return give_up(std::move(named.error()));
    }
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
    return Outcome::written;
}

// An ExtType the Python serialiser made.
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

Outcome Walk::identity(PyObject* value, PyTypeObject* raised) {
    const size_t mark = out_.begin_ext();
    out_.append("<");
    if (auto named = append_type_name(out_, Py_TYPE(value), hooks_); !named) {
        return give_up(std::move(named.error()));
    }
    out_.append(" object at ");
    append_hex(out_, reinterpret_cast<uintptr_t>(value));
    if (raised != nullptr) {
        out_.append("; repr raised ");
        if (auto named = append_type_name(out_, raised, hooks_); !named) {
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

}  // namespace vesk::serialize
