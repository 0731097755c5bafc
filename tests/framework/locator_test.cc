#include "framework/locator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "framework/temp_dir.h"

namespace pellark {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;

class Locator : public ::testing::Test {
 protected:
  // <tmp>/<mount>/usr/bin/{UpdateNix, sq.version} and <tmp>/Pellark.AppImage.
  std::string make_mount(const std::string& mount, const std::string& id = "com.pellark.App",
                         const std::string& version = "1.2.3") {
    std::string bin = dir / (mount + "/usr/bin");
    write_file(bin + "/UpdateNix", "#!/bin/sh\n");
    write_file(bin + "/sq.version", testing::manifest_xml(id, version));
    return dir / mount;
  }

  TempDir dir;
  std::string appimage = dir / "Pellark.AppImage";
};

TEST_F(Locator, LocatesMountedAppImage) {
  std::string root = make_mount("mnt");
  write_file(appimage, "ELF");
  ScopedEnv env("APPIMAGE", appimage.c_str());
  auto rec = locate_installation_from(root + "/usr/bin/pellark_app");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->config.appimage_path, appimage);
  EXPECT_EQ(rec->config.binary_dir, root + "/usr/bin");
  EXPECT_EQ(rec->config.updater_path, root + "/usr/bin/UpdateNix");
  EXPECT_EQ(rec->config.manifest_path, root + "/usr/bin/sq.version");
  EXPECT_EQ(rec->config.packages_dir, "/var/tmp/velopack/com.pellark.App/packages");
  EXPECT_EQ(rec->manifest.id, "com.pellark.App");
  EXPECT_EQ(version_text(rec->manifest.version), "1.2.3");
}

TEST_F(Locator, FirstUsrBinDecides) {
  std::string root = make_mount("a");
  write_file(appimage, "ELF");
  ScopedEnv env("APPIMAGE", appimage.c_str());
  auto rec = locate_installation_from(root + "/usr/bin/b/usr/bin/app");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->config.binary_dir, root + "/usr/bin");
}

TEST_F(Locator, NeedsUsrBinWithTrailingSlash) {
  write_file(appimage, "ELF");
  ScopedEnv env("APPIMAGE", appimage.c_str());
  std::string root = make_mount("opt");
  for (std::string exe :
       {root + "/usr/bin", root + "/usr/binx/app", root + "/USR/bin/app", root + "/usrbin/app"}) {
    SCOPED_TRACE(exe);
    auto rec = locate_installation_from(exe);
    ASSERT_FALSE(rec);
    EXPECT_EQ(rec.error().kind, ErrorKind::NotInstalled);
  }
}

TEST_F(Locator, EmptyMountRootIsRelativeToCurrentDirectory) {
  make_mount(".");
  write_file(appimage, "ELF");
  ScopedEnv env("APPIMAGE", appimage.c_str());
  std::string cwd = std::filesystem::current_path();
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  auto rec = locate_installation_from("/usr/bin/pellark_app");
  ASSERT_EQ(::chdir(cwd.c_str()), 0);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->config.binary_dir, "usr/bin");
  EXPECT_EQ(rec->config.updater_path, "usr/bin/UpdateNix");
}

TEST_F(Locator, AppImageVariable) {
  std::string root = make_mount("mnt");
  write_file(appimage, "ELF");
  std::string exe = root + "/usr/bin/app";
  ASSERT_EQ(::symlink(appimage.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
  std::string relative = std::filesystem::relative(appimage).string();
  struct Case {
    const char* what;
    std::optional<std::string> value;
    bool accepted;
  } cases[] = {
      {"unset", std::nullopt, false},
      {"empty", "", false},
      {"not UTF-8", dir / "Pellark\xFF.AppImage", false},
      {"missing", dir / "missing.AppImage", false},
      {"dangling link", dir / "dangling", false},
      {"link to a file", dir / "link", true},
      {"directory", dir.path(), true},
      {"relative", relative, true},
  };
  write_file(dir / "Pellark\xFF.AppImage", "ELF");  // exists, yet refused for its bytes
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv env("APPIMAGE", c.value ? c.value->c_str() : nullptr);
    auto rec = locate_installation_from(exe);
    ASSERT_EQ(rec.has_value(), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(rec->config.appimage_path, *c.value);  // unchanged, not resolved
    } else {
      EXPECT_EQ(rec.error().kind, ErrorKind::NotInstalled);
    }
  }
}

TEST_F(Locator, UpdaterCheckedBeforeAppImage) {
  std::string root = make_mount("mnt");
  std::filesystem::remove(root + "/usr/bin/UpdateNix");
  ScopedEnv env("APPIMAGE", nullptr);
  auto rec = locate_installation_from(root + "/usr/bin/app");
  ASSERT_FALSE(rec);
  EXPECT_EQ(rec.error().kind, ErrorKind::NotInstalled);
  EXPECT_STREQ(rec.error().reason, "no updater");
}

TEST_F(Locator, ManifestDecidesPackagesDirAndErrors) {
  write_file(appimage, "ELF");
  ScopedEnv env("APPIMAGE", appimage.c_str());
  std::string root = make_mount("abs", "/srv/pellark");
  auto rec = locate_installation_from(root + "/usr/bin/app");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->config.packages_dir, "/srv/pellark/packages");

  root = make_mount("bad", "com.pellark.App", "1.2");
  rec = locate_installation_from(root + "/usr/bin/app");
  ASSERT_FALSE(rec);
  EXPECT_EQ(rec.error().kind, ErrorKind::Semver);

  root = make_mount("noid", "", "1.0.0");
  rec = locate_installation_from(root + "/usr/bin/app");
  ASSERT_FALSE(rec);
  EXPECT_EQ(rec.error().kind, ErrorKind::InvalidPackage);
}

TEST_F(Locator, InvalidBytesInExecutablePathBecomeReplacement) {
  write_file(appimage, "ELF");
  ScopedEnv env("APPIMAGE", appimage.c_str());
  std::string real = make_mount("m\xFFnt");
  auto rec = locate_installation_from(real + "/usr/bin/app");
  ASSERT_FALSE(rec);  // the derived paths name "m\uFFFDnt", which does not exist
  EXPECT_EQ(rec.error().kind, ErrorKind::NotInstalled);

  std::string replaced = make_mount("m\xEF\xBF\xBDnt");
  rec = locate_installation_from(real + "/usr/bin/app");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->config.binary_dir, replaced + "/usr/bin");
}

TEST_F(Locator, RunningProcessIsNotAnAppImage) {
  auto rec = locate_installation();
  ASSERT_FALSE(rec);
  EXPECT_EQ(rec.error().kind, ErrorKind::NotInstalled);
}

TEST_F(Locator, FromConfig) {
  std::string root = make_mount("mnt");
  InstallationConfig config{dir / "none.AppImage", root + "/usr/bin/UpdateNix", dir / "nopkgs",
                            root + "/usr/bin/sq.version", "unused"};
  auto rec = installation_from_config(config);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->config.appimage_path, config.appimage_path);
  EXPECT_EQ(rec->config.updater_path, config.updater_path);
  EXPECT_EQ(rec->config.packages_dir, config.packages_dir);
  EXPECT_EQ(rec->config.manifest_path, config.manifest_path);
  EXPECT_EQ(rec->config.binary_dir, config.binary_dir);
  EXPECT_EQ(rec->manifest.id, "com.pellark.App");

  for (std::string InstallationConfig::*field :
       {&InstallationConfig::updater_path, &InstallationConfig::manifest_path}) {
    InstallationConfig broken = config;
    broken.*field = dir / "missing";
    auto r = installation_from_config(broken);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::NotInstalled);
  }
}

}  // namespace
}  // namespace pellark
