// The tool's command line as a user meets it: help and version, the line list, and every
// mistake that must end with one clear line on standard error and status 1 before any call.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <sstream>

#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

int CountLines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// One line on standard error that mentions `mention`, nothing on standard output, status 1.
void ExpectUsageError(const ToolResult& result, const std::string& mention) {
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(CountLines(result.err), 1) << result.err;
  EXPECT_NE(result.err.find(mention), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");
}

TEST(ToolCli, VersionAndHelp) {
  const ToolResult version = RunTool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "quodem 1.0.0.0\n");

  const ToolResult help = RunTool({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* command : {"lines", "wait", "dial", "chat", "demo", "config", "location"}) {
    EXPECT_NE(help.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    const ToolResult command_help = RunTool({command, "--help"});
    EXPECT_EQ(command_help.status, 0) << command;
    EXPECT_EQ(command_help.out.rfind(std::string("usage: quodem ") + command, 0), 0u)
        << command_help.out;
  }
  // Help wins over a mistake next to it.
  EXPECT_EQ(RunTool({"dial", "--bogus", "--help"}).status, 0);
}

TEST(ToolCli, MistakesInTheCommandLineEndWithStatusOne) {
  ExpectUsageError(RunTool({}), "usage: quodem");
  ExpectUsageError(RunTool({"fly"}), "unknown command 'fly'");
  ExpectUsageError(RunTool({"--fly"}), "unknown option '--fly'");
  ExpectUsageError(RunTool({"dial", "101", "--bogus"}), "unknown option '--bogus'");
  ExpectUsageError(RunTool({"dial"}), "number to dial is missing");
  ExpectUsageError(RunTool({"dial", "101", "102"}), "unexpected argument '102'");
  ExpectUsageError(RunTool({"dial", "101", "--line", "x"}), "--line");
  ExpectUsageError(RunTool({"dial", "101", "--line", "3"}), "there is no line 3");
  ExpectUsageError(RunTool({"wait", "--line", "-1"}), "there is no line -1");
  ExpectUsageError(RunTool({"demo", "--size", "lots"}), "--size");
  ExpectUsageError(RunTool({"chat"}), "--wait");
}

TEST(ToolCli, FilesAndFoldersAreCheckedBeforeDialling) {
  const std::string dir = MakeDir("files");
  ExpectUsageError(RunTool({"dial", "101", "--send", dir + "/missing.txt"}), "missing.txt");
  ExpectUsageError(RunTool({"dial", "101", "--send", dir}), "not a regular file");
  const std::string long_name = dir + "/" + std::string(247, 'n');
  WriteFile(long_name, "x");
  ExpectUsageError(RunTool({"dial", "101", "--send", long_name}), "file name");
  ExpectUsageError(RunTool({"dial", "101", "--message", std::string(65536, 'm')}), "65535");

  const std::string file = dir + "/plain.txt";
  WriteFile(file, "not a folder");
  ExpectUsageError(RunTool({"wait", "--save-dir", file}), "is not a folder");
  // A missing folder is made (tests/tool/received_files_test.cpp); one that cannot be is not.
  ExpectUsageError(RunTool({"wait", "--save-dir", file + "/sub"}), "plain.txt/sub");
  ExpectUsageError(RunTool({"dial", "101", "--message", "m", "--save-dir", file + "/sub"}),
                   "plain.txt/sub");
  ExpectUsageError(RunTool({"dial", "101", "--message", "m", "--replace"}), "--save-dir");
  // Nothing was left behind by the writability check.
  EXPECT_EQ(ListDir(dir),
            (std::vector<std::string>{long_name.substr(dir.size() + 1), "plain.txt"}));
}

TEST(ToolCli, LinesListsTheDefaultLines) {
  const ToolResult result = RunTool({"lines", "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::vector<JsonLine> lines = result.Events();
  ASSERT_EQ(lines.size(), 3u) << result.out;
  const char* names[] = {"Local line 1", "Local line 2", "TCP/IP line"};
  const char* providers[] = {"exchange", "exchange", "tcp"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[i].Integer("index"), i);
    EXPECT_EQ(lines[i].String("name"), names[i]);
    EXPECT_EQ(lines[i].String("provider"), providers[i]);
  }
  EXPECT_EQ(lines[0].String("address"), "101");
  EXPECT_EQ(lines[1].String("address"), "102");
  EXPECT_EQ(lines[0].String("hold"), "free");

  const ToolResult table = RunTool({"lines"});
  EXPECT_EQ(table.status, 0);
  EXPECT_NE(table.out.find("Local line 2"), std::string::npos) << table.out;
  EXPECT_EQ(table.out.find('\x1b'), std::string::npos);  // not a terminal: no control codes
}

TEST(ToolCli, BrokenConfigurationIsOneClearLine) {
  const std::string config = MakeDir("config") + "/lines.conf";
  WriteFile(config, "[line]\nprovider = carrier-pigeon\n");
  const ToolResult result = RunTool({"lines"}, "", {{"QUODEM_CONFIG", config}});
  ExpectUsageError(result, "configuration");
}

// Editors may start a UTF-8 file with a byte-order mark; an invisible character elsewhere is
// shown escaped in the error, never as nothing.
TEST(ToolCli, ConfigurationWithAByteOrderMarkOrInvisibleCharacters) {
  const std::string dir = MakeDir("config");
  WriteFile(dir + "/bom.conf",
            "\xEF\xBB\xBF[line]\nprovider = exchange\nname = Desk\nnumber = 201\n");
  const ToolResult bom = RunTool({"lines", "--json"}, "", {{"QUODEM_CONFIG", dir + "/bom.conf"}});
  ASSERT_EQ(bom.status, 0) << bom.err;
  EXPECT_EQ(bom.Events().at(0).String("name"), "Desk");

  WriteFile(dir + "/hidden.conf",
            "[line]\nprovider = exchange\nname = Desk\nnum\xE2\x80\x8B"
            "ber = 201\n");
  const ToolResult hidden = RunTool({"lines"}, "", {{"QUODEM_CONFIG", dir + "/hidden.conf"}});
  ExpectUsageError(hidden, "unknown key 'num\\u200bber'");
  EXPECT_EQ(hidden.err.find("\xE2\x80\x8B"), std::string::npos);
}

TEST(ToolCli, WaitRefusesANumberAnotherWaiterHolds) {
  const std::string saves = MakeDir("saves");
  BackgroundTool first({"wait", "--json", "--save-dir", saves});
  ASSERT_TRUE(first.WaitForEvent("waiting")) << first.Err();

  const ToolResult second = RunTool({"wait", "--save-dir", saves});
  ExpectUsageError(second, "held by another process");
  const ToolResult lines = RunTool({"lines", "--json"});
  ASSERT_EQ(lines.status, 0);
  EXPECT_EQ(lines.Events().at(0).String("hold"), "held-elsewhere");
  EXPECT_EQ(lines.Events().at(1).String("hold"), "free");

  // Ctrl-C ends a waiter with no call at once, and frees the number.
  first.Signal(SIGINT);
  EXPECT_EQ(first.Finish(), 130);
  EXPECT_EQ(RunTool({"lines", "--json"}).Events().at(0).String("hold"), "free");
}

TEST(ToolCli, DialogsNeedATerminal) {
  const ToolResult result = RunTool({"config", "--line", "1"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("0x80000049"), std::string::npos) << result.err;
  ExpectUsageError(RunTool({"location", "--line", "9"}), "there is no line 9");
}

}  // namespace
}  // namespace quodem::tool::testing
