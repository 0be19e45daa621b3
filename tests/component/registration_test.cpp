// Palette registration and package metadata.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "quodem/component/quodem.h"

namespace quodem {
namespace {

TEST(Registration, PutsOnlyTQuodemOnSamples) {
  Register();
  EXPECT_EQ(std::vector<std::string>{"TQuodem"}, RegisteredComponents("Samples"));
  EXPECT_EQ(std::vector<std::string>{"Samples"}, PalettePages());
  EXPECT_EQ(nullptr, CreateRegisteredComponent("TQuodemThread", nullptr));
  EXPECT_EQ(nullptr, CreateRegisteredComponent("TReadModemThread", nullptr));

  // Registering again (a package loaded twice) keeps one entry.
  Register();
  EXPECT_EQ(std::vector<std::string>{"TQuodem"}, RegisteredComponents("Samples"));
}

TEST(Registration, CreatesAComponentLikeAnyOther) {
  Register();
  TComponent owner;
  TComponent* created = CreateRegisteredComponent("TQuodem", &owner);
  ASSERT_NE(nullptr, created);
  auto* modem = dynamic_cast<TQuodem*>(created);
  ASSERT_NE(nullptr, modem);
  EXPECT_EQ(&owner, modem->Owner());
  EXPECT_EQ(1, owner.ComponentCount());
  EXPECT_EQ(-1, modem->LineIndex());
  EXPECT_FALSE(modem->LineNames().empty());  // the session starts here too
}  // the owner destroys it

TEST(Registration, PackageMetadata) {
  const PackageInfo& info = QuodemPackageInfo();
  EXPECT_STREQ("Modem Component's", info.description);
  EXPECT_STREQ("1.0.0.0", info.file_version);
  EXPECT_STREQ("1.0.0.0", info.product_version);
  EXPECT_EQ(1, info.version[0]);
  EXPECT_EQ(0, info.version[1] + info.version[2] + info.version[3]);
  EXPECT_EQ(0x0411, info.language);
  EXPECT_EQ(932, info.code_page);
  EXPECT_STREQ("vcl50", info.required_packages);
}

}  // namespace
}  // namespace quodem
