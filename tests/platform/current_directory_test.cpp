// GetCurrentDirectoryA: exact fit, short buffers (nothing written) and paths longer than the
// 255 bytes the component asks for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "quodem/platform/system.h"

namespace quodem {
namespace {

// Changes the current directory for the scope of one test.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~ScopedChdir() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

std::string MakeLongDirectory() {
  std::string path = std::getenv("QUODEM_TEST_ROOT");
  const std::string part(60, 'd');
  while (path.size() <= 300) path += "/" + part;
  std::filesystem::create_directories(path);
  return path;
}

TEST(CurrentDirectoryTest, FitsExactlyWithItsZero) {
  const std::string cwd = std::filesystem::current_path().string();
  std::vector<char> buffer(cwd.size() + 16, 'X');
  EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(cwd.size() + 1), buffer.data()), cwd.size());
  EXPECT_EQ(std::string(buffer.data()), cwd);
  for (std::size_t i = cwd.size() + 1; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 'X');
}

TEST(CurrentDirectoryTest, ShortBufferGetsNothingAndTheSizeNeeded) {
  const std::string cwd = std::filesystem::current_path().string();
  std::vector<char> buffer(cwd.size() + 16, 'X');
  // One byte short: the zero does not fit.
  EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(cwd.size()), buffer.data()), cwd.size() + 1);
  for (char c : buffer) ASSERT_EQ(c, 'X');
  EXPECT_EQ(GetCurrentDirectoryA(1, buffer.data()), cwd.size() + 1);
  EXPECT_EQ(buffer[0], 'X');
  EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), cwd.size() + 1);
}

TEST(CurrentDirectoryTest, LongPathAsTheComponentAsksForIt) {
  const std::string dir = MakeLongDirectory();
  ScopedChdir in(dir);
  const std::string cwd = std::filesystem::current_path().string();
  ASSERT_GT(cwd.size(), 300u);

  // The component passes 255 and a 256-byte buffer: it learns the size and gets nothing.
  std::vector<char> small(256, 'X');
  EXPECT_EQ(GetCurrentDirectoryA(255, small.data()), cwd.size() + 1);
  for (char c : small) ASSERT_EQ(c, 'X');

  std::vector<char> big(cwd.size() + 1);
  EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(big.size()), big.data()), cwd.size());
  EXPECT_EQ(std::string(big.data()), cwd);
}

TEST(CurrentDirectoryTest, RemovedDirectoryFailsWithLastError) {
  const std::string dir = std::string(std::getenv("QUODEM_TEST_ROOT")) + "/gone";
  std::filesystem::create_directories(dir);
  ScopedChdir in(dir);
  std::filesystem::remove(dir);
  char buffer[256];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace quodem
