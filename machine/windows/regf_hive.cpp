#include "machine/windows/regf_hive.h"

#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include "base/codepage.h"
#include "host/held_path.h"
#include "host/replacement_temp.h"
#include "machine/hive_tree.h"

namespace tolvane {
namespace {

// hivex speaks UTF-8; the tree keeps UTF-16. Unpaired surrogates and bytes
// that are no UTF-8 become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view in) {
    std::u16string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + extra >= in.size()) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        char32_t code = extra == 0 ? c : c & (0x3F >> extra);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(in[i + k]);
            if ((next & 0xC0) != 0x80) ok = false;
            code = (code << 6) | (next & 0x3F);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t code = in[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

struct HivexCloser {
    void operator()(hive_h* h) const {
        if (h) hivex_close(h);
    }
};
using HivexHandle = std::unique_ptr<hive_h, HivexCloser>;

// A malloc'd result of hivex, freed on scope exit.
template <typename T>
struct Freed {
    T* p = nullptr;
    explicit Freed(T* ptr) : p(ptr) {}
    ~Freed() { free(p); }
    Freed(const Freed&) = delete;
    Freed& operator=(const Freed&) = delete;
};

// A value's type is any 32-bit number (Wine and programs store types such as
// 0xffff0007), but hivex passes it in its enum, whose range in C++ ends with
// its largest enumerator: the number is moved in and out as bytes, never as
// an enum value.
static_assert(sizeof(hive_type) == sizeof(uint32_t));
uint32_t TypeNumber(const hive_type& type) {
    uint32_t number = 0;
    std::memcpy(&number, &type, sizeof number);
    return number;
}
void SetTypeNumber(hive_type* type, uint32_t number) {
    std::memcpy(type, &number, sizeof number);
}

std::string ErrnoText(int err) {
    return err ? std::strerror(err) : "hivex refused it";
}

// ---- Reading ------------------------------------------------------------------

struct TreeReader {
    hive_h* h;
    std::unordered_set<hive_node_h> seen;
    std::string problem;

    bool ReadValues(hive_node_h node, HiveKey* key) {
        errno = 0;
        Freed<hive_value_h> values(hivex_node_values(h, node));
        if (!values.p) return Fail("cannot read the values of a key", errno);
        for (size_t i = 0; values.p[i]; ++i) {
            Freed<char> name(hivex_value_key(h, values.p[i]));
            hive_type type{};
            size_t len = 0;
            Freed<char> data(hivex_value_value(h, values.p[i], &type, &len));
            if (!name.p || !data.p) return Fail("cannot read a value", errno);
            key->Values().push_back(
                {Utf8ToUtf16(name.p), TypeNumber(type), std::string(data.p, len)});
        }
        std::stable_sort(key->Values().begin(), key->Values().end(),
                         [](const HiveValue& a, const HiveValue& b) {
                             return HiveNameCompare(a.name, b.name) < 0;
                         });
        return true;
    }

    bool Read(hive_node_h node, HiveKey* key, int depth) {
        if (depth > static_cast<int>(kMaxHiveKeyDepth))
            return Fail("keys nest deeper than Windows allows", 0);
        if (!seen.insert(node).second) return Fail("a subkey list leads back to a key", 0);
        key->modified = static_cast<FileTime>(hivex_node_timestamp(h, node));
        key->changed = false;
        if (!ReadValues(node, key)) return false;
        errno = 0;
        Freed<hive_node_h> children(hivex_node_children(h, node));
        if (!children.p) return Fail("cannot read the subkeys of a key", errno);
        for (size_t i = 0; children.p[i]; ++i) {
            Freed<char> name(hivex_node_name(h, children.p[i]));
            if (!name.p) return Fail("cannot read a key name", errno);
            auto sub = std::make_unique<HiveKey>();
            sub->name = Utf8ToUtf16(name.p);
            sub->parent = key;
            if (!Read(children.p[i], sub.get(), depth + 1)) return false;
            key->Subkeys().push_back(std::move(sub));
        }
        std::stable_sort(
            key->Subkeys().begin(), key->Subkeys().end(),
            [](const auto& a, const auto& b) { return HiveNameCompare(a->name, b->name) < 0; });
        return true;
    }

    bool Fail(const std::string& what, int err) {
        problem = what + (err ? std::string(": ") + std::strerror(err) : std::string());
        return false;
    }
};

// ---- Writing ------------------------------------------------------------------

// The keys below which (themselves included) something changed.
bool CollectChanged(const HiveKey& key, std::unordered_set<const HiveKey*>* changed) {
    bool any = key.changed;
    for (const auto& sub : key.Subkeys()) any = CollectChanged(*sub, changed) || any;
    if (any) changed->insert(&key);
    return any;
}

void MarkSaved(HiveKey& key, const std::unordered_set<const HiveKey*>& changed) {
    if (!changed.count(&key)) return;
    key.changed = false;
    for (auto& sub : key.Subkeys()) MarkSaved(*sub, changed);
}

// Calls visit(key, node) for every changed key of the tree, parents first,
// with its node in the hive (0 where the hive lacks it). False as soon as
// visit is.
bool VisitChanged(hive_h* h, const HiveKey& key, hive_node_h node,
                  const std::unordered_set<const HiveKey*>& changed,
                  const std::function<bool(const HiveKey&, hive_node_h)>& visit) {
    if (key.changed && !visit(key, node)) return false;
    for (const auto& sub : key.Subkeys()) {
        if (!changed.count(sub.get())) continue;
        errno = 0;
        hive_node_h child =
            node ? hivex_node_get_child(h, node, Utf16ToUtf8(sub->name).c_str()) : 0;
        if (!VisitChanged(h, *sub, child, changed, visit)) return false;
    }
    return true;
}

bool WriteValues(hive_h* h, hive_node_h node, const HiveKey& key) {
    std::vector<std::string> names;
    names.reserve(key.Values().size());
    for (const HiveValue& v : key.Values()) names.push_back(Utf16ToUtf8(v.name));
    std::vector<hive_set_value> set(key.Values().size());
    for (size_t i = 0; i < key.Values().size(); ++i) {
        set[i].key = names[i].data();
        SetTypeNumber(&set[i].t, key.Values()[i].type);
        set[i].len = key.Values()[i].data.size();
        set[i].value = const_cast<char*>(key.Values()[i].data.data());
    }
    return hivex_node_set_values(h, node, set.size(), set.data(), 0) == 0;
}

// Makes the node's values and the names of its subkeys those of the key:
// subkeys the key lacks are deleted (with all below them), new ones added
// empty (their own visit fills them).
bool WriteKey(hive_h* h, hive_node_h node, const HiveKey& key) {
    if (!WriteValues(h, node, key)) return false;
    Freed<hive_node_h> children(hivex_node_children(h, node));
    if (!children.p) return false;
    for (size_t i = 0; children.p[i]; ++i) {
        Freed<char> name(hivex_node_name(h, children.p[i]));
        if (!name.p) return false;
        if (!key.FindSubkey(Utf8ToUtf16(name.p)) && hivex_node_delete_child(h, children.p[i]) != 0)
            return false;
    }
    for (const auto& sub : key.Subkeys()) {
        std::string name = Utf16ToUtf8(sub->name);
        errno = 0;
        if (hivex_node_get_child(h, node, name.c_str())) continue;
        if (errno != 0 || !hivex_node_add_child(h, node, name.c_str())) return false;
    }
    return true;
}

// Whether the node holds exactly the key's values and as many subkeys.
bool NodeMatches(hive_h* h, hive_node_h node, const HiveKey& key) {
    if (!node || hivex_node_nr_children(h, node) != key.Subkeys().size() ||
        hivex_node_nr_values(h, node) != key.Values().size())
        return false;
    for (const HiveValue& v : key.Values()) {
        hive_value_h value = hivex_node_get_value(h, node, Utf16ToUtf8(v.name).c_str());
        if (!value) return false;
        hive_type type{};
        size_t len = 0;
        Freed<char> data(hivex_value_value(h, value, &type, &len));
        if (!data.p || TypeNumber(type) != v.type || std::string_view(data.p, len) != v.data)
            return false;
    }
    return true;
}

bool CopyFile(int from, int to) {
    char buffer[65536];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(from, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += w;
        }
        at += n;
    }
}

// Whether the folder holds a non-empty entry named `name` without regard to
// case (NTFS through ntfs-3g shows either spelling).
bool NonEmptyEntryNoCase(int folderFd, const std::string& name, std::string* found) {
    int fd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    bool result = false;
    while (dirent* entry = readdir(dir)) {
        if (!EqualsNoCase(entry->d_name, name)) continue;
        struct stat st {};
        if (fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_size > 0) {
            *found = entry->d_name;
            result = true;
            break;
        }
    }
    closedir(dir);
    return result;
}

uint32_t Le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

// hivex reads a hive whole into memory; a file no Windows hive comes near,
// or one that is mostly holes, is refused before that, as damaged.
static std::string SizeRefusal(const struct stat& st) {
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size > kMaxRegfHiveBytes)
        return "is damaged and was not loaded (" + std::to_string(size) +
               " bytes, more than any registry hive holds: 1 GiB)";
    const auto allocated = static_cast<uint64_t>(st.st_blocks) * 512;
    if (size > kSparseCheckFromBytes && allocated < size / 4)
        return "is damaged and was not loaded (" + std::to_string(size) + " bytes of which only " +
               std::to_string(allocated) + " are stored on the disk: mostly holes)";
    return "";
}

std::string RegfOriginalCopyName(const std::string& hiveName) {
    return hiveName + ".tolvane-orig";
}

RegfHiveFile::RegfHiveFile(int folderFd, std::string name, std::string displayPath)
    : folder_(fcntl(folderFd, F_DUPFD_CLOEXEC, 0)),
      name_(std::move(name)),
      displayPath_(std::move(displayPath)) {}

bool RegfHiveFile::Load(HiveTree* tree, std::string* problem) {
    *tree = HiveTree();
    damaged_ = true;
    dirty_ = false;
    unreadable_ = false;
    auto fail = [&](const std::string& what) {
        *tree = HiveTree();
        *problem = displayPath_ + ": " + what;
        return false;
    };
    UniqueFd fd(folder_.valid() ? openat(folder_.get(), name_.c_str(),
                                         O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)
                                : -1);
    struct stat st {};
    if (!fd.valid()) {
        unreadable_ = errno == EACCES;
        return fail(std::string("cannot be opened: ") + std::strerror(errno));
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return fail("is no plain file");
    std::string tooLarge = SizeRefusal(st);
    if (!tooLarge.empty()) return fail(tooLarge);
    errno = 0;
    HivexHandle h(hivex_open(DescriptorPath(fd.get()).c_str(), 0));
    if (!h) return fail("is damaged and was not loaded (" + ErrnoText(errno) + ")");
    TreeReader reader{h.get(), {}, {}};
    if (!reader.Read(hivex_root(h.get()), &tree->root(), 0))
        return fail("is damaged and was not loaded (" + reader.problem + ")");
    tree->root().name.clear();
    damaged_ = false;
    dirtyDetail_ = DirtyReason();
    dirty_ = !dirtyDetail_.empty();
    return true;
}

std::string RegfHiveFile::DirtyReason() const {
    UniqueFd fd(
        openat(folder_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    unsigned char header[12] = {};
    if (fd.valid() && pread(fd.get(), header, sizeof header, 0) == sizeof header &&
        Le32(header + 4) != Le32(header + 8))
        return "its header says a change was left unfinished";
    for (const char* suffix : {".LOG1", ".LOG2"}) {
        std::string log;
        if (NonEmptyEntryNoCase(folder_.get(), name_ + suffix, &log))
            return "its transaction log " + log + " holds changes not yet written into it";
    }
    return "";
}

std::string RegfHiveFile::WriteRefusal() const {
    if (damaged_)
        return "The registry hive " + displayPath_ +
               " is damaged or missing and was not loaded; Tolvane changes nothing in it.";
    std::string dirty = DirtyReason();
    if (!dirty.empty())
        return "The registry hive " + displayPath_ + " is not closed cleanly (" + dirty +
               "), so Tolvane reads it as it stands and changes nothing in it. Start Windows "
               "once and shut it down fully (without fast start-up: hold Shift while choosing "
               "Shut down), then try again.";
    struct statvfs fs {};
    if (fstatvfs(folder_.get(), &fs) == 0 && (fs.f_flag & ST_RDONLY))
        return "The registry hive " + displayPath_ +
               " is on a file system mounted read-only, so nothing in it can be changed. "
               "Mount the Windows disk read-write to clean it (ntfs-3g mounts a Windows that "
               "is hibernated or was shut down with fast start-up read-only: start it and shut "
               "it down fully first).";
    struct stat st {};
    if (fstatat(folder_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return "The registry hive " + displayPath_ + " is no longer a plain file.";
    if ((st.st_mode & 0222) == 0 || faccessat(folder_.get(), ".", W_OK, 0) != 0)
        return "The registry hive " + displayPath_ + " is read-only.";
    return "";
}

bool RegfHiveFile::KeepOriginalOnce(int hiveFd, std::string* error) {
    const std::string copy = RegfOriginalCopyName(name_);
    struct stat st {};
    if (fstatat(folder_.get(), copy.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // Only a plain file of its own is a way back: restoring through a
        // link (or a second name of another file) would copy whatever it
        // leads to over the hive, so the change waits until it is gone.
        if (S_ISREG(st.st_mode) && st.st_nlink == 1) return true;
        *error = "The registry hive " + displayPath_ + " was not changed: its untouched copy " +
                 copy + " beside it is " +
                 (S_ISLNK(st.st_mode)   ? "a link"
                  : S_ISREG(st.st_mode) ? "a second name of another file"
                                        : "not a plain file") +
                 ", so no way back to the hive as it was could be kept. Remove " + copy +
                 " and try again.";
        return false;
    }
    if (errno != ENOENT) {
        *error = "Cannot look for " + copy + ": " + std::strerror(errno);
        return false;
    }
    std::string temp;
    UniqueFd out(OpenReplacementTemp(folder_.get(), copy, &temp));
    struct stat hive {};
    bool ok = out.valid() && fstat(hiveFd, &hive) == 0 &&
              fchmod(out.get(), hive.st_mode & 0777) == 0 && CopyFile(hiveFd, out.get()) &&
              fsync(out.get()) == 0;
    if (ok && renameat2(folder_.get(), temp.c_str(), folder_.get(), copy.c_str(),
                        RENAME_NOREPLACE) != 0) {
        // File systems without RENAME_NOREPLACE: a hard link never replaces either.
        ok = (errno == EINVAL || errno == ENOSYS) &&
             linkat(folder_.get(), temp.c_str(), folder_.get(), copy.c_str(), 0) == 0;
        if (!ok && errno == EEXIST) ok = true;
    }
    int err = errno;
    if (out.valid()) unlinkat(folder_.get(), temp.c_str(), 0);  // gone after a rename
    if (!ok) {
        *error = "Cannot keep the untouched hive as " + copy + ": " + std::strerror(err);
        return false;
    }
    // The folder is held as a path only (O_PATH), which fsync refuses.
    UniqueFd folder(openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) fsync(folder.get());
    return true;
}

bool RegfHiveFile::Save(HiveTree* tree, std::string* error) {
    std::string refusal = WriteRefusal();
    if (!refusal.empty()) {
        *error = refusal;
        return false;
    }
    UniqueFd hiveFd(openat(folder_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!hiveFd.valid() || fstat(hiveFd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "Cannot open " + displayPath_ + ": " + std::strerror(errno);
        return false;
    }
    if (!KeepOriginalOnce(hiveFd.get(), error)) return false;

    std::unordered_set<const HiveKey*> changed;
    if (!CollectChanged(tree->root(), &changed)) return true;
    errno = 0;
    HivexHandle h(hivex_open(DescriptorPath(hiveFd.get()).c_str(), HIVEX_OPEN_WRITE));
    bool written = h && VisitChanged(h.get(), tree->root(), hivex_root(h.get()), changed,
                                     [&](const HiveKey& key, hive_node_h node) {
                                         return node && WriteKey(h.get(), node, key);
                                     });
    if (!written) {
        *error = "Cannot change " + displayPath_ + ": " + ErrnoText(errno);
        return false;
    }
    // The step that failed names the error; a check that fails without
    // errno says hivex refused it. hivex writes the temporary through its
    // /proc/self/fd path, which is opened anew: it keeps the owner's write
    // right until written, and gets the hive's mode only then.
    std::string failed = "Cannot write a temporary file beside " + displayPath_;
    int checkFailed = -1;
    UniqueFd folder(openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto commit = [&](int out) {
        failed = "Cannot write " + displayPath_;
        if (hivex_commit(h.get(), DescriptorPath(out).c_str(), 0) != 0) return false;
        h.reset();
        HivexHandle check(hivex_open(DescriptorPath(out).c_str(), 0));
        bool same = check && VisitChanged(check.get(), tree->root(), hivex_root(check.get()),
                                          changed, [&](const HiveKey& key, hive_node_h node) {
                                              return NodeMatches(check.get(), node, key);
                                          });
        if (!same) {
            failed = "The changed hive " + displayPath_ + " did not read back as written";
            checkFailed = 0;
            return false;
        }
        if (fchown(out, st.st_uid, st.st_gid) != 0) {
            // A file system that keeps one owner for every file (ntfs-3g): nothing to keep.
        }
        failed = "Cannot write " + displayPath_;
        return fchmod(out, st.st_mode & 0777) == 0;
    };
    auto renaming = [&] {
        failed = "Cannot replace " + displayPath_;
        return true;
    };
    if (!folder.valid() || !ReplaceFileAt(folder.get(), name_, 0600, commit, renaming)) {
        *error = failed + ": " + ErrnoText(checkFailed == 0 ? 0 : errno);
        return false;
    }
    MarkSaved(tree->root(), changed);
    return true;
}

}  // namespace tolvane
