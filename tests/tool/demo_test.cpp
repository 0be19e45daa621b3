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

TEST(ToolDemo, SpeedPacesTheCallAndIsChecked) {
  const std::string temp = MakeDir("tmp");
  // 12 KiB at 115200 bit/s: over a second of line time, which the demo reports it took.
  const ToolResult demo =
      RunTool({"demo", "--size", "12k", "--speed", "115200"}, "", {{"TMPDIR", temp}});
  EXPECT_EQ(demo.status, 0) << demo.out << demo.err;
  EXPECT_NE(demo.out.find("115200 bit/s"), std::string::npos) << demo.out;
  EXPECT_NE(demo.out.find("demo passed"), std::string::npos) << demo.out;
  const std::size_t at = demo.out.find("12 KiB in ");
  ASSERT_NE(at, std::string::npos) << demo.out;
  EXPECT_GE(std::stol(demo.out.substr(at + 10)), 1000) << demo.out;
  EXPECT_EQ(ListDir(temp), std::vector<std::string>{});

  const ToolResult slow = RunTool({"demo", "--speed", "10"}, "", {{"TMPDIR", temp}});
  EXPECT_EQ(slow.status, 1);
  EXPECT_NE(slow.err.find("--speed"), std::string::npos) << slow.err;
}

}  // namespace
}  // namespace quodem::tool::testing
