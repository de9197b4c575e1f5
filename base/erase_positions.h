// Dropping the elements at some positions of a vector in one pass.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace tolvane {

// Removes the elements of items at the positions given (ascending; repeats
// and positions past the end are passed over), keeping the others in their
// order, in one pass. onRemoved(element) sees each removed element before it
// goes. Returns how many were removed.
template <typename T, typename OnRemoved>
size_t ErasePositions(std::vector<T>& items, const std::vector<size_t>& positions,
                      OnRemoved&& onRemoved) {
    size_t kept = 0;
    size_t next = 0;  // the next position to remove, in positions
    for (size_t i = 0; i < items.size(); ++i) {
        while (next < positions.size() && positions[next] < i) ++next;
        if (next < positions.size() && positions[next] == i) {
            onRemoved(items[i]);
            continue;
        }
        if (kept != i) items[kept] = std::move(items[i]);
        ++kept;
    }
    const size_t removed = items.size() - kept;
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(kept), items.end());
    return removed;
}

}  // namespace tolvane
