#include "testing/as_nobody.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace tolvane::testing {
namespace {

// In the child: becomes nobody for good; false when it could not.
bool BecomeNobody() {
    return setgroups(0, nullptr) == 0 && setresgid(NobodyGid(), NobodyGid(), NobodyGid()) == 0 &&
           setresuid(NobodyUid(), NobodyUid(), NobodyUid()) == 0;
}

}  // namespace

bool RunningAsRoot() {
    return geteuid() == 0;
}

uid_t NobodyUid() {
    const passwd* entry = getpwnam("nobody");
    return entry ? entry->pw_uid : 65534;
}

gid_t NobodyGid() {
    const group* entry = getgrnam("nogroup");
    return entry ? entry->gr_gid : 65534;
}

// Best effort: where it fails (not root), the steps run as nobody fail on
// their own and say why.
static bool ChownToNobody(const char* path) {
    return lchown(path, NobodyUid(), NobodyGid()) == 0;
}

void GiveToNobody(const std::string& path) {
    namespace fs = std::filesystem;
    ChownToNobody(path.c_str());
    std::error_code error;
    if (fs::is_symlink(path, error) || !fs::is_directory(path, error)) return;
    for (const auto& entry : fs::recursive_directory_iterator(path, error))
        ChownToNobody(entry.path().c_str());
}

bool AsNobody(const std::function<bool()>& step) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) _exit(BecomeNobody() && step() ? 0 : 1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

NobodyProcess::NobodyProcess(const std::function<bool()>& step) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        close(ready[0]);
        char answer = BecomeNobody() && step() ? 'y' : 'n';
        (void)!write(ready[1], &answer, 1);
        for (;;) pause();
    }
    close(ready[1]);
    char answer = 'n';
    if (pid_ > 0 && read(ready[0], &answer, 1) == 1) ready_ = answer == 'y';
    close(ready[0]);
}

NobodyProcess::~NobodyProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace tolvane::testing
