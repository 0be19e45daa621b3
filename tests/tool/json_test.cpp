// The JSON lines the tool writes: text from the peer becomes valid UTF-8 (each invalid
// sequence one U+FFFD), strings are escaped, and what is written reads back the same.
#include "json.h"

#include <gtest/gtest.h>

#include "json_line.h"

namespace quodem::tool {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(DecodeUtf8Lossy, KeepsValidTextAndReplacesEachInvalidSequenceOnce) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", ""},
      {"abc", "abc"},
      {"h\xC3\xA9llo", "h\xC3\xA9llo"},                          // 2-byte
      {"\xE3\x83\x95\xE3\x82\xA1", "\xE3\x83\x95\xE3\x82\xA1"},  // 3-byte (Japanese)
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                  // 4-byte
      {"a\xFF"
       "b",
       "a" + kFffd + "b"},                                  // never a lead byte
      {"\x80", kFffd},                                      // lone continuation
      {"\xC0\xAF", kFffd + kFffd},                          // overlong: C0 never valid
      {"\xE0\x80\xAF", kFffd + kFffd + kFffd},              // overlong 3-byte
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // surrogate
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
      {"\xE3\x83"
       "a",
       kFffd + "a"},                                     // truncated: one replacement
      {"\xF0\x9F\x98", kFffd},                           // truncated at the end
      {"\xE3\x83\xE3\x83\x95", kFffd + "\xE3\x83\x95"},  // next sequence survives
      {std::string("a\0b", 3), std::string("a\0b", 3)},  // NUL is valid UTF-8
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeUtf8Lossy(c.in), c.out) << HexEncode(c.in);
  }
}

TEST(JsonString, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f\0", 4)), "\"\\u0001\\u001f\\u007f\\u0000\"");
  EXPECT_EQ(JsonString("\xC3\xA9"), "\"\xC3\xA9\"");
}

TEST(JsonObject, WritesMembersInOrderAndReadsBack) {
  const std::string bytes("\xFF\x01q\"\n\xE3\x83\x95", 8);
  const std::string text = JsonObject()
                               .Add("event", "message")
                               .Add("size", static_cast<std::uint64_t>(bytes.size()))
                               .Add("code", static_cast<std::int64_t>(-2147483643))
                               .Add("hex", HexEncode(bytes))
                               .Add("text", bytes)
                               .AddBool("ok", true)
                               .Text();
  EXPECT_EQ(text.rfind("{\"event\":\"message\",\"size\":8,\"code\":-2147483643,", 0), 0u) << text;
  const std::optional<JsonLine> line = JsonLine::Parse(text);
  ASSERT_TRUE(line.has_value()) << text;
  EXPECT_EQ(line->String("event"), "message");
  EXPECT_EQ(line->Integer("size"), 8);
  EXPECT_EQ(line->Integer("code"), -2147483643);
  EXPECT_EQ(line->String("hex"), "ff0171220ae38395");
  EXPECT_EQ(line->String("text"), kFffd + "\x01q\"\n\xE3\x83\x95");
  EXPECT_EQ(line->Bool("ok"), true);
}

TEST(JsonLine, RefusesWhatIsNotOneFlatObject) {
  const char* bad[] = {
      "",
      "[]",
      "{",
      "{\"a\":1,}",
      "{\"a\" 1}",
      "{\"a\":01}",
      "{\"a\":1} x",
      "{\"a\":\"\x01\"}",     // raw control character
      "{\"a\":\"\\x41\"}",    // not a JSON escape
      "{\"a\":\"\xFF\"}",     // not UTF-8
      "{\"a\":\"\\udc00\"}",  // lone low surrogate
      "{\"a\":{\"b\":1}}",    // nested
      "{\"a\":1,\"a\":2}",    // duplicate member
  };
  for (const char* text : bad) EXPECT_FALSE(JsonLine::Parse(text).has_value()) << text;
}

TEST(JsonLine, DecodesEscapesAndSurrogatePairs) {
  const std::optional<JsonLine> line = JsonLine::Parse(
      " { \"s\" : \"\\u00e9\\ud83d\\ude00\\/\" , \"n\": -12 , \"f\": 1.5e3,"
      " \"z\": null } ");
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->String("s"), "\xC3\xA9\xF0\x9F\x98\x80/");
  EXPECT_EQ(line->Integer("n"), -12);
  EXPECT_FALSE(line->Integer("f").has_value());  // not a whole number
  EXPECT_TRUE(line->Has("z"));
  EXPECT_FALSE(line->String("z").has_value());
  EXPECT_EQ(line->Size(), 4u);
}

}  // namespace
}  // namespace quodem::tool
