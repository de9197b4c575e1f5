// libFuzzer target: the start-up listing's readers of what a machine holds,
// a scheduled task's XML and a shortcut, on untrusted bytes (the first byte
// picks the reader).
//
// Checked: a reader that says it read something gives what it promises (a
// shortcut names a file; a task's lists stay within their limits).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "startup/shortcut_reader.h"
#include "startup/task_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tolvane;
    if (size == 0) return 0;
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string error;
    if (data[0] & 1) {
        ShortcutTarget target;
        if (ReadShortcut(bytes, &target, &error) && target.path.empty()) std::abort();
    } else {
        TaskDefinition task;
        if (ReadTaskDefinition(bytes, &task, &error) &&
            (task.actions.size() > 64 || task.triggers.size() > 64))
            std::abort();
    }
    return 0;
}
