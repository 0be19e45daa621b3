// What becomes of the files a far end sends: the save folder is made when missing and
// resolved by the kernel, nothing is replaced and no hidden name is taken unless asked, a
// dialer saves nothing (and needs no folder) without --save-dir, and every file not saved is
// reported and makes the run end with status 4.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A save folder that does not exist yet, reached through a link and "..": the kernel's
// reading puts it beside the link's target, text clean-up would put it beside the link.
TEST(ToolReceivedFiles, TheSaveFolderIsMadeAndResolvedByTheKernel) {
  const std::string root = MakeDir("root");
  std::filesystem::create_directories(root + "/real/target");
  std::filesystem::create_symlink(root + "/real/target", root + "/lnk");
  const std::string outbox = MakeDir("outbox");
  WriteFile(outbox + "/a.txt", "content");

  BackgroundTool waiter({"wait", "--once", "--line", "1", "--save-dir", root + "/lnk/../new/deep"});
  ASSERT_TRUE(waiter.WaitForText("waiting for a call")) << waiter.Err();
  const ToolResult dial = RunTool({"dial", "102", "--send", outbox + "/a.txt"});
  EXPECT_EQ(dial.status, 0) << dial.err;
  EXPECT_EQ(waiter.Finish(), 0) << waiter.Err();

  EXPECT_EQ(ReadFile(root + "/real/new/deep/a.txt"), "content");
  EXPECT_FALSE(std::filesystem::exists(root + "/new"));
  // The real path is said once, before the first call.
  std::size_t said = 0;
  for (const std::string& line : waiter.Lines()) {
    if (Contains(line, "saving received files in " + root + "/real/new/deep")) ++said;
  }
  EXPECT_EQ(said, 1u);
}

// Files of names already there and hidden names, by default and with --replace and
// --allow-hidden.
TEST(ToolReceivedFiles, NothingIsReplacedAndNoHiddenNameTakenUnlessAsked) {
  const std::string saves = MakeDir("saves");
  const std::string outbox = MakeDir("outbox");
  WriteFile(saves + "/a.txt", "old");
  WriteFile(saves + "/.profile", "mine");
  WriteFile(outbox + "/a.txt", "new");
  WriteFile(outbox + "/.profile", "planted");
  const std::vector<std::string> send = {
      "dial", "102", "--send", outbox + "/a.txt", "--send", outbox + "/.profile"};
  {
    BackgroundTool waiter({"wait", "--once", "--line", "1", "--save-dir", saves, "--json"});
    ASSERT_TRUE(waiter.WaitForEvent("waiting")) << waiter.Err();
    EXPECT_EQ(RunTool(send).status, 0);
    EXPECT_EQ(waiter.Finish(), 4) << waiter.Err();  // a file was not saved
    EXPECT_EQ(ReadFile(saves + "/a.txt"), "old");
    EXPECT_EQ(ReadFile(saves + "/a (1).txt"), "new");
    EXPECT_EQ(ReadFile(saves + "/.profile"), "mine");
    const std::vector<JsonLine> events = waiter.Result().Events();
    const std::vector<JsonLine> saved = EventsNamed(events, "file");
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].String("path"), saves + "/a (1).txt");
    EXPECT_EQ(saved[0].String("name"), "a.txt");  // saved under another name: said
    const std::vector<JsonLine> failed = EventsNamed(events, "file-failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].String("name"), ".profile");
    EXPECT_TRUE(Contains(failed[0].String("reason").value_or(""), "--allow-hidden"));
    EXPECT_TRUE(Contains(waiter.Err(), "not saved: .profile: ")) << waiter.Err();
  }
  {
    BackgroundTool waiter({"wait", "--once", "--line", "1", "--save-dir", saves, "--replace",
                           "--allow-hidden", "--json"});
    ASSERT_TRUE(waiter.WaitForEvent("waiting")) << waiter.Err();
    EXPECT_EQ(RunTool(send).status, 0);
    EXPECT_EQ(waiter.Finish(), 0) << waiter.Err();
    EXPECT_EQ(ReadFile(saves + "/a.txt"), "new");
    EXPECT_EQ(ReadFile(saves + "/.profile"), "planted");
    for (const JsonLine& event : EventsNamed(waiter.Result().Events(), "file")) {
      EXPECT_FALSE(event.Has("name"));  // saved under the name sent
    }
  }
}

// The test process's current folder, replaced for the tools started meanwhile by one that no
// longer exists.
class GoneCurrentFolder {
 public:
  GoneCurrentFolder() : saved_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    const std::string gone = MakeDir("gone");
    ok_ = saved_ >= 0 && ::chdir(gone.c_str()) == 0 && ::rmdir(gone.c_str()) == 0;
  }
  ~GoneCurrentFolder() {
    if (saved_ < 0) return;
    EXPECT_EQ(::fchdir(saved_), 0);
    ::close(saved_);
  }
  bool ok() const { return ok_; }

 private:
  int saved_;
  bool ok_ = false;
};

// dial and chat without --save-dir: every file the far end sends is refused and reported, and
// no folder is needed at all (the dialer runs in a current folder that has been removed).
TEST(ToolReceivedFiles, DialAndChatRefuseFilesWithoutASaveFolder) {
  const std::string outbox = MakeDir("outbox");
  WriteFile(outbox + "/to-chat.txt", "one");
  WriteFile(outbox + "/to-dial.txt", "two");

  BackgroundTool chat({"chat", "--wait", "--line", "1"}, {}, true);
  ASSERT_TRUE(chat.WaitForText("waiting for a call")) << chat.Err();
  std::unique_ptr<BackgroundTool> dial;
  {
    GoneCurrentFolder gone;
    ASSERT_TRUE(gone.ok());
    dial = std::make_unique<BackgroundTool>(std::vector<std::string>{
        "dial", "102", "--stay", "--json", "--send", outbox + "/to-chat.txt"});
  }
  ASSERT_TRUE(chat.WaitForText("connected:")) << chat.Err() << dial->Err();
  chat.Input("/send " + outbox + "/to-dial.txt\n");
  const auto refused = dial->WaitForEvent("file-failed");
  ASSERT_TRUE(refused) << dial->Err();
  EXPECT_EQ(refused->String("name"), "to-dial.txt");
  EXPECT_TRUE(Contains(refused->String("reason").value_or(""), "--save-dir"));
  // The chat has read the dialer's file to its end (its refusal follows on the same reader,
  // which the chat lets finish before it exits); then it hangs up and the dialer ends too.
  ASSERT_TRUE(chat.WaitForText("received file:")) << chat.Err();
  chat.CloseInput();

  EXPECT_EQ(dial->Finish(), 4) << dial->Err();
  EXPECT_TRUE(EventsNamed(dial->Result().Events(), "file").empty());
  EXPECT_EQ(chat.Finish(), 4) << chat.Err();
  EXPECT_TRUE(Contains(chat.Err(), "not saved: to-chat.txt: ")) << chat.Err();
}

}  // namespace
}  // namespace quodem::tool::testing
