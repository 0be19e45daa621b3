// SHA-256 against the standard's test vectors, fed whole and in pieces that cross the
// 64-byte block and the padding boundary.
#include "sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "tool_runner.h"

namespace quodem::tool {
namespace {

TEST(Sha256, MatchesTheStandardVectors) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block's padding.
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
                      "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

TEST(Sha256, PiecesOfAnySizeGiveTheSameDigest) {
  Sha256 million;
  const std::string chunk(997, 'a');  // a prime, so pieces straddle every block boundary
  std::size_t left = 1000000;
  while (left > 0) {
    const std::size_t n = std::min(left, chunk.size());
    million.Update(chunk.data(), n);
    left -= n;
  }
  const Sha256::Digest digest = million.Final();
  EXPECT_EQ(DigestHex(digest), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  const std::string data = testing::RandomBytes(300, 7);
  for (std::size_t split : {0, 1, 55, 56, 63, 64, 65, 128, 299, 300}) {
    Sha256 pieces;
    pieces.Update(data.substr(0, split));
    pieces.Update(data.substr(split));
    EXPECT_EQ(DigestHex(pieces.Final()), Sha256Hex(data)) << "split at " << split;
  }
}

TEST(Sha256, HashesFilesAndNamesOneThatCannotBeRead) {
  const std::string path = testing::MakeDir("sha") + "/abc.txt";
  testing::WriteFile(path, "abc");
  EXPECT_EQ(Sha256FileHex(path), Sha256Hex("abc"));
  try {
    Sha256FileHex(path + ".missing");
    ADD_FAILURE() << "no exception for a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("abc.txt.missing"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace quodem::tool
