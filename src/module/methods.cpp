#include "module/methods.hpp"

#include <cstring>
#include <iterator>

#include "module/globals.hpp"

namespace csdk {
namespace {

// Room for every binding; the exec step fills it once per process (again only after a failed
// import, with the same contents).
PyMethodDef binding_defs[256];
adapted_entry binding_adapted_entries[256];
std::size_t binding_defs_used = 0;

}  // namespace

PyObject* new_builtin(PyMethodDef* def) noexcept {
    return PyCFunction_NewEx(def, nullptr, state_name());
}

PyMethodDef* new_binding_def() noexcept {
    if (binding_defs_used == std::size(binding_defs)) {
        PyErr_SetString(PyExc_SystemError, "c_sdk: binding table full");
        return nullptr;
    }
    return &binding_defs[binding_defs_used++];
}

void reset_binding_defs() noexcept { binding_defs_used = 0; }

void set_binding_adapted(const PyMethodDef* def, adapted_entry entry) noexcept {
    binding_adapted_entries[def - binding_defs] = entry;
}

adapted_entry binding_adapted(const PyMethodDef* def) noexcept { return binding_adapted_entries[def - binding_defs]; }

const PyMethodDef* own_builtin_entry(PyObject* func) noexcept {
    if (!PyCFunction_Check(func) || PyCFunction_GET_SELF(func) != nullptr) return nullptr;
    const PyMethodDef* ml = reinterpret_cast<PyCFunctionObject*>(func)->m_ml;
    if (ml < binding_defs || ml >= binding_defs + binding_defs_used) return nullptr;
    return ml;
}

const char* make_doc(const char* name, const char* signature, const char* doc) noexcept {
    std::size_t n = std::strlen(name) + std::strlen(signature) + 5 + (doc ? std::strlen(doc) : 0) + 1;
    char* text = static_cast<char*>(PyMem_RawMalloc(n));
    if (!text) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::strcpy(text, name);
    std::strcat(text, signature);
    std::strcat(text, "\n--\n\n");
    if (doc) std::strcat(text, doc);
    return text;
}

}  // namespace csdk
