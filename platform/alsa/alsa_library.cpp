#include "platform/alsa/alsa_library.h"

#include <dlfcn.h>

namespace vantoro::alsa {

namespace {

const AlsaLibrary* Load() {
    // Kept loaded for the life of the process.
    void* handle = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    static AlsaLibrary library;
    bool complete = true;
#define VANTORO_ALSA_RESOLVE(name)                                                                 \
    library.name = reinterpret_cast<decltype(library.name)>(dlsym(handle, #name));                 \
    complete = complete && library.name != nullptr;
    VANTORO_ALSA_FUNCTIONS(VANTORO_ALSA_RESOLVE)
#undef VANTORO_ALSA_RESOLVE
    return complete ? &library : nullptr;
}

} // namespace

const AlsaLibrary* LoadAlsa() {
    static const AlsaLibrary* const library = Load();
    return library;
}

} // namespace vantoro::alsa
