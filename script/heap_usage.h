// How much memory the C library's allocator has handed out to the whole
// process. The script engine keeps the contents of arrays and strings in
// that heap, outside its own 1 MiB object heap, so the script host watches
// it to stop a script that would otherwise eat the machine's memory.
#pragma once

#include <cstddef>

namespace tolvane {

// Bytes in use now (ordinary and mapped blocks); 0 when the allocator cannot
// tell, which disables the watch.
size_t AllocatedHeapBytes();

}  // namespace tolvane
