// SHA-256 (FIPS 180-4), for checking that a transferred file arrived unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quodem::tool {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  void Update(const void* data, std::size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // Pads, finishes and returns the digest; the object must not be updated afterwards.
  Digest Final();

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes hashed so far
};

// Lower-case hexadecimal of a digest.
std::string DigestHex(const Sha256::Digest& digest);
// Lower-case hexadecimal digest of `bytes`.
std::string Sha256Hex(std::string_view bytes);
// Lower-case hexadecimal digest of the file's content. Throws std::runtime_error naming the
// file and the system's reason when it cannot be read.
std::string Sha256FileHex(const std::string& path);

}  // namespace quodem::tool
