// The last gate a listed disk passes before it may become a write target.
#include "core/native/native.h"

extern "C" int kvi_safe_target(int protection_known, int is_protected, int check_a, int check_b,
                               uint64_t size) {
    // Unknown protection refuses every disk: better no candidates than the system disk.
    return protection_known != 0 && is_protected == 0 && check_a != 0 && check_b != 0 && size != 0
               ? 1
               : 0;
}
