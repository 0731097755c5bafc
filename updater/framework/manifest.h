// The package manifest (".nuspec" XML, also installed as "sq.version"): a streaming reader that
// keeps only the element-name stack and the sixteen values.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "version.h"

namespace pellark {

struct Manifest {
  std::string id;
  Version version;
  std::string title;
  std::string authors;
  std::string description;
  std::string machine_architecture;
  std::string runtime_dependencies;
  std::string main_exe;
  std::string os;
  std::string os_min_version;
  std::string channel;
  std::string shortcut_locations;
  std::string shortcut_amuid;
  std::string release_notes;
  std::string release_notes_html;
  std::string splash_progress_color;

  bool operator==(const Manifest&) const = default;
};

// Errors: Semver for a bad version text; InvalidPackage for a missing id or version.
Result<Manifest> parse_manifest(std::string_view text);

// NotInstalled when the file is missing (at once) or unreadable / not UTF-8 after the retries.
Result<Manifest> read_manifest_file(const std::string& path);

}  // namespace pellark
