// The "Advanced BHO Scanning Option" window (objectName "AdvancedScan") over
// its model: the rows, the description of a clicked row, Scan and the close
// button whose caption the model gives.
#pragma once

class QWidget;

namespace tolvane {

class AdvancedScan;

void RunAdvancedScanDialog(QWidget* parent, AdvancedScan& scan);

}  // namespace tolvane
