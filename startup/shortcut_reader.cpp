#include "startup/shortcut_reader.h"

// Debian ships liblnk's header without libbfio's; the file-IO-handle call
// that needs it is not used here.
#include <liblnk/features.h>
#undef LIBLNK_HAVE_BFIO
#include <liblnk.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "base/codepage.h"
#include "host/held_path.h"

namespace tolvane {
namespace {

using SizeGetter = int (*)(liblnk_file_t*, size_t*, liblnk_error_t**);
using TextGetter = int (*)(liblnk_file_t*, uint8_t*, size_t, liblnk_error_t**);

std::string LinkText(liblnk_file_t* file, SizeGetter size, TextGetter text) {
    size_t length = 0;
    if (size(file, &length, nullptr) != 1 || length == 0 || length > kShortcutFileLimit) return "";
    std::vector<uint8_t> buffer(length);
    if (text(file, buffer.data(), buffer.size(), nullptr) != 1) return "";
    std::string utf8(reinterpret_cast<const char*>(buffer.data()));
    return Utf8ToCp1252(utf8);
}

// The bytes as an anonymous file for liblnk to open by its /proc name.
UniqueFd MemoryFile(std::string_view bytes) {
    UniqueFd fd(memfd_create("tolvane-shortcut", MFD_CLOEXEC));
    if (!fd.valid()) return fd;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n <= 0) return UniqueFd();
        done += static_cast<size_t>(n);
    }
    return fd;
}

}  // namespace

bool ReadShortcut(std::string_view bytes, ShortcutTarget* target, std::string* error) {
    *target = {};
    if (bytes.size() > kShortcutFileLimit)
        return *error = "the shortcut is larger than 1 MB", false;
    UniqueFd memory = MemoryFile(bytes);
    if (!memory.valid()) return *error = "no memory for the shortcut's copy", false;
    std::string name = "/proc/self/fd/" + std::to_string(memory.get());
    liblnk_file_t* file = nullptr;
    if (liblnk_file_initialize(&file, nullptr) != 1)
        return *error = "liblnk failed to start", false;
    bool opened = liblnk_file_open(file, name.c_str(), LIBLNK_OPEN_READ, nullptr) == 1;
    if (opened) {
        target->path =
            LinkText(file, liblnk_file_get_utf8_local_path_size, liblnk_file_get_utf8_local_path);
        if (target->path.empty())
            target->path = LinkText(file, liblnk_file_get_utf8_environment_variables_location_size,
                                    liblnk_file_get_utf8_environment_variables_location);
        if (target->path.empty())
            target->path = LinkText(file, liblnk_file_get_utf8_relative_path_size,
                                    liblnk_file_get_utf8_relative_path);
        target->arguments = LinkText(file, liblnk_file_get_utf8_command_line_arguments_size,
                                     liblnk_file_get_utf8_command_line_arguments);
        liblnk_file_close(file, nullptr);
    }
    liblnk_file_free(&file, nullptr);
    if (!opened) return *error = "the file is not a shortcut liblnk can read", false;
    if (target->path.empty()) return *error = "the shortcut names no file", false;
    return true;
}

}  // namespace tolvane
