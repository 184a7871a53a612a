#include "sdk_section.hpp"

#include <cstdlib>
#include <cstring>

namespace csdk::sdk {

#if CSDK_SDK_LOCK
PyMutex lock = {};
bool unlocked = false;

void configure() noexcept {
    const char* v = std::getenv("CSDK_SDK_THREADSAFE");
    unlocked = v && std::strcmp(v, "1") == 0;
}
#else
void configure() noexcept {}
#endif

}  // namespace csdk::sdk
