// Test entry point shared by every test program.
//
// Each test process gets a private exchange folder and no configuration file, so tests
// that ctest runs side by side never see each other's lines, and the user's own
// configuration never changes what a test sees. A test may still point QUODEM_CONFIG or
// QUODEM_EXCHANGE_DIR elsewhere itself.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/quodem-test-XXXXXX";
  const char* root = mkdtemp(tmpl);
  std::string exchange;
  if (root != nullptr) {
    exchange = std::string(root) + "/exchange";
    setenv("QUODEM_EXCHANGE_DIR", exchange.c_str(), 1);
    setenv("QUODEM_CONFIG", (std::string(root) + "/no-such-lines.conf").c_str(), 1);
    setenv("QUODEM_TEST_ROOT", root, 1);
  }
  ::testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  if (root != nullptr) {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  return rc;
}
