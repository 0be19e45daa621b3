// The demo end to end: two processes, a verified file, and nothing left in the temporary
// folder afterwards.
#include <gtest/gtest.h>

#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

TEST(ToolDemo, PassesAndCleansUp) {
  const std::string temp = MakeDir("tmp");
  const ToolResult demo = RunTool({"demo", "--size", "300k"}, "", {{"TMPDIR", temp}});
  EXPECT_EQ(demo.status, 0) << demo.out << demo.err;
  EXPECT_NE(demo.out.find("identical"), std::string::npos) << demo.out;
  EXPECT_NE(demo.out.find("demo passed"), std::string::npos) << demo.out;
  EXPECT_NE(demo.out.find("MiB/s"), std::string::npos) << demo.out;
  EXPECT_EQ(demo.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(ListDir(temp), std::vector<std::string>{});
}

TEST(ToolDemo, AnEmptyFileIsFineToo) {
  const std::string temp = MakeDir("tmp");
  const ToolResult demo = RunTool({"demo", "--size", "0"}, "", {{"TMPDIR", temp}});
  EXPECT_EQ(demo.status, 0) << demo.out << demo.err;
  EXPECT_EQ(ListDir(temp), std::vector<std::string>{});
}

}  // namespace
}  // namespace quodem::tool::testing
