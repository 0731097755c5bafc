// SHA-256 of a stream, computed by OpenSSL's default provider in a library context of our own,
// so neither OpenSSL's configuration nor the host's own use of OpenSSL can touch it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "framework/error.h"

namespace pellark {

class Sha256 {
 public:
  using Digest = std::array<unsigned char, 32>;

  // A fresh computation; fails only when OpenSSL cannot provide SHA-256.
  static Result<Sha256> start();

  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  ~Sha256();

  Status update(const unsigned char* data, size_t size);
  // Ends the computation; nothing may be fed afterwards.
  Result<Digest> finish();

 private:
  struct State;
  explicit Sha256(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The digest as 64 lower-case hex digits.
std::string digest_hex(const Sha256::Digest& digest);

}  // namespace pellark
