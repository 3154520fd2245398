// CVantoro's constructor and copy assignment as an MSVC-built 32-bit host
// calls them: `this` in ECX, the callee pops the stack arguments (thiscall),
// and both return `this` in EAX. GCC's own constructor returns nothing, so the
// export table (vantoro.def) names these two wrappers under the MSVC member
// names instead of the class members themselves.
#include <new>

#include "vantoro.h"

extern "C" {

// ??0CVantoro@@QAE@XZ: CVantoro::CVantoro(void)
__attribute__((thiscall)) CVantoro* VantoroConstructMsvc(CVantoro* self) {
    return ::new (static_cast<void*>(self)) CVantoro();
}

// ??4CVantoro@@QAEAAV0@ABV0@@Z: CVantoro& CVantoro::operator=(const CVantoro&)
__attribute__((thiscall)) CVantoro* VantoroAssignMsvc(CVantoro* self, const CVantoro* other) {
    return &(*self = *other);
}

} // extern "C"
