// TMemoryStream and TFileStream: positions, file round trips, and failures that name the file
// and the system's reason.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quodem/platform/framework.h"

namespace quodem {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

std::string TestPath(const std::string& name) {
  return std::string(std::getenv("QUODEM_TEST_ROOT")) + "/" + name;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + i / 7);
  return data;
}

TEST(MemoryStreamTest, ReadWriteAndPosition) {
  TMemoryStream s;
  EXPECT_EQ(s.Write("hello", 5), 5);
  EXPECT_EQ(s.Size(), 5);
  EXPECT_EQ(s.Position(), 5);
  s.SetPosition(1);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 4);  // only what is there
  EXPECT_STREQ(buf, "ello");
  EXPECT_EQ(s.Read(buf, 8), 0);  // at the end
  EXPECT_EQ(s.Read(buf, -1), 0);

  s.SetPosition(7);  // past the end: writing leaves a zero-filled gap
  EXPECT_EQ(s.Write("!", 1), 1);
  ASSERT_EQ(s.Size(), 8);
  EXPECT_EQ(std::memcmp(s.Memory(), "hello\0\0!", 8), 0);
  EXPECT_THROW(s.SetPosition(-1), EStreamError);

  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
}

TEST(MemoryStreamTest, SaveAndLoadKeepEveryByte) {
  const std::string path = TestPath("round.bin");
  const auto data = Pattern(3 * 1024 * 1024 + 17);  // several read calls' worth
  TMemoryStream out;
  out.Write(data.data(), static_cast<std::int64_t>(data.size()));
  out.SaveToFile(path);

  TMemoryStream in;
  in.Write("old content", 11);
  in.LoadFromFile(path);
  EXPECT_EQ(in.Position(), 0);
  ASSERT_EQ(in.Size(), static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(std::memcmp(in.Memory(), data.data(), data.size()), 0);

  // An existing file is replaced, not overwritten in part.
  TMemoryStream small;
  small.Write("xy", 2);
  small.SaveToFile(path);
  EXPECT_EQ(ReadFileBytes(path), "xy");

  TMemoryStream empty;
  empty.SaveToFile(path);
  in.LoadFromFile(path);
  EXPECT_EQ(in.Size(), 0);
}

TEST(MemoryStreamTest, LoadFailuresNameTheFileAndLeaveTheStreamEmpty) {
  const std::string missing = TestPath("no-such-file.txt");
  const std::string directory = TestPath("a-directory");
  std::filesystem::create_directories(directory);
  const std::string fifo = TestPath("a-fifo");
  std::filesystem::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  struct Case {
    std::string path;
    std::string reason;
  };
  const Case cases[] = {
      {missing, "No such file or directory"},
      {directory, "Is a directory"},
      {fifo, "not a regular file"},  // and no hang waiting for a writer
      {missing + "/below", "No such file or directory"},
  };
  for (const Case& c : cases) {
    TMemoryStream s;
    s.Write("something", 9);
    try {
      s.LoadFromFile(c.path);
      ADD_FAILURE() << "no error for " << c.path;
    } catch (const EFOpenError& e) {
      EXPECT_THAT(e.what(), AllOf(HasSubstr(c.path), HasSubstr(c.reason)));
    }
    EXPECT_EQ(s.Size(), 0);
  }
}

TEST(MemoryStreamTest, UnreadableFileThrows) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  const std::string path = TestPath("secret.txt");
  std::ofstream(path) << "secret";
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  TMemoryStream s;
  try {
    s.LoadFromFile(path);
    ADD_FAILURE() << "read a file without permission";
  } catch (const EFOpenError& e) {
    EXPECT_THAT(e.what(), AllOf(HasSubstr(path), HasSubstr("Permission denied")));
  }
}

TEST(MemoryStreamTest, SaveFailuresNameTheFile) {
  TMemoryStream s;
  s.Write("data", 4);
  const std::string directory = TestPath("save-dir");
  std::filesystem::create_directories(directory);
  const std::string no_dir = TestPath("missing-dir/file.txt");
  try {
    s.SaveToFile(directory);
    ADD_FAILURE() << "saved over a directory";
  } catch (const EFOpenError& e) {
    EXPECT_THAT(e.what(), AllOf(HasSubstr(directory), HasSubstr("Is a directory")));
  }
  try {
    s.SaveToFile(no_dir);
    ADD_FAILURE() << "saved into a missing folder";
  } catch (const EFOpenError& e) {
    EXPECT_THAT(e.what(), AllOf(HasSubstr(no_dir), HasSubstr("No such file or directory")));
  }
}

TEST(MemoryStreamTest, WriteFailureWhileSavingThrowsEWriteError) {
  // A file size limit makes the write fail even for root.
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit small = old_limit;
  small.rlim_cur = 1024;
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  const std::string path = TestPath("too-big.bin");
  const auto data = Pattern(8192);
  TMemoryStream s;
  s.Write(data.data(), static_cast<std::int64_t>(data.size()));
  std::string message;
  try {
    s.SaveToFile(path);
  } catch (const EWriteError& e) {
    message = e.what();
  }
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_THAT(message, AllOf(HasSubstr(path), HasSubstr("File too large")));
}

TEST(FileStreamTest, ReadWriteAtPositions) {
  const std::string path = TestPath("stream.bin");
  {
    TFileStream f(path, TFileStream::fmCreate);
    EXPECT_EQ(f.Write("abcdef", 6), 6);
    f.SetPosition(2);
    EXPECT_EQ(f.Write("XY", 2), 2);
    EXPECT_EQ(f.Position(), 4);
    EXPECT_EQ(f.Size(), 6);
    f.Flush();
    EXPECT_EQ(f.FileName(), path);
  }
  EXPECT_EQ(ReadFileBytes(path), "abXYef");
  TFileStream r(path, TFileStream::fmOpenRead);
  char buf[16] = {};
  r.SetPosition(3);
  EXPECT_EQ(r.Read(buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "Yef");
  EXPECT_EQ(r.Read(buf, sizeof buf), 0);
  EXPECT_THROW(r.Write("z", 1), EWriteError);  // opened for reading only
}

TEST(FileStreamTest, OpenFailuresNameTheFile) {
  const std::string path = TestPath("exists.bin");
  { TFileStream f(path, TFileStream::fmCreate); }
  try {
    TFileStream f(path, TFileStream::fmCreate, /*exclusive=*/true);
    ADD_FAILURE() << "exclusive create of an existing file";
  } catch (const EFOpenError& e) {
    EXPECT_THAT(e.what(), AllOf(HasSubstr(path), HasSubstr("File exists")));
  }
  const std::string missing = TestPath("missing.bin");
  EXPECT_THROW(TFileStream(missing, TFileStream::fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream(TestPath(""), TFileStream::fmOpenRead), EFOpenError);
}

}  // namespace
}  // namespace quodem
