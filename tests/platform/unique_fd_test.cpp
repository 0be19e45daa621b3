// The descriptor owner: exactly one close for every descriptor it took, none for one it
// released, whichever way ownership moves.
#include "platform/posix/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

namespace quodem::posix {
namespace {

bool IsOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

// A pipe's two ends, each in an owner.
struct Pipe {
  Pipe() {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
  }
  UniqueFd read_end;
  UniqueFd write_end;
};

TEST(UniqueFd, ClosesWhatItOwnsOnceWhenItGoesOrIsReset) {
  Pipe pipe;
  const int read_fd = pipe.read_end.get();
  const int write_fd = pipe.write_end.get();
  {
    UniqueFd owner = std::move(pipe.read_end);
    EXPECT_FALSE(pipe.read_end.valid());
    EXPECT_EQ(owner.get(), read_fd);
  }
  EXPECT_FALSE(IsOpen(read_fd));

  // Resetting to the descriptor already held keeps it open; a different one closes the old.
  pipe.write_end.reset(write_fd);
  EXPECT_TRUE(IsOpen(write_fd));
  pipe.write_end.reset();
  EXPECT_FALSE(IsOpen(write_fd));
  EXPECT_FALSE(pipe.write_end);
}

TEST(UniqueFd, MoveAssignmentClosesTheTargetsOldDescriptorAndSurvivesSelfMove) {
  Pipe first;
  Pipe second;
  const int replaced = first.read_end.get();
  const int moved = second.read_end.get();
  first.read_end = std::move(second.read_end);
  EXPECT_FALSE(IsOpen(replaced));
  EXPECT_EQ(first.read_end.get(), moved);
  EXPECT_FALSE(second.read_end.valid());

  UniqueFd& same = first.read_end;
  first.read_end = std::move(same);
  EXPECT_EQ(first.read_end.get(), moved);
  EXPECT_TRUE(IsOpen(moved));
}

TEST(UniqueFd, ReleaseHandsTheDescriptorOnAndCloseReportsTheResult) {
  Pipe pipe;
  const int read_fd = pipe.read_end.get();
  int handed = -1;
  {
    UniqueFd owner = std::move(pipe.read_end);
    handed = owner.release();
    EXPECT_FALSE(owner.valid());
  }
  EXPECT_EQ(handed, read_fd);
  EXPECT_TRUE(IsOpen(handed));  // the new owner closes it
  EXPECT_EQ(close(handed), 0);

  const int write_fd = pipe.write_end.get();
  EXPECT_EQ(pipe.write_end.Close(), 0);
  EXPECT_FALSE(IsOpen(write_fd));
  EXPECT_EQ(pipe.write_end.Close(), 0);  // nothing held: nothing to close
}

}  // namespace
}  // namespace quodem::posix
