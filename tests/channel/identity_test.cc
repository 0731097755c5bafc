// The "identity" answer and where the staging directory goes, for each kind of APPIMAGE value.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "support/installed_layout.h"

namespace {

using pellark::testing::HostOptions;
using pellark::testing::InstalledLayout;
using pellark::testing::kFailure;
using pellark::testing::path_exists;

std::string identity(bool install, const std::string& version = "1.0.0") {
  return std::string(R"({"result":{"install":)") + (install ? "true" : "false") +
         R"(,"packageId":"com.pellark.App","version":")" + version + R"("}})";
}

TEST(Identity, AppImageKinds) {
  struct Row {
    const char* name;
    // Prepares the layout; returns the APPIMAGE value (nullopt: unset) and sets the cwd.
    std::function<std::optional<std::string>(const InstalledLayout&, std::string& cwd)> setup;
    std::string answer;
    const char* staging;  // relative to root(); nullptr: none is created anywhere new
  } rows[] = {
      {"absolute file", [](auto& l, auto&) { return l.appimage_path(); }, identity(true),
       "apps/.pellark-updates"},
      {"symbolic link",
       [](auto& l, auto&) {
         std::string link = l.root() + "/links/Link.AppImage";
         EXPECT_EQ(::mkdir((l.root() + "/links").c_str(), 0755), 0);
         EXPECT_EQ(::symlink(l.appimage_path().c_str(), link.c_str()), 0);
         return link;
       },
       identity(false), "links/.pellark-updates"},
      {"relative path",
       [](auto& l, auto& cwd) {
         cwd = l.apps_dir();
         return std::string("Pellark.AppImage");
       },
       identity(false), "apps/.pellark-updates"},
      {"directory",
       [](auto& l, auto&) {
         std::string dir = l.root() + "/AppDir";
         EXPECT_EQ(::mkdir(dir.c_str(), 0755), 0);
         return dir;
       },
       identity(false), ".pellark-updates"},
      {"root", [](auto&, auto&) { return std::string("/"); }, kFailure, nullptr},
      {"unset", [](auto&, auto&) { return std::nullopt; }, kFailure, nullptr},
      {"empty", [](auto&, auto&) { return std::string(); }, kFailure, nullptr},
      {"missing file", [](auto& l, auto&) { return l.root() + "/gone.AppImage"; }, kFailure,
       nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    InstalledLayout layout;
    HostOptions options;
    auto appimage = row.setup(layout, options.cwd);
    if (appimage) {
      options.set_env = {{"APPIMAGE", *appimage}};
    } else {
      options.unset_env = {"APPIMAGE"};
    }
    auto run = layout.call({R"({"method":"identity"})"}, options);
    ASSERT_TRUE(run.exited_with(0)) << run.err;
    EXPECT_EQ(run.out, row.answer + "\n");
    if (row.staging != nullptr) {
      struct stat st {};
      ASSERT_EQ(::lstat((layout.root() + "/" + row.staging).c_str(), &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
      EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
    if (std::string(row.name) != "absolute file" && std::string(row.name) != "relative path") {
      EXPECT_FALSE(path_exists(layout.staging_dir()));
    }
    EXPECT_FALSE(path_exists("/.pellark-updates"));
  }
}

TEST(Identity, ReportsTheWholeVersionText) {
  InstalledLayout layout("com.pellark.App", "1.2.3-beta.1+build.5");
  auto run = layout.call({R"({"method":"identity"})"});
  EXPECT_EQ(run.out, identity(true, "1.2.3-beta.1+build.5") + "\n");
}

TEST(Identity, EscapesTheManifestTexts) {
  InstalledLayout layout("a\"b\\c/\xC3\xA9\t", "2.0.0");
  auto run = layout.call({R"({"method":"identity"})"});
  EXPECT_EQ(run.out,
            "{\"result\":{\"install\":true,\"packageId\":\"a\\\"b\\\\c/\xC3\xA9\\t\","
            "\"version\":\"2.0.0\"}}\n");
}

TEST(Identity, MissingManifestFails) {
  InstalledLayout layout;
  ASSERT_EQ(::unlink(layout.manifest_path().c_str()), 0);
  auto run = layout.call({R"({"method":"identity"})"});
  EXPECT_EQ(run.out, std::string(kFailure) + "\n");
}

}  // namespace
