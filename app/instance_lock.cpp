#include "app/instance_lock.h"

#include <cstdint>
#include <cstdio>

namespace tolvane {

std::string InstanceLock::LockName(const std::string& machineFolder) {
    // FNV-1a: stable across builds, so that every version of the program
    // finds the same lock for a machine.
    uint64_t digest = 14695981039346656037ull;
    for (unsigned char c : machineFolder) {
        digest ^= c;
        digest *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
    return std::string("Tolvane-") + hex + ".lock";
}

bool InstanceLock::Acquire(const std::string& machineFolder, bool* alreadyRunning) {
    UserLock::Result result = lock_.Acquire(LockName(machineFolder));
    *alreadyRunning = result == UserLock::Result::HeldElsewhere;
    return result == UserLock::Result::Taken;
}

std::string InstanceLock::UnavailableMessage() const {
    return "Tolvane runs without its one-copy lock: " + lock_.unavailableReason() +
           ". A second copy started on this machine will not be stopped.";
}

}  // namespace tolvane
