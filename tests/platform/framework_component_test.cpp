// TComponent ownership and the text form of published properties.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "quodem/platform/framework.h"

namespace quodem {
namespace {

using ::testing::HasSubstr;

// Records destruction order.
class TTracked : public TComponent {
 public:
  TTracked(TComponent* owner, std::string tag, std::vector<std::string>* log)
      : TComponent(owner), tag_(std::move(tag)), log_(log) {}
  ~TTracked() override { log_->push_back(tag_); }

 private:
  std::string tag_;
  std::vector<std::string>* log_;
};

// A component with one property of each kind the text form handles.
class TSample : public TComponent {
 public:
  using TComponent::TComponent;
  std::string ClassName() const override { return "TSample"; }

  int count = 7;
  std::string title;
  unsigned long total = 3;
  unsigned long limit = 0;

  std::vector<TPropInfo> PublishedProperties() const override {
    std::vector<TPropInfo> props(5);
    props[0].name = "Count";
    props[0].type = "int";
    props[0].get = [](const TComponent& c) {
      return std::to_string(static_cast<const TSample&>(c).count);
    };
    props[0].set = [](TComponent& c, const std::string& v) {
      int value = std::stoi(v);
      if (value < 0) throw EPropertyError("Count must not be negative");
      static_cast<TSample&>(c).count = value;
    };
    props[1].name = "Title";
    props[1].type = "string";
    props[1].get = [](const TComponent& c) { return static_cast<const TSample&>(c).title; };
    props[1].set = [](TComponent& c, const std::string& v) { static_cast<TSample&>(c).title = v; };
    props[2].name = "Total";
    props[2].type = "unsigned long";
    props[2].writable = false;
    props[2].get = [](const TComponent& c) {
      return std::to_string(static_cast<const TSample&>(c).total);
    };
    props[3].name = "OnChange";
    props[3].type = "TNotifyEvent";
    props[3].is_event = true;
    props[4].name = "Limit";
    props[4].type = "unsigned long";
    props[4].get = [](const TComponent& c) {
      return std::to_string(static_cast<const TSample&>(c).limit);
    };
    props[4].set = [](TComponent& c, const std::string& v) {
      static_cast<TSample&>(c).limit = std::stoul(v);
    };
    return props;
  }
};

TEST(ComponentTest, OwnerDestroysItsComponentsLastCreatedFirst) {
  std::vector<std::string> log;
  auto* owner = new TTracked(nullptr, "owner", &log);
  auto* a = new TTracked(owner, "a", &log);
  new TTracked(owner, "b", &log);
  new TTracked(a, "a1", &log);  // owned by an owned component
  EXPECT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->Components(0), a);
  EXPECT_EQ(a->Owner(), owner);
  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"owner", "b", "a", "a1"}));
}

TEST(ComponentTest, ComponentDestroyedFirstLeavesItsOwner) {
  std::vector<std::string> log;
  TTracked owner(nullptr, "owner", &log);
  auto* a = new TTracked(&owner, "a", &log);
  auto* b = new TTracked(&owner, "b", &log);
  delete a;
  ASSERT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(owner.Components(0), b);
  EXPECT_THROW(owner.Components(1), std::out_of_range);
  EXPECT_THROW(owner.Components(-1), std::out_of_range);
}

TEST(PropertiesTest, SavesWritablePropertiesInDeclarationOrder) {
  TSample sample;
  sample.SetName("Sample1");
  sample.count = -5;
  sample.title = "it's";
  EXPECT_EQ(SaveComponentProperties(sample),
            "object Sample1: TSample\n"
            "  Count = -5\n"
            "  Title = 'it''s'\n"
            "  Limit = 0\n"
            "end\n");
  sample.SetName("");
  EXPECT_THAT(SaveComponentProperties(sample), ::testing::StartsWith("object TSample\n"));
  sample.SetName("not a name");
  EXPECT_THROW(SaveComponentProperties(sample), EPropertyError);
}

TEST(PropertiesTest, StringsOfAnyBytesSurviveARoundTrip) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  const std::vector<std::string> values = {
      "",
      "'",
      "''",
      "a'b",
      "line1\nline2\r\n",
      "\r\n",
      std::string("nul\0inside", 10),
      "tab\there\x7f",
      "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",  // UTF-8
      "\x82\xa0\x93\xfa",                      // code page 932 bytes
      "#13 looks like a code",
      " leading and trailing spaces ",
      "end",
      every_byte,
  };
  for (const std::string& value : values) {
    TSample out;
    out.SetName("Modem1");
    out.title = value;
    out.count = 2147483647;
    out.limit = 4294967295ul;
    const std::string text = SaveComponentProperties(out);
    // Exactly one line per property, whatever the string holds.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << text;

    TSample in;
    LoadComponentProperties(in, text);
    EXPECT_EQ(in.title, value) << text;
    EXPECT_EQ(in.count, 2147483647);
    EXPECT_EQ(in.limit, 4294967295ul);
    EXPECT_EQ(in.Name(), "Modem1");
  }
}

TEST(PropertiesTest, LoadAcceptsLooseLayoutAndIgnoresEvents) {
  TSample in;
  LoadComponentProperties(in,
                          "\r\n"
                          "object Main : TSample\r\n"
                          "\tCount=12\r\n"
                          "\n"
                          "  OnChange = SampleChange\n"
                          "  Title = 'a'#10#200'b'  \n"
                          "end\n"
                          "\n");
  EXPECT_EQ(in.Name(), "Main");
  EXPECT_EQ(in.count, 12);
  EXPECT_EQ(in.title,
            "a\n\xc8"
            "b");
}

struct BadText {
  const char* text;
  const char* expected;  // in the message, after "line N: "
};

TEST(PropertiesTest, MalformedTextThrowsNamingTheLineAndChangesNothing) {
  const BadText cases[] = {
      {"", "line 1: 'object' expected"},
      {"Count = 1\nend\n", "line 1: 'object' expected"},
      {"object X: TOther\nend\n", "line 1: an object of class TOther"},
      {"object 9x: TSample\nend\n", "line 1: bad component name"},
      {"object X: TSample\n  Count = 1\n", "line 3: 'end' expected"},
      {"object X: TSample\nend\nCount = 2\n", "line 3: unexpected text after 'end'"},
      {"object X: TSample\n  Count 1\nend\n", "line 2: 'Name = value' expected"},
      {"object X: TSample\n  Colour = 1\nend\n", "line 2: unknown property 'Colour'"},
      {"object X: TSample\n  count = 1\nend\n", "line 2: unknown property 'count'"},
      {"object X: TSample\n  Total = 1\nend\n", "line 2: property Total is read-only"},
      {"object X: TSample\n\n  Count = 1x\nend\n", "line 3: bad value for Count"},
      {"object X: TSample\n  Count = 2147483648\nend\n", "line 2: bad value for Count"},
      {"object X: TSample\n  Count = \nend\n", "line 2: value expected for Count"},
      {"object X: TSample\n  Limit = -1\nend\n", "line 2: bad value for Limit"},
      {"object X: TSample\n  Title = abc\nend\n", "line 2: a quoted string was expected"},
      {"object X: TSample\n  Title = 'abc\nend\n", "line 2: unterminated string"},
      {"object X: TSample\n  Title = 'a' 'b'\nend\n", "line 2: unexpected text after"},
      {"object X: TSample\n  Title = #256\nend\n", "line 2: bad character code"},
      {"object X: TSample\n  Title = #\nend\n", "line 2: bad character code"},
      {"object X: TSample\n  object Y: TSample\n  end\nend\n", "line 2: nested objects"},
  };
  for (const BadText& c : cases) {
    TSample in;
    in.SetName("Before");
    in.title = "kept";
    try {
      LoadComponentProperties(in, c.text);
      ADD_FAILURE() << "no error for: " << c.text;
    } catch (const EPropertyError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.expected)) << c.text;
    }
    EXPECT_EQ(in.Name(), "Before") << c.text;
    EXPECT_EQ(in.title, "kept") << c.text;
    EXPECT_EQ(in.count, 7) << c.text;
  }
}

TEST(PropertiesTest, ValueRefusedBySetterPutsEarlierValuesBack) {
  TSample in;
  in.SetName("Before");
  in.title = "old";
  try {
    LoadComponentProperties(in, "object New: TSample\n  Title = 'new'\n  Count = -1\nend\n");
    ADD_FAILURE() << "a negative Count was accepted";
  } catch (const EPropertyError& e) {
    EXPECT_THAT(e.what(), HasSubstr("line 3: bad value for Count: Count must not be negative"));
  }
  EXPECT_EQ(in.title, "old");
  EXPECT_EQ(in.count, 7);
  EXPECT_EQ(in.Name(), "Before");
}

}  // namespace
}  // namespace quodem
