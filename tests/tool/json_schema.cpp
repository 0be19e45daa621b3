// The schema of the tool's JSON lines, as docs/cli.md writes it. Every JSON line the
// end-to-end tests see goes through SchemaProblem (tool_runner.cpp).
#include <map>
#include <set>

#include "json.h"
#include "quodem/component/quodem.h"
#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

enum class Type { kString, kInteger, kHex };

struct Member {
  Type type;
  bool required;
  std::set<std::string> values;  // allowed values of a string (empty: any)
};

using Schema = std::map<std::string, Member>;

const std::set<std::string> kKinds = {"message", "file"};

const std::map<std::string, Schema>& Events() {
  static const std::map<std::string, Schema> events = {
      {"waiting",
       {{"index", {Type::kInteger, true, {}}},
        {"name", {Type::kString, true, {}}},
        {"name_hex", {Type::kHex, false, {}}},
        {"address", {Type::kString, true, {}}}}},
      {"state",
       {{"state", {Type::kString, true, {}}},
        {"value", {Type::kInteger, true, {}}},
        {"rate", {Type::kInteger, false, {}}}}},
      {"error",
       {{"reason",
         {Type::kString,
          true,
          {"setup", "telephony", "busy", "no-answer", "unreachable", "incompatible", "rejected",
           "bad-address", "hung-up", "failed"}}},
        {"message", {Type::kString, true, {}}},
        {"code", {Type::kInteger, false, {}}}}},
      {"sent",
       {{"kind", {Type::kString, true, kKinds}},
        {"size", {Type::kInteger, true, {}}},
        {"total", {Type::kInteger, true, {}}}}},
      {"received",
       {{"kind", {Type::kString, true, kKinds}},
        {"size", {Type::kInteger, true, {}}},
        {"total", {Type::kInteger, true, {}}}}},
      {"message",
       {{"size", {Type::kInteger, true, {}}},
        {"hex", {Type::kHex, true, {}}},
        {"text", {Type::kString, true, {}}}}},
      {"file",
       {{"path", {Type::kString, true, {}}},
        {"path_hex", {Type::kHex, false, {}}},
        {"size", {Type::kInteger, true, {}}},
        {"name", {Type::kString, false, {}}},
        {"name_hex", {Type::kHex, false, {}}}}},
      {"file-failed",
       {{"name", {Type::kString, true, {}}},
        {"name_hex", {Type::kHex, false, {}}},
        {"reason", {Type::kString, true, {}}}}},
      {"send-failed",
       {{"kind", {Type::kString, true, kKinds}}, {"message", {Type::kString, true, {}}}}},
  };
  return events;
}

// A line of 'quodem lines --json'.
const Schema& LineRecord() {
  static const Schema record = {
      {"index", {Type::kInteger, true, {}}},
      {"name", {Type::kString, true, {}}},
      {"name_hex", {Type::kHex, false, {}}},
      {"provider", {Type::kString, true, {"exchange", "tcp", "modem", ""}}},
      {"address", {Type::kString, true, {}}},
      {"hold",
       {Type::kString,
        true,
        {"free", "held-here", "held-elsewhere", "in-use-by-call", "missing", "none"}}},
      {"pid", {Type::kInteger, false, {}}},
      {"rate", {Type::kInteger, false, {}}},
      {"caller", {Type::kString, false, {}}},
  };
  return record;
}

std::optional<std::string> HexDecode(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const auto digit = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    const int high = digit(hex[i]), low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

std::string CheckMembers(const JsonLine& line, const Schema& schema, const std::string& what) {
  for (const std::string& key : line.Keys()) {
    if (key != "event" && schema.count(key) == 0) return what + " has an unknown member " + key;
  }
  for (const auto& [key, member] : schema) {
    if (!line.Has(key)) {
      if (member.required) return what + " lacks " + key;
      continue;
    }
    if (member.type == Type::kInteger) {
      if (!line.Integer(key)) return what + ": " + key + " is not a whole number";
      continue;
    }
    const std::optional<std::string> text = line.String(key);
    if (!text) return what + ": " + key + " is not a string";
    if (!member.values.empty() && member.values.count(*text) == 0) {
      return what + ": " + key + " has the value '" + *text + "', not one of the schema's";
    }
    if (member.type == Type::kHex && !HexDecode(*text)) {
      return what + ": " + key + " is not lower-case hexadecimal";
    }
  }
  // NAME_hex: present exactly when NAME's bytes are not UTF-8; NAME is then their lossy form.
  for (const auto& [key, member] : schema) {
    if (key.size() < 4 || key.compare(key.size() - 4, 4, "_hex") != 0 || !line.Has(key)) continue;
    const std::string base = key.substr(0, key.size() - 4);
    const std::string bytes = *HexDecode(*line.String(key));
    if (DecodeUtf8Lossy(bytes) == bytes) return what + ": " + key + " given for valid UTF-8";
    if (line.String(base) != DecodeUtf8Lossy(bytes)) {
      return what + ": " + base + " is not the text of " + key;
    }
  }
  return "";
}

}  // namespace

std::string SchemaProblem(const JsonLine& line) {
  if (!line.Has("event")) return CheckMembers(line, LineRecord(), "a line record");
  const std::string name = EventName(line);
  const auto schema = Events().find(name);
  if (schema == Events().end()) return "unknown event '" + name + "'";
  const std::string what = "event " + name;
  std::string problem = CheckMembers(line, schema->second, what);
  if (!problem.empty()) return problem;
  if (name == "state") {
    const std::int64_t value = *line.Integer("value");
    if (value < 0 || value > 13) return what + ": value out of range";
    if (line.String("state") != quodem::CallStateName(static_cast<quodem::CallState>(value))) {
      return what + ": state and value disagree";
    }
    if (line.Has("rate") && (value != quodem::csConnected || *line.Integer("rate") <= 0)) {
      return what + ": a rate belongs to csConnected and is positive";
    }
  } else if (name == "sent" || name == "received") {
    if (*line.Integer("size") > *line.Integer("total")) return what + ": size above total";
  } else if (name == "message") {
    const std::optional<std::string> bytes = HexDecode(*line.String("hex"));
    if (static_cast<std::int64_t>(bytes->size()) != *line.Integer("size")) {
      return what + ": hex does not hold size bytes";
    }
    if (line.String("text") != DecodeUtf8Lossy(*bytes)) return what + ": text is not hex's text";
  }
  return "";
}

}  // namespace quodem::tool::testing
