// The temporary file of an incoming file frame: created fresh, renamed into place whole,
// removed without trace otherwise.
#include "transfer/received_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/call_fixture.h"

namespace quodem {
namespace {

using calltest::Bytes;
using calltest::ReadFileBytes;
using calltest::TempDir;
using calltest::WriteFileBytes;

TEST(ReceivedFile, CommitReplacesTheTargetAndLeavesNothingElse) {
  TempDir dir;
  WriteFileBytes(dir / "a.txt", Bytes{'o', 'l', 'd'});
  auto temp = CreateReceiveTempFile(dir.path());
  ASSERT_TRUE(temp);
  // Until the commit the old file is untouched.
  temp->Write("new content", 11);
  EXPECT_EQ((Bytes{'o', 'l', 'd'}), ReadFileBytes(dir / "a.txt"));
  EXPECT_EQ(2u, dir.Entries().size());
  EXPECT_EQ('.', dir.Entries()[0][0]);  // hidden

  ASSERT_TRUE(CommitReceivedFile(temp, dir / "a.txt"));
  EXPECT_FALSE(temp);
  EXPECT_EQ(calltest::ToBytes("new content"), ReadFileBytes(dir / "a.txt"));
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, dir.Entries());
}

TEST(ReceivedFile, DiscardAndFailedCommitRemoveTheTemporaryFile) {
  TempDir dir;
  auto temp = CreateReceiveTempFile(dir.path());
  temp->Write("partial", 7);
  DiscardReceivedFile(temp);
  EXPECT_FALSE(temp);
  EXPECT_TRUE(dir.Entries().empty());

  // A target that cannot be replaced (a folder in the way) fails the commit cleanly.
  ASSERT_EQ(0, ::mkdir((dir / "busy").c_str(), 0700));
  ::mkdir((dir / "busy/inner").c_str(), 0700);
  temp = CreateReceiveTempFile(dir.path());
  EXPECT_FALSE(CommitReceivedFile(temp, dir / "busy"));
  EXPECT_EQ(std::vector<std::string>{"busy"}, dir.Entries());
}

TEST(ReceivedFile, AMissingFolderThrows) {
  TempDir dir;
  EXPECT_THROW(CreateReceiveTempFile(dir / "missing"), EFOpenError);
  EXPECT_THROW(CreateReceiveTempFile(""), EFOpenError);
  EXPECT_TRUE(dir.Entries().empty());
}

}  // namespace
}  // namespace quodem
