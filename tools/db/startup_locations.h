// tolvane-db startup-locations: the table of auto-start locations the
// start-up listing reads (data/startup-locations.json), generated from
// RECmd's *ASEPs.reb batch files and ForensicArtifacts' windows.yaml, with
// the few locations neither holds added by hand. The output is the same
// bytes for the same inputs, so the checked-in table can be compared with a
// fresh generation. Exit codes: 0 done, 1 failed (a source unreadable or
// not the expected YAML, the output not written), 2 bad usage.
#pragma once

#include <string>
#include <vector>

namespace tolvane {

int StartupLocationsCommand(const std::vector<std::string>& args);

}  // namespace tolvane
