#include "testing/fake_wineserver.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "machine/wine/wineserver_lock.h"

namespace tolvane::testing {

FakeWineServer::FakeWineServer(const std::string& prefix, bool withNameFile) {
    std::string name = "tolvane-test-" + std::to_string(getpid());
    if (withNameFile) std::ofstream(prefix + "/wineserver") << name;
    std::vector<std::string> locks = WineServerLockPaths(prefix);
    std::string lock = withNameFile ? locks.front() : locks.back();
    dir_ = lock.substr(0, lock.rfind('/'));
    top_ = withNameFile ? "/tmp/" + name : "";
    std::filesystem::create_directories(dir_);
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        char ok = (fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0) ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        for (;;) pause();
    }
    close(ready[1]);
    char ok = 0;
    locked_ = pid_ > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
}

FakeWineServer::~FakeWineServer() {
    Stop();
}

void FakeWineServer::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    std::error_code ec;
    std::filesystem::remove_all(top_.empty() ? dir_ : top_, ec);
}

}  // namespace tolvane::testing
