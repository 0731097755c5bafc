// The release check: every condition an install of PACKAGE over INSTALLED must meet, in the
// order the updater meets them, each reported as one line with the values involved.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "framework/manifest.h"

namespace pellark::release_check {

struct Request {
  std::string installed;        // an installed AppImage, or its manifest ("sq.version")
  std::string package;          // the release package file
  std::string display_version;  // what the release descriptor announces
  // The announced size and digest, as typed: the updater's own rules decide whether they are a
  // size and a digest at all.
  std::optional<std::string> length;
  std::optional<std::string> sha256;
};

// Writes "ok <check>[: detail]" and "FAIL <check>: reason" lines as they are decided.
class Report {
 public:
  explicit Report(std::FILE* out) : out_(out) {}
  void pass(std::string_view check, std::string_view detail = {});
  void fail(std::string_view check, std::string_view reason);
  bool failed() const { return failed_; }

 private:
  std::FILE* out_;
  bool failed_ = false;
};

// The five identity lines: id, newer, display version, os, architecture. Returns whether all
// held; the install's own identity rule must agree.
bool check_identity(const Manifest& installed, const Manifest& package,
                    const std::string& display_version, Report& report);

// The only file the check writes into its work directory: a stop signal's handler removes
// exactly this and the directory.
inline constexpr const char* kPayloadCopy = "next.AppImage";

// Runs every check that can run; a check whose input an earlier failure took away is skipped.
// `work_dir` is a private directory for the extracted AppImage.
void run_release_check(const Request& request, const std::string& work_dir, Report& report);

}  // namespace pellark::release_check
