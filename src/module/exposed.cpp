// SDK functions published on the module under their own names. Each is a builtin named "wrap"
// whose __doc__ is the SDK function's signature text; none of them adapts text.
#include "module/exposed.hpp"

#include <vqsdk/vqsdk.h>

#include "bindings/shapes.hpp"
#include "module/methods.hpp"
#include "module/ref.hpp"

namespace csdk::exposed {
namespace {

using namespace kinds;
using shapes::call;
using own = kinds::exposed;  // a function of its own, apart from the binding of the same SDK function
using shapes::long_long_result;
using shapes::none_result;
using shapes::real_result;
using shapes::status_result;
using shapes::text_result;

struct entry {
    const char* sdk_name;
    const char* doc;
    shapes::shape shape;
};

const entry entries[] = {
    {"vqi_add_bus_topic", "wrap(topic: 'const char *') -> 'void'",
     call<vqi_add_bus_topic, none_result, text<"topic">, own>},
    {"vqi_get_c_version", "wrap() -> 'const char *'", call<vqi_get_c_version, text_result, own>},
    {"vqi_get_encrypted_token", "wrap() -> 'const char *'", call<vqi_get_encrypted_token, text_result, own>},
    {"vqi_get_ext_errormsg", "wrap() -> 'const char *'", call<vqi_get_ext_errormsg, text_result, own>},
    {"vqi_get_orgcode", "wrap() -> 'const char *'", call<vqi_get_orgcode, text_result, own>},
    {"vqi_init", "wrap() -> 'int'", call<vqi_init, status_result, own>},
    {"vqi_now", "wrap() -> 'long long'", call<vqi_now, long_long_result, own>},
    {"vqi_now_plus", "wrap() -> float", call<vqi_now_plus, real_result, own>},
    {"vqi_poll", "wrap() -> 'int'", call<vqi_poll, status_result, own>},
    {"vqi_send_msg_to_bus", "wrap(topic: 'const char *', msg: 'const char *') -> 'int'",
     call<vqi_send_msg_to_bus, status_result, text<"topic">, text<"msg">, own>},
    {"vqi_set_bus_info",
     "wrap(server_addr: 'const char *', user_name: 'const char *', password: 'const char *') -> 'void'",
     call<vqi_set_bus_info, none_result, text<"server_addr">, text<"user_name">, text<"password">, own>},
    {"vqi_set_bus_secure",
     "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', tlskey: 'const char *', "
     "skip_verify: 'bool') -> 'void'",
     call<vqi_set_bus_secure, none_result, integer<"in_mode">, text<"tlsca">, text<"tlscert">, text<"tlskey">,
          truth<"skip_verify">, own>},
    {"vqi_set_mode", "wrap(mode: 'int') -> 'void'", call<vqi_set_mode, none_result, integer<"mode">, own>},
    {"vqi_strerror", "wrap(errorno: 'int') -> 'const char *'",
     call<vqi_strerror, text_result, integer<"errorno">, own>},
};

PyMethodDef defs[std::size(entries)];

}  // namespace

int add_to(PyObject* module) noexcept {
    for (std::size_t i = 0; i < std::size(entries); ++i) {
        const entry& e = entries[i];
        e.shape.where->name = "wrap";
        e.shape.where->entry = e.sdk_name;
        e.shape.where->in_module = false;
        if (e.shape.init() < 0) return -1;
        PyMethodDef& def = defs[i];
        if (!def.ml_name) {
            const char* doc = make_doc("wrap", e.shape.signature, e.doc);
            if (!doc) return -1;
            def = {"wrap", e.shape.method(), e.shape.flags, doc};
        }
        // No __module__: the interpreter's argument messages then read "wrap() takes ...".
        ref fn = ref::steal(PyCFunction_NewEx(&def, nullptr, nullptr));
        if (!fn || PyObject_SetAttrString(module, e.sdk_name, fn.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace csdk::exposed
