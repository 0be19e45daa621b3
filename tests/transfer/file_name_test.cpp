// Received names and save paths: what a peer's name can and cannot reach.
#include "transfer/file_name.h"

#include <gtest/gtest.h>

#include <string>

namespace quodem {
namespace {

struct NameCase {
  std::string received;
  std::string saved;  // "" = the frame is dropped
};

TEST(SafeReceivedFileName, KeepsOnlyAPlainNameInsideTheFolder) {
  using namespace std::string_literals;
  const NameCase cases[] = {
      {"a.txt", "a.txt"},
      {"10:00.log", "10:00.log"},  // a colon elsewhere is an ordinary character
      {"report v2.txt", "report v2.txt"},
      {".profile", ".profile"},
      {"...", "..."},
      {"../x", "x"},
      {"../../etc/passwd", "passwd"},
      {"..\\x", "x"},
      {"..\\..\\x", "x"},
      {"/abs/x", "x"},
      {"/x", "x"},
      {"C:\\x", "x"},
      {"C:x", "x"},
      {"c:/dir/x", "x"},
      {"dir\\C:x", "x"},
      {"1:x", "1:x"},  // not a drive letter
      {"ab:x", "ab:x"},
      {"a\0b"s, "a"},  // the name ends at its first zero byte
      {"", ""},
      {".", ""},
      {"..", ""},
      {"a/..", ""},
      {"a\\.", ""},
      {"x/", ""},
      {"C:", ""},
      {"C:..", ""},
      {"\\", ""},
      {"\0x"s, ""},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(c.saved, SafeReceivedFileName(c.received)) << "received: " << c.received;
  }
}

TEST(JoinSavePath, PutsExactlyOneSeparatorBetweenFolderAndName) {
  EXPECT_EQ("/tmp/in/a.txt", JoinSavePath("/tmp/in", "a.txt"));
  EXPECT_EQ("/tmp/in/a.txt", JoinSavePath("/tmp/in/", "a.txt"));
  EXPECT_EQ("/a.txt", JoinSavePath("/", "a.txt"));
  EXPECT_EQ("rel/a.txt", JoinSavePath("rel", "a.txt"));
  // No folder chosen: nowhere to save (never the root).
  EXPECT_EQ("", JoinSavePath("", "a.txt"));
}

}  // namespace
}  // namespace quodem
