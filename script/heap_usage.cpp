#include "script/heap_usage.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tolvane {

size_t AllocatedHeapBytes() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    return 0;
#endif
}

}  // namespace tolvane
