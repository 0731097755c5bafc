// The package descriptor rules, the file validation and the swapped-file check.
#include "src/package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "support/installed_layout.h"

namespace pellark {
namespace {

using nlohmann::json;
using pellark::testing::write_file;

// SHA-256("abc"), FIPS 180-2 appendix B.1.
constexpr const char kAbc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = std::filesystem::temp_directory_path().string() + "/pellark-pkg-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST(CheckPackageDescriptor, Table) {
  const std::string d = kAbc;
  auto with = [&](const std::string& artifact) {
    return R"({"method":"prepare","path":"/p","release":{"artifact":)" + artifact + "}}";
  };
  struct Row {
    std::string request;
    const char* failure;  // nullptr: accepted
  } rows[] = {
      {with(R"({"byteLength":0,"sha256":")" + d + "\"}"), nullptr},
      {with(R"({"byteLength":18446744073709551615,"sha256":")" + d + "\"}"), nullptr},
      {R"({"path":"p","release":{"artifact":{"byteLength":1,"sha256":"ABCDEF)" +
           std::string(58, '0') + "\"}}}",
       nullptr},
      {"{}", "missing path"},
      {R"({"path":null})", "missing path"},
      {R"({"path":5,"release":{"artifact":{"byteLength":1,"sha256":")" + d + "\"}}}",
       "missing path"},
      {R"({"release":{"artifact":{"path":"/p","byteLength":1,"sha256":")" + d + "\"}}}",
       "missing path"},
      {R"({"path":"/p"})", "invalid size"},
      {R"({"path":"/p","release":[]})", "invalid size"},
      {R"({"path":"/p","release":{"artifact":"x"}})", "invalid size"},
      {with(R"({"byteLength":-0,"sha256":")" + d + "\"}"), nullptr},  // the integer zero
      {with(R"({"byteLength":-1,"sha256":")" + d + "\"}"), "invalid size"},
      {with(R"({"byteLength":-0.0,"sha256":")" + d + "\"}"), "invalid size"},
      {with(R"({"byteLength":0e0,"sha256":")" + d + "\"}"), "invalid size"},
      {with(R"({"byteLength":1.5,"sha256":")" + d + "\"}"), "invalid size"},
      {with(R"({"byteLength":1e2,"sha256":")" + d + "\"}"), "invalid size"},
      {with(R"({"byteLength":4096.0,"sha256":")" + d + "\"}"), "invalid size"},
      {with(R"({"byteLength":"1024","sha256":")" + d + "\"}"), "invalid size"},
      {with(R"({"byteLength":18446744073709551616,"sha256":")" + d + "\"}"), "invalid size"},
      {with(R"({"byteLength":1})"), "missing digest"},
      {with(R"({"byteLength":1,"sha256":7})"), "missing digest"},
      {with(R"({"byteLength":1,"sha256":")" + d.substr(1) + "\"}"), "malformed digest"},
      {with(R"({"byteLength":1,"sha256":")" + d + "0\"}"), "malformed digest"},
      {with(R"({"byteLength":1,"sha256":"g)" + d.substr(1) + "\"}"), "malformed digest"},
      {with(R"({"byteLength":1,"sha256":" )" + d.substr(1) + "\"}"), "malformed digest"},
      // 62 digits and one two-byte character: 64 bytes, not 64 digits.
      {with(R"({"byteLength":1,"sha256":")" + d.substr(2) + "\xC3\xA9\"}"), "malformed digest"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.request);
    auto descriptor = check_package_descriptor(json::parse(row.request));
    if (row.failure == nullptr) {
      EXPECT_TRUE(descriptor);
    } else {
      ASSERT_FALSE(descriptor);
      EXPECT_STREQ(descriptor.error().reason, row.failure);
    }
  }
}

TEST(CheckPackageDescriptor, KeepsValuesUnchanged) {
  std::string digest = "ABCDEF" + std::string(58, '0');
  auto descriptor = check_package_descriptor(json::parse(
      R"({"path":"./a//b/../c","release":{"artifact":{"byteLength":18446744073709551615,"sha256":")" +
      digest + "\"}}}"));
  ASSERT_TRUE(descriptor);
  EXPECT_EQ(descriptor->path, "./a//b/../c");
  EXPECT_EQ(descriptor->byte_length, UINT64_MAX);
  EXPECT_EQ(descriptor->sha256, digest);
}

// "-0" is an integer without fraction or exponent, and equal to zero: a valid length of 0.
TEST(CheckPackageDescriptor, NegativeZeroIsTheLengthZero) {
  auto descriptor = check_package_descriptor(
      json::parse(R"({"path":"/p","release":{"artifact":{"byteLength":-0,"sha256":")" +
                  std::string(kAbc) + "\"}}}"));
  ASSERT_TRUE(descriptor);
  EXPECT_EQ(descriptor->byte_length, 0u);
}

using ValidatePackage = TempDir;

TEST_F(ValidatePackage, ReturnsTheHashedFileAtItsStart) {
  write_file(path("pkg"), "abc");
  auto fd = validate_package(path("pkg"), 3, kAbc);
  ASSERT_TRUE(fd);
  char buffer[8] = {};
  EXPECT_EQ(::read(fd->get(), buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_NE(::fcntl(fd->get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(::fcntl(fd->get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(ValidatePackage, RefusesBeforeOrAfterHashing) {
  write_file(path("pkg"), "abc");
  ASSERT_EQ(::symlink(path("pkg").c_str(), path("link").c_str()), 0);
  ASSERT_EQ(::mkdir(path("dir").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
  std::string upper = kAbc;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Row {
    std::string path;
    uint64_t length;
    std::string digest;
    const char* failure;  // nullptr: an Io error with `code`
    int code;
  } rows[] = {
      {path("link"), 3, kAbc, "length or kind mismatch", 0},
      {path("pkg"), 2, kAbc, "length or kind mismatch", 0},
      {path("pkg"), 4, kAbc, "length or kind mismatch", 0},
      {path("dir"), 4096, kAbc, "length or kind mismatch", 0},
      {path("fifo"), 0, kAbc, "length or kind mismatch", 0},
      {path("pkg"), 3, upper, "digest mismatch", 0},
      {path("pkg"), 3, std::string(64, '0'), "digest mismatch", 0},
      {path("missing"), 3, kAbc, nullptr, ENOENT},
      {path("pkg") + std::string(1, '\0') + "x", 3, kAbc, nullptr, EINVAL},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path + " " + std::to_string(row.length) + " " + row.digest);
    auto fd = validate_package(row.path, row.length, row.digest);
    ASSERT_FALSE(fd);
    if (row.failure != nullptr) {
      EXPECT_STREQ(fd.error().reason, row.failure);
    } else {
      EXPECT_EQ(fd.error().kind, ErrorKind::Io);
      EXPECT_EQ(fd.error().code, row.code);
    }
  }
}

// A host that uses OpenSSL itself may leave its threads' default context without any digest;
// the package check does not depend on that context.
TEST_F(ValidatePackage, HostsOpensslContextHasNoSay) {
  write_file(path("pkg"), "abc");
  OSSL_LIB_CTX* host = OSSL_LIB_CTX_new();
  ASSERT_NE(host, nullptr);
  OSSL_PROVIDER* null_only = OSSL_PROVIDER_load(host, "null");
  ASSERT_NE(null_only, nullptr);
  OSSL_LIB_CTX* previous = OSSL_LIB_CTX_set0_default(host);
  EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EXPECT_EQ(fetched, nullptr) << "the host's context should offer no SHA-256";
  EVP_MD_free(fetched);

  auto fd = validate_package(path("pkg"), 3, kAbc);
  EXPECT_TRUE(fd);

  (void)OSSL_LIB_CTX_set0_default(previous);
  (void)OSSL_PROVIDER_unload(null_only);
  OSSL_LIB_CTX_free(host);
}

// The entry looked at and the file opened must be one and the same.
using OpenedEntry = TempDir;

TEST_F(OpenedEntry, SwappedPathIsRefused) {
  write_file(path("pkg"), "abc");
  write_file(path("other"), "xyz");
  struct stat examined {};
  ASSERT_EQ(::lstat(path("pkg").c_str(), &examined), 0);
  // Keeps the examined inode allocated, so no later file can be given its number.
  ASSERT_EQ(::link(path("pkg").c_str(), path("keep").c_str()), 0);

  {
    int fd = ::open(path("pkg").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(check_opened_entry(examined, fd, 3));
    EXPECT_FALSE(check_opened_entry(examined, fd, 4));
    ::close(fd);
  }
  // Another file of the same size renamed over the path after the look.
  ASSERT_EQ(::rename(path("other").c_str(), path("pkg").c_str()), 0);
  int swapped = ::open(path("pkg").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(swapped, 0);
  EXPECT_FALSE(check_opened_entry(examined, swapped, 3));
  ::close(swapped);

  // A symbolic link to a third file put in its place.
  write_file(path("third"), "abc");
  ASSERT_EQ(::unlink(path("pkg").c_str()), 0);
  ASSERT_EQ(::symlink(path("third").c_str(), path("pkg").c_str()), 0);
  int linked = ::open(path("pkg").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(linked, 0);
  EXPECT_FALSE(check_opened_entry(examined, linked, 3));
  ::close(linked);
}

TEST_F(OpenedEntry, FileGrownAfterTheLookIsRefused) {
  write_file(path("pkg"), "abc");
  struct stat examined {};
  ASSERT_EQ(::lstat(path("pkg").c_str(), &examined), 0);
  int fd = ::open(path("pkg").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "d", 1, 3), 1);
  EXPECT_FALSE(check_opened_entry(examined, fd, 3));
  ::close(fd);
}

}  // namespace
}  // namespace pellark
