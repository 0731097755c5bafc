#include "framework/bundle.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "framework/temp_dir.h"

namespace pellark {
namespace {

using testing::exists_nofollow;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

class BundleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fixtures_ = new TempDir;
    std::string cmd =
        std::string("python3 '") + PELLARK_MAKE_ZIPS + "' '" + fixtures_->path() + "'";
    generated_ = std::system(cmd.c_str()) == 0;
    if (generated_) payload_ = new std::string(read_file(*fixtures_ / "payload.bin"));
  }
  static void TearDownTestSuite() {
    delete fixtures_;
    delete payload_;
  }
  void SetUp() override { ASSERT_TRUE(generated_) << "fixture generation failed"; }

  static std::string fixture(const std::string& name) { return *fixtures_ / name; }
  static const std::string& payload() { return *payload_; }

  static Bundle open(const std::string& name) {
    auto bundle = open_bundle(fixture(name));
    if (!bundle) {
      ADD_FAILURE() << name << " does not open";
      internal_fault("fixture");
    }
    return std::move(*bundle);
  }

  TempDir out;

 private:
  static inline TempDir* fixtures_ = nullptr;
  static inline std::string* payload_ = nullptr;
  static inline bool generated_ = false;
};

TEST_F(BundleTest, ReadsAndExtractsFromBothWriters) {
  const char* archives[] = {"py_stored.zip", "py_deflate.zip", "py_streamed.zip", "py_zip64.zip",
                            "iz_stored.zip", "iz_deflate.zip", "iz_streamed.zip", "iz_zip64.zip"};
  for (const char* name : archives) {
    SCOPED_TRACE(name);
    Bundle bundle = open(name);
    auto manifest = bundle_manifest(bundle);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->id, "com.pellark.App");
    EXPECT_EQ(version_text(manifest->version), "2.0.0");
    // The target's directory does not exist yet: it is created with its parents.
    std::string target = out / (std::string(name) + "/a/b/Pellark.AppImage");
    ASSERT_TRUE(extract_entry(bundle, is_appimage_entry, target));
    EXPECT_TRUE(read_file(target) == payload());
  }
}

TEST_F(BundleTest, TargetIsCreated0666BeforeUmaskAndTruncated) {
  Bundle bundle = open("py_entries.zip");
  std::string target = out / "first";
  write_file(target, "a much longer previous content");
  ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
  ASSERT_TRUE(extract_entry(bundle, is_appimage_entry, target));
  EXPECT_EQ(read_file(target), "first");

  mode_t mask = ::umask(022);
  auto status = extract_entry(bundle, is_appimage_entry, out / "fresh");
  ::umask(mask);
  ASSERT_TRUE(status);
  struct stat st;
  ASSERT_EQ(::stat((out / "fresh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(BundleTest, WrongCrcFailsWithIoAfterWritingAllData) {
  for (const char* name : {"py_badcrc_stored.zip", "py_badcrc_deflate.zip"}) {
    SCOPED_TRACE(name);
    Bundle bundle = open(name);
    std::string target = out / (std::string(name) + ".AppImage");
    auto status = extract_entry(bundle, is_appimage_entry, target);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind, ErrorKind::Io);
    ASSERT_TRUE(exists_nofollow(target));  // left for the caller
    EXPECT_TRUE(read_file(target) == payload());
  }
  Bundle bundle = open("py_badcrc_manifest.zip");
  auto manifest = bundle_manifest(bundle);
  ASSERT_FALSE(manifest);
  EXPECT_EQ(manifest.error().kind, ErrorKind::Io);
}

TEST_F(BundleTest, OtherMethodsAndEncryptionRefusedBeforeAnyByte) {
  for (const char* name : {"py_bzip2.zip", "iz_bzip2.zip", "iz_encrypted.zip"}) {
    SCOPED_TRACE(name);
    Bundle bundle = open(name);
    std::string target = out / (std::string(name) + ".AppImage");
    auto status = extract_entry(bundle, is_appimage_entry, target);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind, ErrorKind::Zip);
    EXPECT_FALSE(exists_nofollow(target));
  }
  for (const char* name : {"py_bzip2_manifest.zip", "iz_encrypted.zip"}) {
    SCOPED_TRACE(name);
    Bundle bundle = open(name);
    auto manifest = bundle_manifest(bundle);
    ASSERT_FALSE(manifest);
    EXPECT_EQ(manifest.error().kind, ErrorKind::Zip);
  }
}

TEST_F(BundleTest, EntryChoice) {
  Bundle bundle = open("py_entries.zip");
  // APP.NUSPEC, app.AppImage.zsync, nuspec, sub/app.nuspec, later.nuspec, first, second.
  EXPECT_EQ(find_entry(bundle, is_manifest_entry), 3u);
  EXPECT_EQ(find_entry(bundle, is_appimage_entry), 5u);
  EXPECT_EQ(find_entry(bundle, [](std::string_view) { return false; }), std::nullopt);
  auto manifest = bundle_manifest(bundle);
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->id, "com.pellark.App");

  Bundle exact = open("py_exact_names.zip");
  EXPECT_EQ(find_entry(exact, is_manifest_entry), 0u);
  EXPECT_EQ(find_entry(exact, is_appimage_entry), 1u);

  struct Case {
    const char* name;
    bool manifest, appimage;
  } cases[] = {
      {".nuspec", true, false},        {"nuspec", false, false},
      {"a.nuspec", true, false},       {"a.NUSPEC", false, false},
      {"a.nuspec/", false, false},     {".AppImage", false, true},
      {"AppImage", false, false},      {"x.appimage", false, false},
      {"dir/x.AppImage", false, true}, {"x.AppImage.zsync", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_manifest_entry(c.name), c.manifest);
    EXPECT_EQ(is_appimage_entry(c.name), c.appimage);
  }
}

// broken.nuspec, app.nuspec, broken.AppImage, Pellark.AppImage: the broken entries come first
// but their local headers cannot be read, so the search passes over them.
TEST_F(BundleTest, EntriesWithUnreadableHeadersAreSkipped) {
  for (const char* name : {"py_header_past_end.zip", "py_header_cut_off.zip"}) {
    SCOPED_TRACE(name);
    Bundle bundle = open(name);
    EXPECT_EQ(find_entry(bundle, is_manifest_entry), 1u);
    EXPECT_EQ(find_entry(bundle, is_appimage_entry), 3u);
    EXPECT_EQ(find_entry(bundle, [](std::string_view n) { return n.starts_with("broken"); }),
              std::nullopt);
    auto manifest = bundle_manifest(bundle);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->id, "com.pellark.App");
    std::string target = out / (std::string(name) + ".AppImage");
    ASSERT_TRUE(extract_entry(bundle, is_appimage_entry, target));
    EXPECT_TRUE(read_file(target) == payload());
  }
}

TEST_F(BundleTest, ManifestIsCachedOnlyOnSuccess) {
  Bundle bundle = open("py_stored.zip");
  auto first = bundle_manifest(bundle);
  ASSERT_TRUE(first);
  auto second = bundle_manifest(bundle);
  ASSERT_TRUE(second);
  EXPECT_EQ(*first, *second);
  // The second answer comes from the cache, not from the archive.
  bundle.cached_manifest()->id = "from.cache";
  EXPECT_EQ(bundle_manifest(bundle)->id, "from.cache");

  Bundle bad = open("py_manifest_no_id.zip");
  ASSERT_FALSE(bundle_manifest(bad));
  EXPECT_FALSE(bad.cached_manifest().has_value());
}

TEST_F(BundleTest, Failures) {
  for (const char* name : {"not_a_zip.zip", "empty.zip"}) {
    SCOPED_TRACE(name);
    auto bundle = open_bundle(fixture(name));
    ASSERT_FALSE(bundle);
    EXPECT_EQ(bundle.error().kind, ErrorKind::Zip);
  }
  struct Case {
    const char* name;
    ErrorKind kind;
  } cases[] = {
      {"py_no_manifest.zip", ErrorKind::InvalidPackage},
      {"py_manifest_not_utf8.zip", ErrorKind::Io},
      {"py_manifest_no_id.zip", ErrorKind::InvalidPackage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bundle bundle = open(c.name);
    auto manifest = bundle_manifest(bundle);
    ASSERT_FALSE(manifest);
    EXPECT_EQ(manifest.error().kind, c.kind);
  }
  Bundle bundle = open("py_no_manifest.zip");
  auto status = extract_entry(bundle, is_manifest_entry, out / "x.nuspec");
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().kind, ErrorKind::InvalidPackage);
  EXPECT_FALSE(exists_nofollow(out / "x.nuspec"));
}

// Descriptors that name `path`, with their close-on-exec flag.
std::vector<bool> open_descriptors_of(const std::string& path) {
  std::vector<bool> flags;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), ::closedir);
  while (dirent* e = ::readdir(dir.get())) {
    char target[4096];
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) {
      flags.push_back((::fcntl(std::atoi(e->d_name), F_GETFD) & FD_CLOEXEC) != 0);
    }
  }
  return flags;
}

TEST_F(BundleTest, PackageDescriptorIsCloseOnExecAndOwned) {
  std::string path = fixture("py_stored.zip");
  {
    Bundle bundle = open("py_stored.zip");
    EXPECT_EQ(open_descriptors_of(path), std::vector<bool>{true});
  }
  EXPECT_TRUE(open_descriptors_of(path).empty());

  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    auto bundle = open_bundle_fd(UniqueFd(fd));
    ASSERT_TRUE(bundle);
    EXPECT_TRUE(bundle_manifest(*bundle));
  }
  EXPECT_TRUE(open_descriptors_of(path).empty());

  std::string junk = fixture("not_a_zip.zip");
  auto refused = open_bundle_fd(UniqueFd(::open(junk.c_str(), O_RDONLY | O_CLOEXEC)));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ErrorKind::Zip);
  EXPECT_TRUE(open_descriptors_of(junk).empty());
}

}  // namespace
}  // namespace pellark
