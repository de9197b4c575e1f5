// The importer's report: counts and every indicator left out with its place
// and reason, as JSON (--report) and as a short summary (stderr).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "tools/db/import/model.h"

namespace tolvane::import {

nlohmann::ordered_json ReportJson(const Report& report);
std::string ReportSummary(const Report& report);

}  // namespace tolvane::import
