// Saving and loading a component's published properties as form-file-like text.
//
//   object Modem1: TQuodem        (an unnamed component: "object TQuodem")
//     LineIndex = 0
//     DialString = 'it''s'#13#10'next line'
//   end
//
// One property per line, `Name = value`. Numbers and other non-string values are written as
// their text form, a single token. A string is a run of quoted parts and character codes with
// nothing between them: bytes 32..126 except the quote, and every byte from 128 up, stand in
// quotes as they are (so UTF-8 text stays readable); a quote inside quotes is doubled; control
// bytes (0..31 and 127) are written as #NN outside quotes, in decimal. Every byte string thus
// survives a save and load unchanged, and a value never spans lines. The empty string is ''.
// Loading accepts the same; it also accepts #NN for any byte (0..255), blank lines, any
// indentation and "\r\n" line ends. Event properties have no text form: save skips them and
// load ignores lines naming them. Names are case-sensitive.
#include <cctype>
#include <charconv>
#include <climits>
#include <stdexcept>
#include <string_view>

#include "quodem/platform/framework/component.h"
#include "quodem/platform/framework/exception.h"

namespace quodem {

namespace {

bool IsIdentifier(std::string_view s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// A value written bare must read back as one token.
bool IsBareValue(std::string_view s) {
  if (s.empty() || s[0] == '\'' || s[0] == '#') return false;
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (b <= 32 || b == 127) return false;
  }
  return true;
}

bool IsControl(unsigned char b) {
  return b < 32 || b == 127;
}

std::string QuoteString(const std::string& value) {
  std::string out;
  bool quoted = false;
  for (char c : value) {
    auto b = static_cast<unsigned char>(c);
    if (IsControl(b)) {
      if (quoted) out += '\'';
      quoted = false;
      out += '#';
      out += std::to_string(b);
      continue;
    }
    if (!quoted) out += '\'';
    quoted = true;
    out += c;
    if (c == '\'') out += '\'';
  }
  if (quoted) out += '\'';
  return out.empty() ? "''" : out;
}

[[noreturn]] void Fail(int line, const std::string& what) {
  throw EPropertyError("line " + std::to_string(line) + ": " + what);
}

// Parses a string value (see the top of this file); the whole of `text` must be used.
std::string UnquoteString(std::string_view text, int line) {
  std::string out;
  std::size_t pos = 0;
  bool any = false;
  while (pos < text.size()) {
    if (text[pos] == '\'') {
      ++pos;
      for (;;) {
        if (pos >= text.size()) Fail(line, "unterminated string");
        if (text[pos] == '\'') {
          if (pos + 1 < text.size() && text[pos + 1] == '\'') {
            out += '\'';
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        out += text[pos++];
      }
    } else if (text[pos] == '#') {
      ++pos;
      std::size_t start = pos;
      while (pos < text.size() && pos - start < 4 &&
             std::isdigit(static_cast<unsigned char>(text[pos]))) {
        ++pos;
      }
      int code = -1;
      if (pos > start && pos - start <= 3) {
        std::from_chars(text.data() + start, text.data() + pos, code);
      }
      if (code < 0 || code > 255) Fail(line, "bad character code in string");
      out += static_cast<char>(code);
    } else {
      break;
    }
    any = true;
  }
  if (!any) Fail(line, "a quoted string was expected");
  if (!Trim(text.substr(pos)).empty()) Fail(line, "unexpected text after the string");
  return out;
}

// Checks that `text` is a decimal number of the property's type.
void CheckNumber(const TPropInfo& prop, std::string_view text, int line) {
  bool ok;
  if (prop.type == "int") {
    int value;
    auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
    ok = err == std::errc() && end == text.data() + text.size();
  } else {
    unsigned long value;
    ok = !text.empty() && text[0] != '-';
    if (ok) {
      auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
      ok = err == std::errc() && end == text.data() + text.size();
    }
  }
  if (!ok) {
    Fail(line, "bad value for " + prop.name + ": '" + std::string(text) + "' is not " +
                   (prop.type == "int" ? "an int" : "an unsigned long"));
  }
}

const TPropInfo* FindProperty(const std::vector<TPropInfo>& props, std::string_view name) {
  for (const TPropInfo& p : props) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

struct Assignment {
  int line;
  const TPropInfo* prop;
  std::string value;  // the text form handed to the setter
};

}  // namespace

std::string SaveComponentProperties(const TComponent& component) {
  const std::string class_name = component.ClassName();
  if (!IsIdentifier(class_name)) {
    throw EPropertyError("cannot save a component of class '" + class_name + "'");
  }
  if (!component.Name().empty() && !IsIdentifier(component.Name())) {
    throw EPropertyError("cannot save component name '" + component.Name() +
                         "': not an identifier");
  }
  std::string out = "object ";
  out += component.Name().empty() ? class_name : component.Name() + ": " + class_name;
  out += '\n';
  for (const TPropInfo& prop : component.PublishedProperties()) {
    if (prop.is_event || !prop.readable || !prop.writable || !prop.get) continue;
    std::string value = prop.get(component);
    if (prop.type == "string") {
      value = QuoteString(value);
    } else if (!IsBareValue(value)) {
      throw EPropertyError("cannot save property " + prop.name + ": value '" + value +
                           "' has no text form");
    }
    out += "  " + prop.name + " = " + value + "\n";
  }
  out += "end\n";
  return out;
}

void LoadComponentProperties(TComponent& component, const std::string& text) {
  const std::vector<TPropInfo> props = component.PublishedProperties();
  const std::string class_name = component.ClassName();

  // Parse and check everything first, so that malformed text changes nothing.
  enum { kHeader, kBody, kDone } state = kHeader;
  std::string name;
  std::vector<Assignment> assignments;
  int line = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    ++line;
    std::size_t eol = text.find('\n', pos);
    std::string_view raw(text.data() + pos, (eol == std::string::npos ? text.size() : eol) - pos);
    pos = eol == std::string::npos ? text.size() : eol + 1;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    std::string_view s = Trim(raw);
    if (s.empty()) continue;

    if (state == kDone) Fail(line, "unexpected text after 'end'");
    const bool object_line = s.substr(0, 6) == "object" && (s.size() == 6 || IsSpace(s[6]));
    if (state == kHeader) {
      if (!object_line) Fail(line, "'object' expected");
      std::string_view rest = Trim(s.substr(6));
      std::string_view found_class = rest;
      std::size_t colon = rest.find(':');
      if (colon != std::string_view::npos) {
        std::string_view n = Trim(rest.substr(0, colon));
        if (!n.empty() && !IsIdentifier(n))
          Fail(line, "bad component name '" + std::string(n) + "'");
        name = std::string(n);
        found_class = Trim(rest.substr(colon + 1));
      }
      if (!IsIdentifier(found_class)) Fail(line, "class name expected after 'object'");
      if (found_class != class_name) {
        Fail(line, "an object of class " + std::string(found_class) + " cannot be loaded into a " +
                       class_name);
      }
      state = kBody;
      continue;
    }
    if (s == "end") {
      state = kDone;
      continue;
    }
    if (object_line) Fail(line, "nested objects are not supported");

    std::size_t eq = s.find('=');
    if (eq == std::string_view::npos) Fail(line, "'Name = value' expected");
    std::string_view prop_name = Trim(s.substr(0, eq));
    std::string_view value = Trim(s.substr(eq + 1));
    if (!IsIdentifier(prop_name)) Fail(line, "property name expected");
    if (value.empty()) Fail(line, "value expected for " + std::string(prop_name));
    const TPropInfo* prop = FindProperty(props, prop_name);
    if (prop == nullptr) {
      Fail(line, "unknown property '" + std::string(prop_name) + "' of " + class_name);
    }
    if (prop->is_event) continue;
    if (!prop->writable || !prop->set) Fail(line, "property " + prop->name + " is read-only");
    if (prop->type == "string") {
      assignments.push_back({line, prop, UnquoteString(value, line)});
      continue;
    }
    if (!IsBareValue(value)) Fail(line, "bad value for " + prop->name);
    if (prop->type == "int" || prop->type == "unsigned long") CheckNumber(*prop, value, line);
    if (prop->type == "bool" && value != "True" && value != "False") {
      Fail(line,
           "bad value for " + prop->name + ": '" + std::string(value) + "' is not True or False");
    }
    assignments.push_back({line, prop, std::string(value)});
  }
  if (state == kHeader) Fail(line + 1, "'object' expected");
  if (state == kBody) Fail(line + 1, "'end' expected");

  // Apply. A setter may still refuse its value; the component then gets back the values it
  // had (as far as its setters take them back).
  std::vector<std::pair<const TPropInfo*, std::string>> previous;
  for (const Assignment& a : assignments) {
    if (a.prop->readable && a.prop->get) previous.emplace_back(a.prop, a.prop->get(component));
  }
  const std::string previous_name = component.Name();
  auto restore = [&] {
    for (auto it = previous.rbegin(); it != previous.rend(); ++it) {
      try {
        it->first->set(component, it->second);
      } catch (...) {
        // Best effort: the value it had was accepted once.
      }
    }
    component.SetName(previous_name);
  };
  component.SetName(name);
  for (const Assignment& a : assignments) {
    try {
      a.prop->set(component, a.value);
    } catch (const std::exception& e) {
      restore();
      Fail(a.line, "bad value for " + a.prop->name + ": " + e.what());
    }
  }
}

}  // namespace quodem
