// The request channel of the built library, driven through the test host in an installed layout.
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/installed_layout.h"

namespace {

using pellark::testing::HostOptions;
using pellark::testing::InstalledLayout;
using pellark::testing::kFailure;
using pellark::testing::kIdentity;
using pellark::testing::kPrepared;
using pellark::testing::path_exists;
using pellark::testing::read_file;
using pellark::testing::write_file;

// FIPS 180-2 appendix B vectors and the digest of empty input.
constexpr const char kEmpty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char kAbc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char kMillionA[] =
    "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

std::string package_request(const std::string& method, const std::string& path, uint64_t length,
                            const std::string& digest) {
  return R"({"method":")" + method + R"(","path":")" + path +
         R"(","release":{"artifact":{"byteLength":)" + std::to_string(length) + R"(,"sha256":")" +
         digest + R"("}}})";
}

std::vector<std::string> answers(const InstalledLayout& layout,
                                 const std::vector<std::string>& requests) {
  auto run = layout.call(requests);
  EXPECT_TRUE(run.exited_with(0)) << run.status << " " << run.err;
  EXPECT_EQ(run.err, "");
  return run.out_lines();
}

class Channel : public ::testing::Test {
 protected:
  InstalledLayout layout_;
  std::string pkg() const { return layout_.root() + "/pkg.nupkg"; }
};

TEST_F(Channel, AnswersAreExactBytes) {
  write_file(pkg(), "abc");
  auto got = answers(layout_, {"--null", R"({"method":"identity"})",
                               package_request("prepare", pkg(), 3, kAbc), "{}"});
  EXPECT_EQ(got, (std::vector<std::string>{R"({"error":"Missing request"})", kIdentity, kPrepared,
                                           kFailure}));
}

TEST_F(Channel, RequestGrammar) {
  write_file(pkg(), "abc");
  const std::string empty = layout_.root() + "/empty.nupkg";
  write_file(empty, "");
  const std::string good = package_request("prepare", pkg(), 3, kAbc);
  struct Row {
    std::string request;
    const char* answer;
  } rows[] = {
      {"", kFailure},
      {"null", kFailure},
      {"[]", kFailure},
      {"{}", kFailure},
      {R"({"method":7})", kFailure},
      {R"({"method":null})", kFailure},
      {R"({"method":"identity"}x)", kFailure},
      {" \t{\"method\":\"identity\"}\r\n ", kIdentity},
      {"\xEF\xBB\xBF{\"method\":\"identity\"}", kFailure},
      {R"({"method":"identity","path":7,"release":[]})", kIdentity},
      {R"({"method":"prepare","method":"identity"})", kIdentity},
      {R"({"method":"identity","method":"prepare"})", kFailure},
      {"{\"method\":\"identity\",\"x\":\"\xC0\xAF\"}", kFailure},
      {R"({"method":"identity","x":)" + std::string(126, '[') + std::string(126, ']') + "}",
       kIdentity},
      {R"({"method":"identity","x":)" + std::string(127, '[') + std::string(127, ']') + "}",
       kFailure},
      {good, kPrepared},
      {R"({"method":"Prepare")" + good.substr(19), kFailure},
      {R"({"method":"IDENTITY"})", kFailure},
      {R"({"method":"install")" + good.substr(19), kFailure},  // no displayVersion
      {R"({"method":"prepare","release":{"artifact":{"path":")" + pkg() +
           R"(","byteLength":3,"sha256":")" + kAbc + R"("}}})",
       kFailure},
      {package_request("prepare", pkg(), 2, kAbc), kFailure},
      // -0 is the integer zero: the length of an empty package.
      {R"({"method":"prepare","path":")" + empty +
           R"(","release":{"artifact":{"byteLength":-0,"sha256":")" + kEmpty + R"("}}})",
       kPrepared},
      {R"({"method":"prepare","path":")" + pkg() +
           R"(","release":{"artifact":{"byteLength":-3,"sha256":")" + kAbc + R"("}}})",
       kFailure},
      {package_request("prepare", pkg(), 4, kAbc), kFailure},
      {R"({"method":"prepare","path":")" + pkg() +
           R"(","release":{"artifact":{"byteLength":3.0,"sha256":")" + kAbc + R"("}}})",
       kFailure},
      {R"({"method":"prepare","path":")" + pkg() + R"(\u0000x","release":{"artifact":)" +
           R"({"byteLength":3,"sha256":")" + kAbc + R"("}}})",
       kFailure},
  };
  std::vector<std::string> requests;
  for (const auto& row : rows) requests.push_back(row.request);
  auto got = answers(layout_, requests);
  ASSERT_EQ(got.size(), std::size(rows));
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(rows[i].request.substr(0, 80));
    EXPECT_EQ(got[i], rows[i].answer);
  }
}

TEST_F(Channel, PrepareKnownAnswerVectors) {
  struct Row {
    std::string content;
    std::string digest;
    const char* answer;
  } rows[] = {
      {"", kEmpty, kPrepared},
      {"abc", kAbc, kPrepared},
      {std::string(1000000, 'a'), kMillionA, kPrepared},
      {std::string(1000000, 'a'), std::string(kMillionA).replace(0, 1, "d"), kFailure},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.digest);
    write_file(pkg(), row.content);
    std::string upper = row.digest;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto got = answers(layout_, {package_request("prepare", pkg(), row.content.size(), row.digest),
                                 package_request("prepare", pkg(), row.content.size(), upper)});
    EXPECT_EQ(got, (std::vector<std::string>{row.answer, kFailure}));
    EXPECT_EQ(read_file(pkg()), row.content);
  }
}

// OpenSSL's configuration is not the library's: one that leaves only the "null" provider (no
// digests at all) changes no answer, and the file is never even opened.
TEST_F(Channel, OpensslConfigurationIsNeverRead) {
  write_file(pkg(), "abc");
  const std::string conf = layout_.root() + "/openssl.cnf";
  write_file(conf,
             "openssl_conf = init\n[init]\nproviders = providers\n"
             "[providers]\nnull = null_provider\n[null_provider]\nactivate = 1\n");
  int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, conf.c_str(), IN_OPEN), 0);

  HostOptions options;
  options.set_env = {{"OPENSSL_CONF", conf}};
  auto run = layout_.call(
      {package_request("prepare", pkg(), 3, kAbc), package_request("prepare", pkg(), 3, kMillionA)},
      options);
  EXPECT_TRUE(run.exited_with(0)) << run.err;
  EXPECT_EQ(run.out_lines(), (std::vector<std::string>{kPrepared, kFailure}));
  char events[4096];
  EXPECT_EQ(::read(watch, events, sizeof events), -1) << "the library opened " << conf;

  // The watch does see an open.
  (void)read_file(conf);
  EXPECT_GT(::read(watch, events, sizeof events), 0);
  ::close(watch);
}

TEST_F(Channel, UnrecognisedMethodTakesTheLockButIdentityDoesNot) {
  write_file(pkg(), "abc");
  EXPECT_EQ(answers(layout_, {R"({"method":"identity"})"}), std::vector<std::string>{kIdentity});
  EXPECT_TRUE(path_exists(layout_.staging_dir()));
  EXPECT_FALSE(path_exists(layout_.lock_path()));
  EXPECT_EQ(answers(layout_, {package_request("PREPARE", pkg(), 3, kAbc)}),
            std::vector<std::string>{kFailure});
  EXPECT_TRUE(path_exists(layout_.lock_path()));
}

TEST_F(Channel, HeldLockFailsPrepareAtOnceWhileIdentityWorks) {
  write_file(pkg(), "abc");
  ASSERT_EQ(answers(layout_, {R"({"method":"identity"})"}), std::vector<std::string>{kIdentity});
  write_file(layout_.lock_path(), "");
  int held = ::open(layout_.lock_path().c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  auto good = package_request("prepare", pkg(), 3, kAbc);
  EXPECT_EQ(answers(layout_, {good, R"({"method":"identity"})"}),
            (std::vector<std::string>{kFailure, kIdentity}));
  ::close(held);
  // Each finished request released its lock: the same process can take it twice in a row.
  EXPECT_EQ(answers(layout_, {good, good}), (std::vector<std::string>{kPrepared, kPrepared}));
  int after = ::open(layout_.lock_path().c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(after, 0);
  EXPECT_EQ(::flock(after, LOCK_EX | LOCK_NB), 0);
  ::close(after);
}

TEST_F(Channel, ConcurrentPreparesExcludeEachOther) {
  // Two threads hashing a 16 MiB package overlap often enough that one meets the other's lock;
  // every answer is one of the two texts, and at least one prepare succeeds.
  std::string content(16 << 20, 'a');
  write_file(pkg(), content);
  HostOptions sha256sum;
  sha256sum.program = "/usr/bin/sha256sum";
  sha256sum.args = {pkg()};
  auto digest_run = pellark::testing::run_process(sha256sum);
  ASSERT_TRUE(digest_run.exited_with(0));
  std::string digest = digest_run.out.substr(0, 64);
  HostOptions options;
  options.set_env = {{"PELLARK_HOST_MODE", "call-threads"}};
  options.args = {"4", "1.5", package_request("prepare", pkg(), content.size(), digest)};
  auto run = layout_.run_host(options);
  ASSERT_TRUE(run.exited_with(0)) << run.err;
  long prepared = 0, failed = 0;
  for (const auto& line : run.out_lines()) {
    size_t colon = line.find(':', 6);
    ASSERT_TRUE(line.starts_with("count:") && colon != std::string::npos) << line;
    std::string answer = line.substr(colon + 1);
    long n = std::stol(line.substr(6, colon - 6));
    if (answer == kPrepared) {
      prepared = n;
    } else if (answer == kFailure) {
      failed = n;
    } else {
      ADD_FAILURE() << line;
    }
  }
  EXPECT_GT(prepared, 0);
  EXPECT_GT(failed, 0);
}

TEST_F(Channel, LockAndStagingSafety) {
  write_file(pkg(), "abc");
  auto good = package_request("prepare", pkg(), 3, kAbc);
  // A lock file with content is locked and left as it was.
  ASSERT_EQ(answers(layout_, {R"({"method":"identity"})"}), std::vector<std::string>{kIdentity});
  write_file(layout_.lock_path(), "content\n", 0600);
  EXPECT_EQ(answers(layout_, {good}), std::vector<std::string>{kPrepared});
  EXPECT_EQ(read_file(layout_.lock_path()), "content\n");

  // A dangling link in its place is refused and nothing is created through it.
  ASSERT_EQ(::unlink(layout_.lock_path().c_str()), 0);
  std::string target = layout_.root() + "/through-link";
  ASSERT_EQ(::symlink(target.c_str(), layout_.lock_path().c_str()), 0);
  EXPECT_EQ(answers(layout_, {good, R"({"method":"identity"})"}),
            (std::vector<std::string>{kFailure, kIdentity}));
  EXPECT_FALSE(path_exists(target));

  // A staging directory left open to others is made private again.
  ASSERT_EQ(::chmod(layout_.staging_dir().c_str(), 0755), 0);
  EXPECT_EQ(answers(layout_, {R"({"method":"identity"})"}), std::vector<std::string>{kIdentity});
  struct stat st {};
  ASSERT_EQ(::lstat(layout_.staging_dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(Channel, UnsafeStagingDirectoryFailsEveryRequest) {
  write_file(pkg(), "abc");
  std::string real = layout_.root() + "/real";
  ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
  for (bool as_link : {false, true}) {
    SCOPED_TRACE(as_link ? "link" : "file");
    (void)::unlink(layout_.staging_dir().c_str());
    if (as_link) {
      ASSERT_EQ(::symlink(real.c_str(), layout_.staging_dir().c_str()), 0);
    } else {
      write_file(layout_.staging_dir(), "");
    }
    EXPECT_EQ(
        answers(layout_, {R"({"method":"identity"})", package_request("prepare", pkg(), 3, kAbc)}),
        (std::vector<std::string>{kFailure, kFailure}));
  }
  EXPECT_FALSE(path_exists(real + "/pellark-install.lock"));
}

}  // namespace
