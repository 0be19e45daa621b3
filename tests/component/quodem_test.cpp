// The component shell: a new component, its published properties and their streaming, and
// destruction while a call is connected.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "line/line_test_support.h"
#include "quodem/component/quodem.h"
#include "quodem/platform/telephony_service.h"

namespace quodem {
namespace {

using testsupport::FarEnd;
using testsupport::LineEvents;

std::string Cwd() {
  return std::filesystem::current_path().string();
}

TEST(NewComponent, StartsWithNoLineAndTheServicesLines) {
  auto modem = std::make_unique<TQuodem>();
  EXPECT_EQ(-1, modem->LineIndex());
  EXPECT_EQ("", modem->DialString());
  EXPECT_EQ(0u, modem->DataTotal());
  EXPECT_EQ(0u, modem->FileTotal());
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem->CommHandle());
  std::vector<std::string> expected;
  for (const auto& line : telephony::ListLines()) expected.push_back(line.name);
  EXPECT_EQ(expected, modem->LineNames());
}

TEST(NewComponent, SaveFileDirIsTheDirectoryAtCreation) {
  const std::string root = std::getenv("QUODEM_TEST_ROOT");
  // Deeper than any fixed-size buffer would hold.
  std::filesystem::path deep = root;
  for (int i = 0; i < 12; ++i) deep /= std::string(40, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep);
  const std::string before = Cwd();
  std::filesystem::current_path(deep);

  auto modem = std::make_unique<TQuodem>();
  EXPECT_EQ(deep.string(), modem->SaveFileDir());
  EXPECT_GT(modem->SaveFileDir().size(), 480u);

  std::filesystem::current_path(root);
  EXPECT_EQ(deep.string(), modem->SaveFileDir());
  std::filesystem::current_path(before);
}

TEST(NewComponent, SaveFileDirIsDotWhenTheDirectoryIsGone) {
  const std::string root = std::getenv("QUODEM_TEST_ROOT");
  const std::string gone = root + "/gone";
  std::filesystem::create_directory(gone);
  const std::string before = Cwd();
  std::filesystem::current_path(gone);
  std::filesystem::remove(gone);
  auto modem = std::make_unique<TQuodem>();
  EXPECT_EQ(".", modem->SaveFileDir());
  std::filesystem::current_path(before);
}

TEST(PublishedProperties, InDesignedOrderWithTypesAndDefaults) {
  TQuodem modem;
  const auto props = modem.PublishedProperties();
  struct Expected {
    const char* name;
    const char* type;
    bool writable;
    bool is_event;
  };
  const Expected expected[] = {
      {"LineIndex", "int", true, false},
      {"FileTotal", "unsigned long", false, false},
      {"DataTotal", "unsigned long", false, false},
      {"DialString", "string", true, false},
      {"SaveFileDir", "string", true, false},
      {"OnLineState", "TCallStateEvent", true, true},
      {"OnLineErr", "TLineErrEvent", true, true},
      {"OnSentState", "TTransferEvent", true, true},
      {"OnLineReceive", "TTransferEvent", true, true},
      {"OnMsgReceive", "TMsgReceiveEvent", true, true},
      {"OnFileReceive", "TFileReceiveEvent", true, true},
      {"ReplaceFiles", "bool", true, false},
      {"OnFileError", "TFileErrorEvent", true, true},
      {"OnFileAccept", "TFileAcceptEvent", true, true},
  };
  ASSERT_EQ(std::size(expected), props.size());
  for (std::size_t i = 0; i < props.size(); ++i) {
    EXPECT_EQ(expected[i].name, props[i].name);
    EXPECT_EQ(expected[i].type, props[i].type) << props[i].name;
    EXPECT_EQ(expected[i].writable, props[i].writable) << props[i].name;
    EXPECT_EQ(expected[i].is_event, props[i].is_event) << props[i].name;
  }
  EXPECT_EQ("-1", props[0].default_value);
  EXPECT_EQ("''", props[3].default_value);
  EXPECT_EQ("True", props[11].default_value);
  EXPECT_TRUE(modem.ReplaceFiles());
}

TEST(PublishedProperties, SaveAndLoadRoundTrip) {
  TQuodem source;
  source.SetName("Modem1");
  source.SetLineIndex(1);
  source.SetDialString("+1 (425) 555-0100 it's");
  source.SetSaveFileDir("/tmp/in box");
  source.SetReplaceFiles(false);
  const std::string text = SaveComponentProperties(source);
  EXPECT_NE(std::string::npos, text.find("  ReplaceFiles = False\n"));
  EXPECT_EQ(std::string::npos, text.find("FileTotal"));  // read-only: not stored
  EXPECT_EQ(std::string::npos, text.find("OnLineState"));

  TQuodem target;
  LoadComponentProperties(target, text);
  EXPECT_EQ("Modem1", target.Name());
  EXPECT_EQ(1, target.LineIndex());
  EXPECT_EQ(source.DialString(), target.DialString());
  EXPECT_EQ("/tmp/in box", target.SaveFileDir());
  EXPECT_FALSE(target.ReplaceFiles());
  EXPECT_EQ(text, SaveComponentProperties(target));
}

TEST(PublishedProperties, BadValuesAreRefused) {
  TQuodem modem;
  modem.SetLineIndex(0);
  EXPECT_THROW(LoadComponentProperties(modem, "object TQuodem\n  LineIndex = 1x\nend\n"),
               EPropertyError);
  EXPECT_THROW(LoadComponentProperties(modem, "object TQuodem\n  FileTotal = 3\nend\n"),
               EPropertyError);
  EXPECT_EQ(0, modem.LineIndex());
  // ReplaceFiles takes True or False only; the whole text is checked before anything is set.
  EXPECT_THROW(
      LoadComponentProperties(modem, "object TQuodem\n  LineIndex = 1\n  ReplaceFiles = 0\nend\n"),
      EPropertyError);
  EXPECT_EQ(0, modem.LineIndex());
  EXPECT_TRUE(modem.ReplaceFiles());
}

TEST(CallStateNames, EveryStateAndOutOfRange) {
  const char* names[] = {"csIdle",         "csOffering",   "csAccepted",    "csDialTone",
                         "csDialing",      "csRingBack",   "csBusy",        "csSpecialInfo",
                         "csConnected",    "csProceeding", "csConferenced", "csOnHold",
                         "csDisconnected", "csUnknown"};
  for (int i = 0; i <= csUnknown; ++i) {
    EXPECT_STREQ(names[i], CallStateName(static_cast<CallState>(i)));
  }
  EXPECT_STREQ("csUnknown", CallStateName(static_cast<CallState>(200)));
}

// Destroying a connected component drops the call (the far end sees it go), closes the port
// and returns only when no worker of it is left (ASan checks the rest).
TEST(Destruction, WhileConnectedDropsTheCallAndClosesThePort) {
  FarEnd far;
  HLINE far_line = far.Open(1);
  ASSERT_NE(0u, far_line);

  auto modem = std::make_unique<TQuodem>();
  LineEvents events(*modem);
  modem->SetLineIndex(0);
  modem->SetDialString(telephony::ListLines()[1].address);
  modem->Dial();
  far.AnswerNext();
  ASSERT_TRUE(events.WaitPortTaken());
  const HANDLE port = modem->CommHandle();
  ASSERT_NE(INVALID_HANDLE_VALUE, port);

  modem.reset();
  EXPECT_NE(0u, far.WaitState(LINECALLSTATE_DISCONNECTED));
  EXPECT_FALSE(CloseHandle(port));  // already closed by the component
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

}  // namespace
}  // namespace quodem
