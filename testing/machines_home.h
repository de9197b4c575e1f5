// Test support: a home folder made in a fresh temporary folder holding a
// Windows machine of every kind that machine discovery knows: $WINEPREFIX,
// ~/.wine, a winetricks prefix, a Proton prefix in a second Steam library
// (listed by the installation's libraryfolders.vdf, with ~/.steam/steam
// linking to the installation), a Lutris game's prefix, a bottle, a
// PlayOnLinux prefix, a Heroic game's prefix, a Windows installation under
// mnt/windows, and one damaged winetricks prefix (no drive_c, no dosdevices).
// Each prefix is a copy of a fresh TempPrefix. Removed by the destructor.
#pragma once

#include <string>
#include <vector>

#include "discovery/machine_discovery.h"

namespace tolvane::testing {

class MachinesHome {
  public:
    MachinesHome();
    ~MachinesHome();
    MachinesHome(const MachinesHome&) = delete;
    MachinesHome& operator=(const MachinesHome&) = delete;

    const std::string& home() const { return home_; }
    // The places of this home: $WINEPREFIX is home/custom, the Windows
    // installation is given as a mount point.
    DiscoveryPlaces places() const;
    // The folders expected, in discovery order, with their kinds.
    struct Expected {
        std::string path;
        MachineKind kind;
        bool damaged;
    };
    const std::vector<Expected>& expected() const { return expected_; }
    std::string windowsFolder() const { return home_ + "/mnt/windows"; }

  private:
    std::string home_;
    std::vector<Expected> expected_;
};

}  // namespace tolvane::testing
