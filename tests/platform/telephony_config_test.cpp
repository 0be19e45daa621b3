// The configuration file: parsing, the errors for broken files, writing it back, and the
// line dialogs that edit it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/telephony/config.h"
#include "platform/telephony/dialogs.h"
#include "telephony_harness.h"

namespace quodem::telephony_test {
namespace {

using telephony::ConfigError;
using telephony::ParseConfig;
using telephony::ServiceConfig;

constexpr const char* kFullFile = R"(# two machines and a local line
[line]
provider = exchange
name = Front desk   ; shown to users
number = 2#1*

[line]
provider = tcp
name = Office link
listen = [::1]:0
port = 7000

[exchange]
answer_timeout = 5

[location]
country = 44
area = 20
outside =
long_distance = 0
international = 00
dialing = pulse
)";

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

TEST(TelephonyConfig, ParsesEverySection) {
  ServiceConfig config = ParseConfig(kFullFile, "lines.conf");
  ASSERT_EQ(config.lines.size(), 2u);
  EXPECT_EQ(config.lines[0].provider, "exchange");
  EXPECT_EQ(config.lines[0].Get("name"), "Front desk");
  EXPECT_EQ(config.lines[0].Get("number"), "2#1*");
  EXPECT_EQ(config.lines[0].Get("speed"), "0");  // unpaced unless given
  EXPECT_EQ(ParseConfig("[line]\nprovider = exchange\nname = A\nnumber = 1\nspeed = 33600\n", "x")
                .lines[0]
                .Get("speed"),
            "33600");
  EXPECT_EQ(config.lines[1].Get("listen"), "[::1]:0");
  EXPECT_EQ(config.lines[1].Get("port"), "7000");
  EXPECT_EQ(config.answer_timeout_s, 5);
  EXPECT_EQ(config.location.country, "44");
  EXPECT_EQ(config.location.outside, "");
  EXPECT_EQ(config.location.dialing, "pulse");
  // Missing optional keys take their defaults; no [line] gives the default lines.
  config = ParseConfig("[line]\nprovider = tcp\n\n[location]\narea = 425\r\n", "x");
  EXPECT_EQ(config.lines[0].Get("name"), "TCP/IP line");
  EXPECT_EQ(config.lines[0].Get("listen"), "127.0.0.1:6400");
  EXPECT_EQ(config.lines[0].Get("port"), "6400");
  EXPECT_EQ(config.location.area, "425");
  config = ParseConfig("# nothing but a comment\n", "x");
  ASSERT_EQ(config.lines.size(), 3u);
  EXPECT_EQ(config.lines[1].Get("number"), "102");
}

struct Broken {
  const char* text;
  int line;
  const char* problem;
};

TEST(TelephonyConfig, BrokenFilesNameTheLineAndTheProblem) {
  const Broken cases[] = {
      {"[line]\nprovider = exchange\nname = A\nnumber = 1/2\n", 4, "number"},
      {"[line]\nprovider = fax\nname = A\n", 2, "unknown provider 'fax'"},
      {"[line]\nprovider = modem\nname = A\n", 1, "without 'device'"},
      {"[line]\nprovider = modem\ndevice = /dev/ttyS0\ninit = ATZ|\n", 4, "init"},
      {"[line]\nprovider = modem\ndevice = /dev/ttyS0\nconnect_timeout = 300\n", 4,
       "connect_timeout"},
      {"[line]\nprovider = modem\ndevice = /dev/ttyS0\n[line]\nprovider = modem\n"
       "device = /dev/ttyS0\n",
       4, "already used"},
      {"[line]\nname = A\nnumber = 1\n", 1, "without 'provider'"},
      {"[line]\nprovider = exchange\nname = A\n", 1, "without 'number'"},
      {"[line]\nprovider = exchange\nname = A\nnumber = 1\nlisten = 1.2.3.4:5\n", 5,
       "unknown key 'listen'"},
      {"[lines]\n", 1, "unknown section [lines]"},
      {"name = A\n", 1, "outside a section"},
      {"[line\n", 1, "does not end with ']'"},
      {"[line]\nprovider exchange\n", 2, "expected 'key = value'"},
      {"[line]\n= 5\n", 2, "missing key"},
      {"[line]\nprovider = tcp\nprovider = tcp\n", 3, "given twice"},
      {"[exchange]\nanswer_timeout = 0\n", 2, "answer_timeout"},
      {"[exchange]\nanswer_timeout = soon\n", 2, "answer_timeout"},
      {"[exchange]\nring = 3\n", 2, "unknown key 'ring'"},
      {"[location]\ncountry = 1\n[location]\n", 3, "appears twice"},
      {"[location]\ndialing = rotary\n", 2, "tone or pulse"},
      {"[location]\narea = 4x5\n", 2, "area"},
      {"[location]\nplanet = earth\n", 2, "unknown key 'planet'"},
      {"[line]\nprovider = tcp\nlisten = localhost:80\n", 3, "listen"},
      {"[line]\nprovider = tcp\nport = 70000\n", 3, "port"},
      {"[line]\nprovider = exchange\nname = A\nnumber = 1\n[line]\nprovider = exchange\n"
       "name = B\nnumber = 1\n",
       5, "already used"},
      {"[line]\nprovider = exchange\nname = \x01\nnumber = 1\n", 3, "control character"},
      {"[line]\nprovider = exchange\nname =\nnumber = 1\n", 3, "name"},
      {"[line]\nprovider = exchange\nname = A\nnumber = 1\nspeed = fast\n", 5, "speed"},
      {"[line]\nprovider = exchange\nname = A\nnumber = 1\nspeed = 10\n", 5, "speed"},
      {"[line]\nprovider = exchange\nname = A\nnumber = 1\nspeed = 999999999\n", 5, "speed"},
      {"[line]\nprovider = tcp\nspeed = 9600\n", 3, "unknown key 'speed'"},
  };
  for (const Broken& c : cases) {
    try {
      ParseConfig(c.text, "/etc/lines.conf");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const ConfigError& e) {
      EXPECT_EQ(e.file(), "/etc/lines.conf");
      EXPECT_EQ(e.line(), c.line) << c.text << "\n" << e.what();
      EXPECT_NE(e.problem().find(c.problem), std::string::npos) << e.what();
      std::string where = "/etc/lines.conf:" + std::to_string(c.line) + ": ";
      EXPECT_EQ(std::string(e.what()).rfind(where, 0), 0u) << e.what();
    }
  }
  EXPECT_THROW(ParseConfig(std::string("[line]\nname = a\0b\n", 18), "x"), ConfigError);
  EXPECT_THROW(ParseConfig(std::string(telephony::kMaxConfigBytes + 1, '#'), "x"), ConfigError);
  std::string many;
  for (int i = 0; i <= telephony::kMaxLines; ++i) {
    many += "[line]\nprovider = exchange\nname = L\nnumber = " + std::to_string(i) + "\n";
  }
  EXPECT_THROW(ParseConfig(many, "x"), ConfigError);
}

// Editors may start a UTF-8 file with a byte-order mark; it is not text. Anywhere else, and
// for every other invisible character, the error shows it escaped rather than as nothing.
TEST(TelephonyConfig, ByteOrderMarkIsSkippedAndInvisibleCharactersAreShownEscaped) {
  ServiceConfig config = ParseConfig("\xEF\xBB\xBF[location]\ncountry = 44\n", "x");
  EXPECT_EQ(config.location.country, "44");
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"\xEF\xBB\xBF\xEF\xBB\xBF[line]\n", "found '\\ufeff[line]'"},
      {"[location]\n\xE2\x80\x8B"
       "country = 1\n",
       "unknown key '\\u200bcountry'"},
      {"[line\xC2\xA0]\n", "unknown section [line\\u00a0]"},
      {"[location]\nplan\xFF\\t = 1\n", "unknown key 'plan\\xff\\\\t'"},
      {"[line]\nprovider = t\xF3\xA0\x80\x81"
       "cp\n",
       "unknown provider 't\\U000e0001cp'"},
  };
  for (const Case& c : cases) {
    try {
      ParseConfig(c.text, "x");
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const ConfigError& e) {
      EXPECT_NE(e.problem().find(c.shown), std::string::npos) << e.what();
    }
  }
}

TEST(TelephonyConfig, WritingBackReadsTheSameValues) {
  ServiceConfig config = ParseConfig(kFullFile, "a");
  ServiceConfig again = ParseConfig(telephony::FormatConfig(config), "b");
  ASSERT_EQ(again.lines.size(), config.lines.size());
  for (std::size_t i = 0; i < config.lines.size(); ++i) {
    EXPECT_EQ(again.lines[i].provider, config.lines[i].provider);
    for (const auto& setting : config.lines[i].settings) {
      EXPECT_EQ(again.lines[i].Get(setting.key), setting.value) << setting.key;
    }
  }
  EXPECT_EQ(again.answer_timeout_s, 5);
  EXPECT_EQ(again.location.international, "00");
  EXPECT_EQ(again.location.outside, "");

  config.path = TestRoot() + "/new/folder/lines.conf";
  telephony::SaveConfig(config);
  ScopedEnv env("QUODEM_CONFIG", config.path);
  ServiceConfig loaded = telephony::LoadConfig();
  EXPECT_EQ(loaded.lines[0].Get("number"), "2#1*");
}

TEST(TelephonyConfig, BrokenFileFailsInitializeAndListLines) {
  std::string path = TestRoot() + "/broken.conf";
  WriteFile(path, "[line]\nprovider = exchange\nnumber = 12a\n");
  ScopedEnv env("QUODEM_CONFIG", path);
  HLINEAPP app = 0;
  DWORD devices = 0;
  EXPECT_EQ(lineInitialize(&app, nullptr, &Recorder::Callback, nullptr, &devices),
            LINEERR_INIFILECORRUPT);
  std::string error = telephony::ServiceConfigurationError();
  EXPECT_NE(error.find(path + ":3:"), std::string::npos) << error;
  EXPECT_NE(error.find("number"), std::string::npos) << error;
  EXPECT_THROW(telephony::ListLines(), std::runtime_error);
  EXPECT_EQ(lineConfigDialogA(0, nullptr, nullptr), LINEERR_INIFILECORRUPT);
  // A folder where the file should be is an error too, not a crash.
  std::string folder = TestRoot() + "/folder.conf";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ScopedEnv env2("QUODEM_CONFIG", folder);
  EXPECT_EQ(lineInitialize(&app, nullptr, &Recorder::Callback, nullptr, &devices),
            LINEERR_INIFILECORRUPT);
}

TEST(TelephonyConfig, ConfiguredLinesAreTheDevices) {
  std::string path = TestRoot() + "/two.conf";
  WriteFile(path, "[line]\nprovider = exchange\nname = Only line\nnumber = 55\n");
  ScopedEnv env("QUODEM_CONFIG", path);
  Party party;
  EXPECT_EQ(party.devices, 1u);
  auto lines = telephony::ListLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].name, "Only line");
  EXPECT_EQ(lines[0].address, "55");
}

TEST(TelephonyDialogs, TextDialogEditsLineSettings) {
  ServiceConfig config = telephony::DefaultConfig("x");
  std::istringstream in("Desk\n12/3\n102\n103\n\n\n");
  std::ostringstream out;
  ASSERT_TRUE(telephony::EditLineSettings(config, 0, in, out));
  EXPECT_EQ(config.lines[0].Get("name"), "Desk");
  EXPECT_EQ(config.lines[0].Get("number"), "103");
  EXPECT_EQ(config.answer_timeout_s, 30);
  std::string shown = out.str();
  EXPECT_NE(shown.find("[Local line 1]"), std::string::npos) << shown;
  EXPECT_NE(shown.find("digits, * and #"), std::string::npos) << shown;
  EXPECT_NE(shown.find("already used by line 1"), std::string::npos) << shown;

  // Input that ends early changes nothing.
  ServiceConfig untouched = telephony::DefaultConfig("x");
  std::istringstream short_in("Other name\n");
  std::ostringstream ignored;
  EXPECT_FALSE(telephony::EditLineSettings(untouched, 1, short_in, ignored));
  EXPECT_EQ(untouched.lines[1].Get("name"), "Local line 2");
}

TEST(TelephonyDialogs, TextDialogEditsTheDialingLocation) {
  ServiceConfig config = telephony::DefaultConfig("x");
  std::istringstream in("\n425\n9\n\n\nclicks\npulse\n");
  std::ostringstream out;
  ASSERT_TRUE(telephony::EditDialingLocation(config, "+1 (206) 555-0100", in, out));
  EXPECT_EQ(config.location.area, "425");
  EXPECT_EQ(config.location.outside, "9");
  EXPECT_EQ(config.location.dialing, "pulse");
  EXPECT_NE(out.str().find("dials as 912065550100"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("tone or pulse"), std::string::npos);
}

// Standard input is not a terminal while this object lives.
class NoTerminal {
 public:
  NoTerminal() : saved_(dup(0)) {
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null, 0);
    close(null);
  }
  ~NoTerminal() {
    dup2(saved_, 0);
    close(saved_);
  }

 private:
  int saved_;
};

TEST(TelephonyDialogs, HandlerOrNothingWithoutATerminal) {
  NoTerminal no_terminal;
  Party session;
  EXPECT_EQ(lineConfigDialogA(0, nullptr, nullptr), LINEERR_OPERATIONUNAVAIL);
  EXPECT_EQ(lineTranslateDialogA(session.app, 0, kSupportedApiHigh, nullptr, "101"),
            LINEERR_OPERATIONUNAVAIL);

  std::vector<telephony::DialogRequest> seen;
  telephony::SetDialogHandler([&](const telephony::DialogRequest& request) {
    seen.push_back(request);
    return LONG{0};
  });
  EXPECT_EQ(lineConfigDialogA(1, nullptr, "comm/datamodem"), 0);
  EXPECT_EQ(lineTranslateDialogA(session.app, 2, kSupportedApiHigh, nullptr, "+1 (425) 5550100"),
            0);
  EXPECT_EQ(lineConfigDialogA(3, nullptr, nullptr), LINEERR_BADDEVICEID);
  EXPECT_EQ(lineConfigDialogA(0, nullptr, "wave/in"), LINEERR_INVALDEVICECLASS);
  EXPECT_EQ(lineTranslateDialogA(session.app, 3, kSupportedApiHigh, nullptr, ""),
            LINEERR_BADDEVICEID);
  EXPECT_EQ(lineTranslateDialogA(0x9999, 0, kSupportedApiHigh, nullptr, ""),
            LINEERR_INVALAPPHANDLE);
  telephony::SetDialogHandler(nullptr);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].kind, telephony::DialogKind::kLineConfig);
  EXPECT_EQ(seen[0].device_id, 1u);
  EXPECT_EQ(seen[1].kind, telephony::DialogKind::kDialingLocation);
  EXPECT_EQ(seen[1].device_id, 2u);
  EXPECT_EQ(seen[1].address_in, "+1 (425) 5550100");
}

}  // namespace
}  // namespace quodem::telephony_test
