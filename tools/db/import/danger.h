// The danger column from a source's own severity, one scale for all
// sources: a score of 0 to 100 (the IOC lists', a YARA rule's `score`
// meta), a Sigma `level`, a MISP `threat_level_id`.
//
//   score      Sigma level     MISP level   danger     row
//   90 and up  critical                     Critical   checked
//   75 to 89   high            1            High       checked
//   60 to 74   medium          2, 4, none   Medium     checked
//   below 60   low, informational, none  3  Low        unchecked
//
// Low marks an indicator the source itself rates as low or merely
// informational: its rows are listed unchecked (DANGER CHECKED="no"), for
// the user to judge, so "Remove all" never deletes them unasked.
#pragma once

#include <string>
#include <string_view>

namespace tolvane::import {

inline constexpr std::string_view kLowDanger = "Low";

inline std::string DangerOfSourceScore(int score) {
    if (score >= 90) return "Critical";
    if (score >= 75) return "High";
    if (score >= 60) return "Medium";
    return std::string(kLowDanger);
}

inline std::string DangerOfSigmaLevel(std::string_view level) {
    if (level == "critical") return "Critical";
    if (level == "high") return "High";
    if (level == "medium") return "Medium";
    return std::string(kLowDanger);
}

}  // namespace tolvane::import
