// The "Summary" dialog (objectName "Summary"): the counters of the last
// scan in two columns of labelled values.
#pragma once

class QWidget;

namespace tolvane {

struct SummaryTexts;

void RunSummaryDialog(QWidget* parent, const SummaryTexts& summary);

}  // namespace tolvane
