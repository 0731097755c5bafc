// The JSON request channel behind pellark_update_call.
#pragma once

#include <string>
#include <string_view>

namespace pellark {

inline constexpr const char kMissingRequest[] = R"({"error":"Missing request"})";
inline constexpr const char kGenericFailure[] =
    R"({"error":"Native update validation failed. Check installation permissions and retry."})";
inline constexpr const char kFaultAnswer[] = R"({"error":"Native updater failed safely."})";

// Handles one non-NULL request text and returns the response text. A successful "install" does
// not return: the process exits with status 0. Internal faults propagate as InternalFault.
std::string handle_request(std::string_view request);

}  // namespace pellark
