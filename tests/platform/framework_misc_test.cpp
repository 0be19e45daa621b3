// TStringList, ExtractFileName, ShowMessage and the component palette.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quodem/platform/framework.h"

namespace quodem {
namespace {

TEST(StringListTest, AddIndexAndClear) {
  TStringList list;
  EXPECT_EQ(list.Add("COM1 modem"), 0);
  EXPECT_EQ(list.Add(""), 1);
  EXPECT_EQ(list.Add("COM1 modem"), 2);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list[0], "COM1 modem");
  EXPECT_EQ(list.IndexOf("COM1 modem"), 0);
  EXPECT_EQ(list.IndexOf(""), 1);
  EXPECT_EQ(list.IndexOf("nope"), -1);
  EXPECT_THROW(list.Strings(3), std::out_of_range);
  EXPECT_THROW(list.Strings(-1), std::out_of_range);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THROW(list.Strings(0), std::out_of_range);
}

TEST(ExtractFileNameTest, NamePartOfPaths) {
  const std::pair<std::string, std::string> cases[] = {
      {"/home/u/a.txt", "a.txt"},
      {"a.txt", "a.txt"},
      {"10:00.log", "10:00.log"},
      {"dir/10:00.log", "10:00.log"},
      {"/", ""},
      {"dir/", ""},
      {"", ""},
      {"C:\\x\\y.txt", "C:\\x\\y.txt"},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(ExtractFileName(path), name) << path;
}

TEST(ShowMessageTest, HandlerGetsTheTextFromAnyThread) {
  std::mutex lock;
  std::vector<std::string> seen;
  auto previous = SetShowMessageHandler([&](const std::string& text) {
    std::lock_guard<std::mutex> guard(lock);
    seen.push_back(text);
  });
  EXPECT_FALSE(previous) << "no handler installed before";
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([] { ShowMessage("\xe9\x80\x81\xe4\xbf\xa1"); });
  for (auto& t : threads) t.join();
  auto mine = SetShowMessageHandler(nullptr);
  EXPECT_TRUE(mine);
  ASSERT_EQ(seen.size(), 4u);
  for (const auto& text : seen) EXPECT_EQ(text, "\xe9\x80\x81\xe4\xbf\xa1");
}

TEST(ShowMessageTest, DefaultWritesALineToStandardError) {
  ::testing::internal::CaptureStderr();
  ShowMessage("send failed");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "send failed\n");
}

class TWidget : public TComponent {
 public:
  using TComponent::TComponent;
  std::string ClassName() const override { return "TWidget"; }
};

TEST(RegistryTest, ClassesByPage) {
  auto make = [](TComponent* owner) -> TComponent* { return new TWidget(owner); };
  RegisterComponents("TestPage", {{"TWidget", make}, {"TGadget", make}});
  RegisterComponents("TestPage", {{"TWidget", make}});  // kept once
  RegisterComponents("Empty", {});
  EXPECT_EQ(RegisteredComponents("TestPage"), (std::vector<std::string>{"TWidget", "TGadget"}));
  EXPECT_TRUE(RegisteredComponents("NoSuchPage").empty());
  EXPECT_THAT(PalettePages(), ::testing::Contains("TestPage"));
  EXPECT_THAT(PalettePages(), ::testing::Not(::testing::Contains("Empty")));

  TComponent owner;
  TComponent* made = CreateRegisteredComponent("TWidget", &owner);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->ClassName(), "TWidget");
  EXPECT_EQ(made->Owner(), &owner);
  EXPECT_EQ(CreateRegisteredComponent("TNothing", &owner), nullptr);
  EXPECT_EQ(owner.ComponentCount(), 1);

  EXPECT_THROW(RegisterComponents("TestPage", {{"", make}}), std::invalid_argument);
  EXPECT_THROW(RegisterComponents("TestPage", {{"TNoCtor", nullptr}}), std::invalid_argument);
}

}  // namespace
}  // namespace quodem
