// The request channel: parse, configure, (lock, check, validate), act; every failure becomes the
// one generic answer.
#include "request.h"

#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "config.h"
#include "install.h"
#include "json_text.h"
#include "package.h"
#include "private_dir.h"
#include "work_dirs.h"

namespace pellark {

namespace {

using nlohmann::json;

// The result member of a successful answer. The install lock lives only inside this function,
// so it is released before the answer is serialised.
Result<json> answer(const json& request) {
  if (!request.is_object()) return Error::failure("request not an object");
  auto method_it = request.find("method");
  if (method_it == request.end() || !method_it->is_string())
    return Error::failure("missing method");
  const auto& method = method_it->get_ref<const std::string&>();

  PELLARK_TRY_ASSIGN(InstallationConfig config, current_installation_config());

  if (method == "identity") {
    PELLARK_TRY_ASSIGN(Identity identity, installation_identity(config));
    json result = json::object();
    result["install"] = identity.install;
    result["packageId"] = std::move(identity.package_id);
    result["version"] = std::move(identity.version);
    return result;
  }

  PELLARK_TRY_ASSIGN(UniqueFd lock, acquire_install_lock(config.packages_dir));
  // Holding the lock means no install is running: what is in VelopackTemp is dead.
  reclaim_work_directories(config);
  PELLARK_TRY_ASSIGN(PackageDescriptor package, check_package_descriptor(request));
  PELLARK_TRY_ASSIGN(UniqueFd validated,
                     validate_package(package.path, package.byte_length, package.sha256));

  if (method == "prepare") return json::object();
  if (method == "install") {
    auto release = request.find("release");
    if (release == request.end() || !release->is_object())
      return Error::failure("missing display version");
    auto display = release->find("displayVersion");
    if (display == release->end() || !display->is_string())
      return Error::failure("missing display version");
    PELLARK_TRY(install_release(config, package.path, std::move(validated),
                                display->get_ref<const std::string&>()));
    // The new AppImage runs; this process ends here, the lock with it.
    (void)std::fflush(stdout);
    std::exit(0);
  }
  return Error::failure("unrecognised method");
}

}  // namespace

std::string handle_request(std::string_view request) {
  std::optional<json> parsed = parse_request_json(request);
  if (!parsed) return kGenericFailure;
  Result<json> result = answer(*parsed);
  if (!result) return kGenericFailure;
  json envelope = json::object();
  envelope["result"] = std::move(*result);
  return serialise_json(envelope);
}

}  // namespace pellark
