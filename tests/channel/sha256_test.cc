// SHA-256 over FIPS 180-2 vectors, fed in pieces of every awkward size.
#include "src/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace pellark {
namespace {

std::string hex(const Sha256::Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : digest) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

TEST(Sha256, KnownAnswersInAnyPieces) {
  struct Row {
    std::string message;
    const char* digest;
  } rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& row : rows) {
    for (size_t piece : {1, 7, 63, 64, 65, 65536}) {
      if (piece == 1 && row.message.size() > 1000) continue;
      SCOPED_TRACE(row.message.substr(0, 20) + " in pieces of " + std::to_string(piece));
      auto hash = Sha256::start();
      ASSERT_TRUE(hash);
      const auto* bytes = reinterpret_cast<const unsigned char*>(row.message.data());
      for (size_t at = 0; at < row.message.size(); at += piece)
        ASSERT_TRUE(hash->update(bytes + at, std::min(piece, row.message.size() - at)));
      auto digest = hash->finish();
      ASSERT_TRUE(digest);
      EXPECT_EQ(hex(*digest), row.digest);
    }
  }
}

}  // namespace
}  // namespace pellark
