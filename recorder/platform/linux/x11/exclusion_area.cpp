#include "recorder/platform/linux/x11/exclusion_area.hpp"

namespace recorder::linux_backend::x11 {

std::vector<PixelRect> excludedArea(const std::vector<TopLevelFacts>& bottomToTop,
                                    const std::unordered_set<int32_t>& excludedPids) {
    std::vector<PixelRect> area;
    if (excludedPids.empty()) return area;
    std::vector<PixelRect> coveringAbove;
    for (auto it = bottomToTop.rbegin(); it != bottomToTop.rend(); ++it) {
        const bool excluded = it->pid && excludedPids.count(*it->pid) != 0;
        if (!excluded) {
            coveringAbove.push_back(it->rect);
            continue;
        }
        std::vector<PixelRect> visible{it->rect};
        for (const PixelRect& cover : coveringAbove) {
            visible = subtract(visible, cover);
            if (visible.empty()) break;
        }
        // Earlier (higher) excluded windows may overlap this one; painting twice is harmless but
        // keeping the result disjoint keeps the cost per frame proportional to the area.
        for (const PixelRect& done : area) {
            visible = subtract(visible, done);
            if (visible.empty()) break;
        }
        area.insert(area.end(), visible.begin(), visible.end());
    }
    return area;
}

}  // namespace recorder::linux_backend::x11
