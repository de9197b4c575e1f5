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

uint32_t Le(std::string_view bytes, size_t at, int width) {
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
    return value;
}

// Whether every size the shortcut states stays within its bytes. liblnk
// allocates what a LinkInfo's size field says (4 GB for a 200-byte file
// that claims it) before it finds the file too short, so those sizes are
// checked here first.
bool SizesFit(std::string_view bytes) {
    const uint32_t kHasIdList = 0x1, kHasLinkInfo = 0x2, kIsUnicode = 0x80;
    if (bytes.size() < 0x4C || Le(bytes, 0, 4) != 0x4C) return false;
    const uint32_t flags = Le(bytes, 0x14, 4);
    size_t at = 0x4C;
    auto skip = [&](size_t size) { return size <= bytes.size() - at && (at += size, true); };
    if ((flags & kHasIdList) && (at + 2 > bytes.size() || !skip(2 + Le(bytes, at, 2))))
        return false;
    if ((flags & kHasLinkInfo) && (at + 4 > bytes.size() || !skip(Le(bytes, at, 4)))) return false;
    for (uint32_t flag = 0x4; flag <= 0x40; flag <<= 1) {  // the five string data
        if (!(flags & flag)) continue;
        if (at + 2 > bytes.size()) return false;
        if (!skip(2 + Le(bytes, at, 2) * ((flags & kIsUnicode) ? 2u : 1u))) return false;
    }
    while (at + 4 <= bytes.size()) {  // extra data blocks, each with its size
        uint32_t size = Le(bytes, at, 4);
        if (size < 4) return true;  // the terminal block
        if (!skip(size)) return false;
    }
    return true;
}

}  // namespace

bool ReadShortcut(std::string_view bytes, ShortcutTarget* target, std::string* error) {
    *target = {};
    if (bytes.size() > kShortcutFileLimit)
        return *error = "the shortcut is larger than 1 MB", false;
    if (!SizesFit(bytes)) return *error = "the file is not a shortcut liblnk can read", false;
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
