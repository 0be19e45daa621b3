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

TEST(NumberedFileName, NumbersTheStemAndKeepsTheExtension) {
  const struct {
    std::string name;
    unsigned n;
    std::string numbered;
  } cases[] = {
      {"report.pdf", 1, "report (1).pdf"},
      {"report.pdf", 12, "report (12).pdf"},
      {"README", 2, "README (2)"},
      {".bashrc", 1, ".bashrc (1)"},  // a leading dot starts no extension
      {"a.tar.gz", 1, "a.tar (1).gz"},
      {"name.", 1, "name. (1)"},  // nor does a trailing one
      {"10:00.log", 3, "10:00 (3).log"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.numbered, NumberedFileName(c.name, c.n)) << c.name;
}

TEST(NumberedFileName, NeverLongerThanAFolderEntryCanBe) {
  // The stem gives way; the number and the extension stay.
  const std::string long_stem = std::string(250, 's') + ".txt";
  const std::string numbered = NumberedFileName(long_stem, 123);
  EXPECT_EQ(kMaxSavedNameBytes, numbered.size());
  EXPECT_EQ(" (123).txt", numbered.substr(numbered.size() - 10));
  // An extension that leaves no room for a stem is numbered as part of the name.
  const std::string long_extension = "a." + std::string(252, 'e');
  const std::string whole = NumberedFileName(long_extension, 1);
  EXPECT_EQ(kMaxSavedNameBytes, whole.size());
  EXPECT_EQ("a.eee", whole.substr(0, 5));
  EXPECT_EQ(" (1)", whole.substr(whole.size() - 4));
}

TEST(PrintableFileName, EscapesWhatATerminalWouldTakeAsControl) {
  EXPECT_EQ("plain name.txt", PrintableFileName("plain name.txt"));
  EXPECT_EQ("a\\x1B[2J\\x0A\\x5Cb\\x7F\\xE6\\x97\\xA5",
            PrintableFileName("a\x1b[2J\n\\b\x7f\xe6\x97\xa5"));
  EXPECT_EQ(std::string(255, 'x') + "...", PrintableFileName(std::string(300, 'x')));
  EXPECT_EQ(std::string(255, 'x'), PrintableFileName(std::string(255, 'x')));
}

}  // namespace
}  // namespace quodem
