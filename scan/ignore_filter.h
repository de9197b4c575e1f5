// The ignore-list test the scan asks for every recognised object, and its
// form over the program's IgnoreList.
#pragma once

#include "scan/detected_object.h"
#include "scan/ignore_list.h"

namespace tolvane {

class IgnoreFilter {
  public:
    virtual ~IgnoreFilter() = default;
    // Called on the scan worker thread.
    virtual bool IsIgnored(const DetectedObject& object) const = 0;
};

// An object is ignored when the list holds its type and exactly its text.
class IgnoreListFilter : public IgnoreFilter {
  public:
    explicit IgnoreListFilter(const IgnoreList& list) : list_(list) {}
    bool IsIgnored(const DetectedObject& object) const override {
        return list_.IsIgnored(object.type, object.objectText);
    }

  private:
    const IgnoreList& list_;
};

}  // namespace tolvane
