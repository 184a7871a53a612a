// The dict-backed record classes: QuoteItemLikeDict2, TickLikeDict2, BarLikeDict2 and
// ObjectLikeDict2.
//
// Each is an ordinary class made by calling the metaclass with a prepared namespace, the way a
// class statement makes it: one slot, `data`, holding the mapping every method works on. A record
// checks nothing itself; every failure comes from the mapping or from argument binding.
//
// The tick and bar fields are read in the package's hottest loops, so the records take shortcuts
// where the outcome cannot differ from the plain Python meaning:
//   - `self.data` is read straight from the slot when the instance's type is exactly the class
//     and the class is as it was made (see `direct_slot`);
//   - `.get(key)` on an exact dict is a dict lookup, `[key] = value` a dict store;
//   - subscripts and attribute lookups reach the method bodies without a method lookup, through
//     type slots of the class's own (see "direct slots");
//   - keys are interned strings, and every function is entered through vectorcall.
#include "records/records.hpp"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "module/compat.hpp"
#include "module/globals.hpp"
#include "module/ref.hpp"
#include "records/function.hpp"

namespace csdk::records {

// What the functions of one class share. Made with the class and kept for the process (the
// module is never unloaded), so the strong references here keep the originals they are compared
// with alive: an identity test can never be fooled by a new object at a recycled address.
struct record_class {
    PyTypeObject* cls;       // the class
    PyObject* member;        // the member descriptor of its `data` slot
    PyObject* getattr_fn;    // its own __getattr__, __setattr__, __getitem__ and __setitem__
    PyObject* setattr_fn;
    PyObject* getitem_fn;
    PyObject* setitem_fn;
    getattrofunc hook;       // the interpreter's attribute hook the class got for its __getattr__
    Py_ssize_t offset;       // of the slot in an instance; 0 when the slot cannot be read directly
    PyMemberDef* member_def; // the slot's member definition (with `offset`)
    compat::type_stamp made;     // the class's stamp when it was last found as made
    compat::type_stamp changed;  // its stamp when it was last found changed

    // The properties, for reading a field without the interpreter's lookup (see `field_getter`).
    // All strong: an identity test against them can never match a new object at a recycled address.
    static constexpr std::size_t max_fields = 16;
    std::size_t fields = 0;              // 0: no direct field reads for this class
    PyObject* field_names[max_fields];   // interned
    PyObject* field_props[max_fields];   // the property objects as the class got them
    PyObject* field_getters[max_fields]; // the getter each of them was made with
    compat::type_stamp fields_made;      // the class's stamp when its fields were last found as made
    compat::type_stamp fields_changed;   // its stamp when they were last found changed
};

namespace {

struct strings {
    PyObject *data, *get, *str, *repr, *getattribute, *getattr, *setattr, *getitem, *setitem, *delitem;
    PyObject *setter, *prepare, *module, *qualname, *slots, *object, *property;
};
strings s;

int init_strings() noexcept {
    struct { PyObject** slot; const char* text; } table[] = {
        {&s.data, "data"}, {&s.get, "get"}, {&s.str, "__str__"}, {&s.repr, "__repr__"},
        {&s.getattribute, "__getattribute__"}, {&s.getattr, "__getattr__"}, {&s.setattr, "__setattr__"},
        {&s.getitem, "__getitem__"}, {&s.setitem, "__setitem__"}, {&s.delitem, "__delitem__"},
        {&s.setter, "setter"}, {&s.prepare, "__prepare__"},
        {&s.module, "__module__"}, {&s.qualname, "__qualname__"}, {&s.slots, "__slots__"},
        {&s.object, "object"}, {&s.property, "property"},
    };
    for (auto& e : table)
        if (!*e.slot && !(*e.slot = PyUnicode_InternFromString(e.text))) return -1;
    return 0;
}

PyObject* object_namespace = nullptr;     // object's namespace
PyObject* object_getattribute = nullptr;  // object.__getattribute__, as found there

// ---- the type's attribute machinery ----------------------------------------------------------

// The first `name` along the type's method resolution order, as a new reference; null when there
// is none (no exception) or on error.
PyObject* find_in_mro(PyTypeObject* type, PyObject* name) noexcept {
    ref mro = ref::steal(compat::type_mro(type));
    if (!mro || !PyTuple_Check(mro.get())) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) continue;
        ref dict = ref::steal(compat::type_dict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) {
            if (PyErr_Occurred()) return nullptr;
            continue;
        }
        PyObject* value;
        if (compat::dict_get_ref(dict.get(), name, &value) != 0) return value;
    }
    return nullptr;
}

// ---- iteration ---------------------------------------------------------------------------------
// A record has __getitem__ and no __iter__, and its item reads never fail (absent keys read as
// None). Left alone, iter(), list(), unpacking and `in` (without __contains__) would fall back to
// indexing with 0, 1, 2, ... and never stop. The records are mappings to their users, not
// sequences, and nothing in a record's namespace says how to iterate it, so a record is simply
// not iterable: TypeError, as for any object without iteration. (Delegating to the mapping would
// make iteration work through a door the class does not show: the class would still not be an
// Iterable, and __iter__ would be missing from it.) `key in record` then raises the interpreter's
// "argument of type ... is not iterable"; BarLikeDict2 answers membership with its __contains__.
//
// The refusal lives in the type's tp_iter slot, not in the namespace. The interpreter recomputes
// that slot from the namespace when __iter__ is assigned to or deleted from the class or __bases__
// is assigned, and gives every subclass a slot of its own without it. So the refusal is put back
// wherever the records meet such a type: when a changed class is examined again (`recheck`), and
// whenever a method runs for an instance of a subclass or of a changed class -- __init__ first of
// all, so a subclass's instances are covered from their construction on. It is put back only
// while the index fallback would run one of the records' own __getitem__: a subclass that made
// itself a real sequence keeps its iteration.

PyObject* not_iterable(PyObject* self) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyObject* body_getitem(function_object* fn, PyObject* const* args);
constexpr vectorcallfunc getitem_entry = call_parameters<2, body_getitem>;

// Free-threaded, the slot is read and written as an atomic, and the repair itself is done under
// the type's own lock, so two threads meeting the same subclass repair it once.
inline getiterfunc iter_slot(PyTypeObject* type) noexcept {
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<getiterfunc>(type->tp_iter).load(std::memory_order_relaxed);
#else
    return type->tp_iter;
#endif
}

void repair_iteration(PyTypeObject* type) noexcept {
    if (iter_slot(type) != nullptr) return;
    ref getitem = ref::steal(find_in_mro(type, s.getitem));
    if (!getitem) {
        PyErr_Clear();
        return;
    }
    if (!Py_IS_TYPE(getitem.get(), function_type) || as_function(getitem.get())->vectorcall != getitem_entry) return;
#ifdef Py_GIL_DISABLED
    std::atomic_ref<getiterfunc>(type->tp_iter).store(not_iterable, std::memory_order_relaxed);
#else
    type->tp_iter = not_iterable;
#endif
    PyType_Modified(type);
}

void keep_not_iterable(PyTypeObject* type) noexcept {
    if (CSDK_LIKELY(iter_slot(type) != nullptr) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return;
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(type);
    repair_iteration(type);
    Py_END_CRITICAL_SECTION();
#else
    repair_iteration(type);
#endif
}

// ---- reading `data` ----------------------------------------------------------------------------

inline PyObject** slot_at(PyObject* self, Py_ssize_t offset) noexcept {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

// Whether the class is as it was made, in everything `self.data` (read or written through
// `self.data = ...`) and super(<class>, self).__setattr__ depend on: the method resolution order
// is (class, object), `data` is still the slot's member descriptor, no __getattribute__ was
// added, and __getattr__ and __setattr__ are still the class's own.
bool as_made(const record_class* rc) noexcept {
    PyTypeObject* type = rc->cls;
    ref held = ref::steal(compat::type_mro(type));
    PyObject* mro = held.get();
    if (!mro || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 2 ||
        PyTuple_GET_ITEM(mro, 0) != reinterpret_cast<PyObject*>(type) ||
        PyTuple_GET_ITEM(mro, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type))
        return false;
    // The namespace of a class has only exact str keys: these lookups run no Python code. What they
    // find is only compared with objects the record class holds: no reference is needed.
    PyObject* dict = type->tp_dict;
    bool same = PyDict_GetItemWithError(dict, s.data) == rc->member &&
                PyDict_GetItemWithError(dict, s.getattr) == rc->getattr_fn &&
                PyDict_GetItemWithError(dict, s.setattr) == rc->setattr_fn &&
                PyDict_GetItemWithError(dict, s.getattribute) == nullptr;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return same;
}

// The slow half of direct_slot. A type's stamp (compat.hpp) stays the same exactly while its
// namespace and bases do, so a class found as made stays as made while it keeps the stamp it had
// then, and one found changed stays changed.
CSDK_COLD PyObject** recheck(function_object* fn, PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    record_class* rc = fn->owner;
    if (reinterpret_cast<PyObject*>(type) != fn->cls || rc->offset == 0) return nullptr;
    keep_not_iterable(type);
    if (rc->changed.matches(type)) return nullptr;
    auto stamp = compat::type_stamp::before_examining(type, "class stamp");
    if (!as_made(rc)) {
        rc->changed.keep(stamp);
        return nullptr;
    }
    return rc->made.keep(stamp) ? slot_at(self, rc->offset) : nullptr;
}

// The instance's `data` slot when `type(self)` is exactly the function's class and that class is
// as it was made; null when `self.data` must be looked up the ordinary way.
inline PyObject** direct_slot(function_object* fn, PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    const record_class* rc = fn->owner;
    if (CSDK_LIKELY(reinterpret_cast<PyObject*>(type) == fn->cls && rc->made.matches(type)))
        return slot_at(self, rc->offset);
    return recheck(fn, self);
}

// An empty slot: the error the slot's descriptor gives, an AttributeError naming `data`.
CSDK_COLD PyObject* empty_slot(PyObject* self) noexcept { return PyObject_GenericGetAttr(self, s.data); }

// The slot's value as a new reference, or the empty slot's error. Free-threaded, another thread
// can assign `rec.data` at any instant and free the value just read: there the interpreter's own
// member access reads it (an atomic load, and a reference taken only if the slot still holds it).
inline PyObject* load_slot(function_object* fn, PyObject* self, PyObject** slot) noexcept {
#ifdef Py_GIL_DISABLED
    (void)slot;
    return PyMember_GetOne(reinterpret_cast<const char*>(self), fn->owner->member_def);
#else
    (void)fn;
    return CSDK_LIKELY(*slot != nullptr) ? Py_NewRef(*slot) : empty_slot(self);
#endif
}

// `self.data` the ordinary way, for a type other than the class or a changed class.
CSDK_COLD PyObject* lookup_data(PyObject* self) noexcept {
    keep_not_iterable(Py_TYPE(self));
    return PyObject_GetAttr(self, s.data);
}

// `self.data` as a new reference.
inline PyObject* read_data(function_object* fn, PyObject* self) noexcept {
    if (PyObject** slot = direct_slot(fn, self)) return load_slot(fn, self, slot);
    return lookup_data(self);
}

// `self.data` through type(self).__getattribute__ alone. The ordinary lookup falls back to
// __getattr__ when `data` is missing, and the records' __getattr__ reads `self.data` itself: a
// missing `data` would recurse until RecursionError. So when __getattr__ is asked for `data` --
// which the interpreter does exactly when __getattribute__ could not find it -- it reads `data`
// without the fallback, and a missing `data` is the AttributeError naming it. (Asked for `data`
// directly while the slot is filled, the outcome is the ordinary one.)
CSDK_COLD PyObject* read_data_without_fallback(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    ref getattribute = ref::steal(find_in_mro(type, s.getattribute));
    if (!getattribute) return PyErr_Occurred() ? nullptr : PyObject_GenericGetAttr(self, s.data);
    if (getattribute.get() == object_getattribute) return PyObject_GenericGetAttr(self, s.data);
    // What the hook does with a __getattribute__ of the class's own.
    if (PyType_HasFeature(Py_TYPE(getattribute.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        PyObject* args[] = {self, s.data};
        return PyObject_Vectorcall(getattribute.get(), args, 2, nullptr);
    }
    if (descrgetfunc bind = Py_TYPE(getattribute.get())->tp_descr_get) {
        getattribute = ref::steal(bind(getattribute.get(), self, reinterpret_cast<PyObject*>(type)));
        if (!getattribute) return nullptr;
    }
    return PyObject_CallOneArg(getattribute.get(), s.data);
}

inline bool names_data(PyObject* item) noexcept {
    return item == s.data || (PyUnicode_Check(item) && PyUnicode_Compare(item, s.data) == 0);
}

// ---- the mapping -------------------------------------------------------------------------------

// data.get(key)
inline PyObject* get_from(PyObject* data, PyObject* key) noexcept {
    if (CSDK_LIKELY(PyDict_CheckExact(data))) {
        // dict.get on an exact dict is this lookup, absent keys reading as None.
#if PY_VERSION_HEX >= 0x030D0000 && defined(Py_GIL_DISABLED)
        PyObject* value;
        int found = PyDict_GetItemRef(data, key, &value);
        if (CSDK_LIKELY(found > 0)) return value;
        return found < 0 ? nullptr : Py_NewRef(Py_None);
#else
        PyObject* value = PyDict_GetItemWithError(data, key);
        if (CSDK_LIKELY(value != nullptr)) return Py_NewRef(value);
        return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
#endif
    }
    PyObject* stack[] = {nullptr, data, key};
    return PyObject_VectorcallMethod(s.get, stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// data[key] = value; None
inline PyObject* store_in(PyObject* data, PyObject* key, PyObject* value) noexcept {
    int status = CSDK_LIKELY(PyDict_CheckExact(data)) ? PyDict_SetItem(data, key, value)
                                                       : PyObject_SetItem(data, key, value);
    if (CSDK_UNLIKELY(status < 0)) return nullptr;
    Py_RETURN_NONE;
}

// data.<name>(): the method looked up on the object, as the call expression does.
PyObject* call_on(PyObject* data, PyObject* name) noexcept {
    PyObject* stack[] = {nullptr, data};
    return PyObject_VectorcallMethod(name, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Fills the slot; None. Free-threaded, through the interpreter's member access, which stores
// under the instance's lock and lets readers that raced with it keep what they read.
inline PyObject* fill_slot(function_object* fn, PyObject* self, PyObject** slot, PyObject* value) noexcept {
#ifdef Py_GIL_DISABLED
    (void)slot;
    if (PyMember_SetOne(reinterpret_cast<char*>(self), fn->owner->member_def, value) < 0) return nullptr;
#else
    (void)fn;
    (void)self;
    PyObject* old = *slot;
    *slot = Py_NewRef(value);
    Py_XDECREF(old);
#endif
    Py_RETURN_NONE;
}

// ---- method bodies -------------------------------------------------------------------------------

// __init__(self, data): self.data = data
PyObject* body_init(function_object* fn, PyObject* const* args) {
    PyObject* self = args[0];
    // As made, the assignment goes through the class's own __setattr__ to object.__setattr__ and
    // ends in the slot.
    if (PyObject** slot = direct_slot(fn, self)) return fill_slot(fn, self, slot, args[1]);
    keep_not_iterable(Py_TYPE(self));  // every instance of a subclass passes here first
    if (PyObject_SetAttr(self, s.data, args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __getitem__(self, item): self.data.get(item)
PyObject* body_getitem(function_object* fn, PyObject* const* args) {
    ref data = ref::steal(read_data(fn, args[0]));
    if (CSDK_UNLIKELY(!data)) return nullptr;
    return get_from(data.get(), args[1]);
}

// __getattr__(self, item): self.data.get(item)
PyObject* body_getattr(function_object* fn, PyObject* const* args) {
    PyObject* self = args[0];
    ref data;
    if (PyObject** slot = direct_slot(fn, self)) {
        data = ref::steal(load_slot(fn, self, slot));
    } else {
        data = ref::steal(names_data(args[1]) ? read_data_without_fallback(self) : lookup_data(self));
    }
    if (CSDK_UNLIKELY(!data)) return nullptr;
    return get_from(data.get(), args[1]);
}

// __setitem__(self, item, value): self.data[item] = value
PyObject* body_setitem(function_object* fn, PyObject* const* args) {
    ref data = ref::steal(read_data(fn, args[0]));
    if (CSDK_UNLIKELY(!data)) return nullptr;
    return store_in(data.get(), args[1], args[2]);
}

// `item != "data"` as Python decides it: an exact str by its text, anything else (str subclasses
// included) by its own comparison and truth value. 1 different, 0 equal, -1 error.
inline int differs_from_data(PyObject* item) noexcept {
    if (item == s.data) return 0;
    if (CSDK_LIKELY(PyUnicode_CheckExact(item)))
        return PyUnicode_GET_LENGTH(item) != 4 || PyUnicode_Compare(item, s.data) != 0;
    ref result = ref::steal(PyObject_RichCompare(item, s.data, Py_NE));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// super(<class>, self).__setattr__(item, value), <class> being the class defining the function
// (the class a zero-argument super() would use).
CSDK_COLD PyObject* set_through_super(function_object* fn, PyObject* self, PyObject* item, PyObject* value) noexcept {
    if (!fn->cls) {  // called while its class was still being made
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell is empty");
        return nullptr;
    }
    PyObject* super_type = reinterpret_cast<PyObject*>(&PySuper_Type);
    ref super = ref::steal(PyObject_CallFunctionObjArgs(super_type, fn->cls, self, nullptr));
    if (!super) return nullptr;
    ref method = ref::steal(PyObject_GetAttr(super.get(), s.setattr));
    if (!method) return nullptr;
    PyObject* args[] = {item, value};
    return PyObject_Vectorcall(method.get(), args, 2, nullptr);
}

// __setattr__(self, item, value): self.data[item] = value unless item == "data", which goes to
// super(<class>, self).__setattr__ (the slot).
PyObject* body_setattr(function_object* fn, PyObject* const* args) {
    PyObject *self = args[0], *item = args[1], *value = args[2];
    int differs = differs_from_data(item);
    if (CSDK_UNLIKELY(differs < 0)) return nullptr;
    if (CSDK_LIKELY(differs)) {
        ref data = ref::steal(read_data(fn, self));
        if (CSDK_UNLIKELY(!data)) return nullptr;
        return store_in(data.get(), item, value);
    }
    if (PyObject** slot = direct_slot(fn, self)) {
        // As made, super(<class>, self).__setattr__ is object.__setattr__, and "data" is the slot.
        if (PyUnicode_CheckExact(item)) return fill_slot(fn, self, slot, value);
        if (PyObject_GenericSetAttr(self, item, value) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    return set_through_super(fn, self, item, value);
}

// __str__(self) / __repr__(self): self.data.__str__() / self.data.__repr__()
PyObject* body_str(function_object* fn, PyObject* const* args) {
    ref data = ref::steal(read_data(fn, args[0]));
    return data ? call_on(data.get(), s.str) : nullptr;
}

PyObject* body_repr(function_object* fn, PyObject* const* args) {
    ref data = ref::steal(read_data(fn, args[0]));
    return data ? call_on(data.get(), s.repr) : nullptr;
}

// __contains__(self, key): key in self.data
PyObject* body_contains(function_object* fn, PyObject* const* args) {
    ref data = ref::steal(read_data(fn, args[0]));
    if (!data) return nullptr;
    int found = PySequence_Contains(data.get(), args[1]);
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

// Property getter (self): self.data.get(<name>)
PyObject* body_get(function_object* fn, PyObject* const* args) {
    ref data = ref::steal(read_data(fn, args[0]));
    if (CSDK_UNLIKELY(!data)) return nullptr;
    return get_from(data.get(), fn->key);
}

// Property setter (self, value): self.data[<name>] = value
PyObject* body_set(function_object* fn, PyObject* const* args) {
    ref data = ref::steal(read_data(fn, args[0]));
    if (CSDK_UNLIKELY(!data)) return nullptr;
    return store_in(data.get(), fn->key, args[1]);
}

// ---- the classes' contents ------------------------------------------------------------------------

enum method_kind { m_init, m_getitem, m_getattr, m_setitem, m_setattr, m_str, m_repr, m_contains };

struct method_def {
    const char* name;
    const signature* sig;
    vectorcallfunc call;
};

const method_def methods[] = {
    {"__init__", &signatures::self_data, call_parameters<2, body_init>},
    {"__getitem__", &signatures::self_item, getitem_entry},
    {"__getattr__", &signatures::self_item, call_parameters<2, body_getattr>},
    {"__setitem__", &signatures::self_item_value, call_parameters<3, body_setitem>},
    {"__setattr__", &signatures::self_item_value, call_parameters<3, body_setattr>},
    {"__str__", &signatures::self, call_self_only<body_str>},
    {"__repr__", &signatures::self, call_self_only<body_repr>},
    {"__contains__", &signatures::self_key, call_parameters<2, body_contains>},
};

template <typename T>
struct span {
    const T* items = nullptr;
    std::size_t size = 0;
    constexpr span() noexcept = default;
    template <std::size_t N>
    constexpr span(const T (&a)[N]) noexcept : items(a), size(N) {}
    const T* begin() const noexcept { return items; }
    const T* end() const noexcept { return items + size; }
};

struct class_def {
    const char* name;
    span<method_kind> methods;
    span<const char*> properties;
    bool writable;  // properties get setters
};

constexpr method_kind quote_methods[] = {m_init, m_getitem, m_setitem, m_getattr, m_setattr, m_str, m_repr};
constexpr method_kind bar_methods[] = {m_init, m_getitem, m_setitem, m_contains, m_getattr, m_setattr, m_str, m_repr};
constexpr method_kind object_methods[] = {m_init, m_getitem, m_getattr, m_setitem, m_setattr, m_str, m_repr};

constexpr const char* quote_fields[] = {"bid_p", "bid_v", "ask_p", "ask_v"};
constexpr const char* tick_fields[] = {"quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume",
                                      "cum_amount", "cum_position", "last_amount", "last_volume", "trade_type",
                                      "receive_local_time"};
constexpr const char* bar_fields[] = {"symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount",
                                     "pre_close", "position", "frequency", "receive_local_time"};

constexpr class_def classes[] = {
    {"QuoteItemLikeDict2", quote_methods, quote_fields, false},
    {"TickLikeDict2", quote_methods, tick_fields, true},
    {"BarLikeDict2", bar_methods, bar_fields, true},
    {"ObjectLikeDict2", object_methods, {}, false},
};

template <std::size_t I>
constexpr bool has_fields() noexcept {
    return classes[I].properties.size != 0;
}

// ---- direct slots --------------------------------------------------------------------------------
// For every subscript the interpreter's generic mapping slots look __getitem__ / __setitem__ up on
// the type and call what they find. A record class gets slots that run its own bodies directly.
// They are right exactly while they are in place: assigning or deleting __getitem__, __setitem__
// or __delitem__ on the class, or assigning __bases__, makes the interpreter recompute the slot
// from the namespace and replace ours with its generic one, which then gives the same results.
//
// The same holds for attribute access. The interpreter's hook for a class with __getattr__ runs
// the ordinary lookup, which (up to 3.11) makes and throws away an AttributeError for every name
// the class lacks -- the common case of an ObjectLikeDict2 field -- and then finds __getattr__ and
// calls it. A record class's own hook asks the class namespace first and runs the __getattr__ body
// directly; it stays in place only while __getattr__ and __getattribute__ are the class's own and
// the bases unchanged. (Attribute assignment keeps the interpreter's slot: with a C-level slot of
// its own a class would make object.__setattr__ refuse its instances.)

constexpr std::size_t class_count = 4;
record_class* installed[class_count];  // per position in `classes`: the class its slots serve

// What the interpreter's generic slot does: type(self).<name>(self, *args), AttributeError when
// the type has no such method.
CSDK_COLD PyObject* call_special(PyObject* self, PyObject* name, PyObject* const* args, Py_ssize_t n) noexcept {
    ref method = ref::steal(find_in_mro(Py_TYPE(self), name));
    if (!method) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    PyObject* stack[4] = {nullptr, self};
    for (Py_ssize_t i = 0; i < n; ++i) stack[2 + i] = args[i];
    if (PyType_HasFeature(Py_TYPE(method.get()), Py_TPFLAGS_METHOD_DESCRIPTOR))
        return PyObject_Vectorcall(method.get(), stack + 1, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (descrgetfunc bind = Py_TYPE(method.get())->tp_descr_get) {
        method = ref::steal(bind(method.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
        if (!method) return nullptr;
    }
    return PyObject_Vectorcall(method.get(), stack + 2, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

inline PyObject* run(PyObject* function, body_fn body, PyObject* const* args) noexcept {
    function_object* fn = as_function(function);
    PyObject* result = body(fn, args);
    return CSDK_LIKELY(result != nullptr) ? result : fail(fn->where);
}

template <std::size_t I>
PyObject* subscript(PyObject* self, PyObject* key) {
    record_class* rc = installed[I];
    PyObject* args[] = {self, key};
    // Another type here is a class made by an earlier, failed import: the ordinary way.
    if (CSDK_UNLIKELY(Py_TYPE(self) != rc->cls)) return call_special(self, s.getitem, args + 1, 1);
    return run(rc->getitem_fn, body_getitem, args);
}

template <std::size_t I>
int ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    record_class* rc = installed[I];
    ref result;
    if (CSDK_LIKELY(Py_TYPE(self) == rc->cls && value != nullptr)) {
        PyObject* args[] = {self, key, value};
        result = ref::steal(run(rc->setitem_fn, body_setitem, args));
    } else if (value) {
        PyObject* args[] = {key, value};
        result = ref::steal(call_special(self, s.setitem, args, 2));
    } else {
        result = ref::steal(call_special(self, s.delitem, &key, 1));
    }
    return result ? 0 : -1;
}

// ---- direct field reads --------------------------------------------------------------------------
// A field of a tick, a bar or a quote is a property: the interpreter's lookup finds it in the
// class namespace and calls its getter, which reads `self.data.get(<name>)`. That lookup is most
// of the read's cost, and free-threaded it takes and drops a reference to the property object, one
// object shared by every thread reading that field, whose reference count the cores then fight
// over. So the record class's attribute hook calls the getter itself while the outcome cannot
// differ: the instance's type is exactly the class (no instance dictionary, the property a data
// descriptor found first), the class is as made and its namespace still holds the very property
// objects it was made with (one stamp covers both), and each property's getter is still the one
// it was made with: `property.__init__` can re-point a property without touching the class.

Py_ssize_t property_getter_offset = 0;  // where a property keeps its getter (`fget`); 0: unknown

// The getter a property holds now (borrowed, compared only). Free-threaded, another thread may
// re-point it at any instant: whichever of the two is read is a correct answer.
inline PyObject* getter_of(PyObject* prop) noexcept {
    auto* at = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(prop) + property_getter_offset);
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<PyObject*>(*at).load(std::memory_order_relaxed);
#else
    return *at;
#endif
}

// Whether the class's namespace still holds its properties, and the class is as made.
CSDK_COLD bool fields_as_made(record_class* rc) noexcept {
    PyTypeObject* type = rc->cls;
    if (rc->fields_changed.matches(type)) return false;
    auto stamp = compat::type_stamp::before_examining(type, "fields stamp");
    bool same = as_made(rc);
    // Exact str keys: no Python code runs; what is found is only compared.
    for (std::size_t i = 0; same && i < rc->fields; ++i)
        same = PyDict_GetItemWithError(type->tp_dict, rc->field_names[i]) == rc->field_props[i];
    PyErr_Clear();
    if (!same) {
        rc->fields_changed.keep(stamp);
        return false;
    }
    return rc->fields_made.keep(stamp);
}

// The getter to call for `self.<name>`, the instance's type being exactly the class; null when
// the attribute must be looked up the ordinary way.
inline PyObject* field_getter(record_class* rc, PyObject* name) noexcept {
    for (std::size_t i = 0; i < rc->fields; ++i) {
        if (rc->field_names[i] != name) continue;
        if (CSDK_UNLIKELY(!rc->fields_made.matches(rc->cls)) && !fields_as_made(rc)) return nullptr;
        PyObject* getter = rc->field_getters[i];
        return CSDK_LIKELY(getter_of(rc->field_props[i]) == getter) ? getter : nullptr;
    }
    return nullptr;
}

template <std::size_t I>
PyObject* getattro(PyObject* self, PyObject* name) {
    record_class* rc = installed[I];
    if (CSDK_UNLIKELY(Py_TYPE(self) != rc->cls || !PyUnicode_CheckExact(name))) return rc->hook(self, name);
    if constexpr (has_fields<I>()) {
        if (PyObject* getter = field_getter(rc, name)) {
        // What the property's __get__ does, then the hook's fallback to __getattr__.
        PyObject* value = run(getter, body_get, &self);
        if (CSDK_LIKELY(value != nullptr) || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
        PyErr_Clear();
        PyObject* args[] = {self, name};
        return run(rc->getattr_fn, body_getattr, args);
        }
    }
    // MRO (class, object) and no instance __dict__: the ordinary lookup finds only what these two
    // namespaces hold (exact str keys, so no Python code runs).
    PyObject* found = PyDict_GetItemWithError(rc->cls->tp_dict, name);
    if (!found && !PyErr_Occurred()) found = PyDict_GetItemWithError(object_namespace, name);
    if (found) {
        PyObject* value = PyObject_GenericGetAttr(self, name);
        if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
        PyErr_Clear();
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    PyObject* args[] = {self, name};
    return run(rc->getattr_fn, body_getattr, args);
}

template <std::size_t I>
void install(record_class* rc) noexcept {
    PyTypeObject* type = rc->cls;
    installed[I] = rc;
    type->tp_as_mapping->mp_subscript = subscript<I>;
    type->tp_as_mapping->mp_ass_subscript = ass_subscript<I>;
    type->tp_getattro = getattro<I>;
}

template <std::size_t... I>
void install_at(std::size_t position, record_class* rc, std::index_sequence<I...>) noexcept {
    ((position == I ? install<I>(rc) : void()), ...);
}

// ---- the classes --------------------------------------------------------------------------------


// A builtin looked up by name the way the class body would find it (NameError if missing).
PyObject* builtin(PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(state.builtins, name);
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

// Keeps a property for direct reads when it is the interpreter's own property holding `getter`
// (a `property` replaced in the builtins makes something else; its reads go the ordinary way).
void keep_field(record_class* rc, PyObject* name, PyObject* prop, PyObject* getter) noexcept {
    if (property_getter_offset == 0 || !Py_IS_TYPE(prop, &PyProperty_Type) || getter_of(prop) != getter ||
        rc->fields == record_class::max_fields)
        return;
    std::size_t i = rc->fields++;
    rc->field_names[i] = Py_NewRef(name);
    rc->field_props[i] = Py_NewRef(prop);
    rc->field_getters[i] = Py_NewRef(getter);
}

// Fills the namespace as the class body would, and appends every function it makes to `made`.
int fill_body(const class_def& def, PyObject* ns, record_class* rc, PyObject* made) noexcept {
    auto keep = [&](PyObject* fn) { return PyList_Append(made, fn); };
    for (method_kind kind : def.methods) {
        const method_def& m = methods[kind];
        ref name = ref::steal(PyUnicode_InternFromString(m.name));
        if (!name) return -1;
        ref fn = ref::steal(new_function(def.name, name.get(), *m.sig, m.call, rc, nullptr));
        if (!fn || keep(fn.get()) < 0 || PyObject_SetItem(ns, name.get(), fn.get()) < 0) return -1;
        if (kind == m_getattr) rc->getattr_fn = Py_NewRef(fn.get());
        if (kind == m_setattr) rc->setattr_fn = Py_NewRef(fn.get());
        if (kind == m_getitem) rc->getitem_fn = Py_NewRef(fn.get());
        if (kind == m_setitem) rc->setitem_fn = Py_NewRef(fn.get());
    }
    for (const char* field : def.properties) {
        ref name = ref::steal(PyUnicode_InternFromString(field));
        if (!name) return -1;
        // @property
        // def <name>(self): return self.data.get("<name>")
        PyObject* property = builtin(s.property);
        if (!property) return -1;
        ref getter = ref::steal(
            new_function(def.name, name.get(), signatures::self, call_self_only<body_get>, rc, name.get()));
        if (!getter || keep(getter.get()) < 0) return -1;
        ref prop = ref::steal(PyObject_CallOneArg(property, getter.get()));
        if (!prop || PyObject_SetItem(ns, name.get(), prop.get()) < 0) return -1;
        if (def.writable) {
        // @<name>.setter
        // def <name>(self, value): self.data["<name>"] = value
        ref current = ref::steal(PyObject_GetItem(ns, name.get()));
        if (!current) return -1;
        ref setter = ref::steal(
            new_function(def.name, name.get(), signatures::self_value, call_parameters<2, body_set>, rc, name.get()));
        if (!setter || keep(setter.get()) < 0) return -1;
        PyObject* stack[] = {nullptr, current.get(), setter.get()};
        prop = ref::steal(PyObject_VectorcallMethod(s.setter, stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!prop || PyObject_SetItem(ns, name.get(), prop.get()) < 0) return -1;
        }
        keep_field(rc, name.get(), prop.get(), getter.get());
    }
    return 0;
}

// After the class exists: what its functions compare against, its own slots and the refusal to
// iterate.
void settle(std::size_t position, record_class* rc, PyObject* cls) noexcept {
    if (!PyType_Check(cls)) return;  // someone else's metaclass made it: everything the ordinary way
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    rc->cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    rc->hook = type->tp_getattro;
    PyObject* member = PyDict_GetItemWithError(type->tp_dict, s.data);
    if (!member) {
        PyErr_Clear();
    } else if (Py_IS_TYPE(member, &PyMemberDescr_Type) && PyDescr_TYPE(member) == type) {
        const PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(member)->d_member;
        if (def->type == compat::member_object_ex && def->offset > 0) {
            rc->member = Py_NewRef(member);
            rc->member_def = const_cast<PyMemberDef*>(def);
            rc->offset = def->offset;
        }
    }
    bool own_items = PyDict_GetItemWithError(type->tp_dict, s.getitem) == rc->getitem_fn &&
                     PyDict_GetItemWithError(type->tp_dict, s.setitem) == rc->setitem_fn &&
                     PyDict_GetItemWithError(type->tp_dict, s.delitem) == nullptr;
    PyErr_Clear();
    if (rc->offset && own_items && as_made(rc) && type->tp_as_mapping)
        install_at(position, rc, std::make_index_sequence<class_count>{});
    keep_not_iterable(type);
    PyType_Modified(type);
}

int make_class(PyObject* module, std::size_t position, const class_def& def) noexcept {
    // Never freed: if making the class fails, functions already made may still be referenced.
    void* memory = PyMem_RawMalloc(sizeof(record_class));
    if (!memory) {
        PyErr_NoMemory();
        return -1;
    }
    auto* rc = new (memory) record_class{};
    // class <name>(object): with object as the class body finds it, and the metaclass that
    // follows from that base.
    ref name = ref::steal(PyUnicode_InternFromString(def.name));
    if (!name) return -1;
    PyObject* object = builtin(s.object);
    if (!object) return -1;
    ref bases = ref::steal(PyTuple_Pack(1, object));
    if (!bases) return -1;
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(object));
    ref prepare = ref::steal(PyObject_GetAttr(meta, s.prepare));
    if (!prepare) return -1;
    ref ns = ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), name.get(), bases.get(), nullptr));
    if (!ns) return -1;

    ref slots = ref::steal(PyList_New(1));
    if (!slots) return -1;
    PyList_SET_ITEM(slots.get(), 0, Py_NewRef(s.data));
    if (PyObject_SetItem(ns.get(), s.module, state_name()) < 0 ||
        PyObject_SetItem(ns.get(), s.qualname, name.get()) < 0 || PyObject_SetItem(ns.get(), s.slots, slots.get()) < 0)
        return -1;
    ref made = ref::steal(PyList_New(0));
    if (!made || fill_body(def, ns.get(), rc, made.get()) < 0) return -1;

    ref cls = ref::steal(PyObject_CallFunctionObjArgs(meta, name.get(), bases.get(), ns.get(), nullptr));
    if (!cls) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(made.get()); ++i) {
        function_object* fn = as_function(PyList_GET_ITEM(made.get(), i));
        Py_XSETREF(fn->cls, Py_NewRef(cls.get()));
    }
    settle(position, rc, cls.get());
    return PyModule_AddObjectRef(module, def.name, cls.get());
}

}  // namespace

int add_to(PyObject* module) noexcept {
    if (init_strings() < 0 || init_functions() < 0) return -1;
    if (!object_namespace) {
        ref dict = ref::steal(compat::type_dict(&PyBaseObject_Type));
        PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), s.getattribute) : nullptr;
        if (!found) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "c_sdk: object.__getattribute__ not found");
            return -1;
        }
        object_getattribute = Py_NewRef(found);
        object_namespace = dict.release();
        // A property's getter is its member `fget`, an object pointer (kind 6, the old T_OBJECT,
        // which has no public name from 3.12, or T_OBJECT_EX).
        for (PyMemberDef* m = PyProperty_Type.tp_members; m && m->name; ++m)
            if (std::strcmp(m->name, "fget") == 0 && (m->type == 6 || m->type == compat::member_object_ex) &&
                m->offset >= static_cast<Py_ssize_t>(sizeof(PyObject)))
                property_getter_offset = m->offset;
    }
    static_assert(std::size(classes) == class_count);
    for (std::size_t i = 0; i < class_count; ++i)
        if (make_class(module, i, classes[i]) < 0) return -1;
    return 0;
}

}  // namespace csdk::records
