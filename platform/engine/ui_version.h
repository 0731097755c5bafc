// The UI program's own release ordering: enough SemVer to pick the newest release of a feed.
#ifndef PELLARK_PLATFORM_UI_VERSION_H_
#define PELLARK_PLATFORM_UI_VERSION_H_

#include <optional>
#include <string_view>

namespace pellark::ui {

// <0, 0 or >0 as `a` orders before, with or after `b`; nullopt when either is not a version.
// Numbers first, then pre-release precedence; build metadata does not order.
std::optional<int> compare_versions(std::string_view a, std::string_view b);

}  // namespace pellark::ui

#endif
