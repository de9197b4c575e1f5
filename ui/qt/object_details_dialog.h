// The "Object Details" dialog (objectName "ObjectDetails"): one listed
// object's vendor, category, type, danger, location and description, read-only.
#pragma once

class QWidget;

namespace tolvane {

struct ObjectDetails;

void RunObjectDetailsDialog(QWidget* parent, const ObjectDetails& details);

}  // namespace tolvane
