#include "platform/telephony/translate.h"

#include <cstring>

#include "platform/telephony/tcp_address.h"

namespace quodem::telephony {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

DWORD CountryValue(const std::string& digits) {
  DWORD value = 0;
  for (char c : digits) value = value * 10 + static_cast<DWORD>(c - '0');
  return value;
}

// "+CC (AREA) NUMBER": CC 1-3 digits, AREA 1-8 digits, NUMBER digits separated by blanks,
// dashes or dots. Blanks are allowed around the parentheses.
struct Canonical {
  std::string country;
  std::string area;
  std::string number;        // digits only
  std::string number_shown;  // as typed
};

std::optional<Canonical> ParseCanonical(std::string_view text) {
  Canonical result;
  std::size_t i = 0;
  if (i >= text.size() || text[i] != '+') return std::nullopt;
  ++i;
  while (i < text.size() && IsDigit(text[i])) result.country += text[i++];
  if (result.country.empty() || result.country.size() > 3) return std::nullopt;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i >= text.size() || text[i] != '(') return std::nullopt;
  ++i;
  while (i < text.size() && IsBlank(text[i])) ++i;
  while (i < text.size() && IsDigit(text[i])) result.area += text[i++];
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (result.area.empty() || result.area.size() > 8) return std::nullopt;
  if (i >= text.size() || text[i] != ')') return std::nullopt;
  ++i;
  while (i < text.size() && IsBlank(text[i])) ++i;
  result.number_shown = std::string(text.substr(i));
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (IsDigit(c)) {
      result.number += c;
    } else if (!(IsBlank(c) || c == '-' || c == '.')) {
      return std::nullopt;
    }
  }
  if (result.number.empty()) return std::nullopt;
  return result;
}

}  // namespace

std::optional<Translation> TranslatePhoneNumber(std::string_view input, const Location& location) {
  std::string_view text = TrimBlanks(input);
  if (text.empty()) return std::nullopt;
  Translation out;
  out.current_country = CountryValue(location.country);
  if (std::optional<Canonical> canonical = ParseCanonical(text)) {
    out.results = LINETRANSLATERESULT_CANONICAL;
    out.dest_country = CountryValue(canonical->country);
    out.displayable =
        "+" + canonical->country + " (" + canonical->area + ") " + canonical->number_shown;
    if (canonical->country == location.country && canonical->area == location.area) {
      out.results |= LINETRANSLATERESULT_LOCAL;
      out.dialable = location.outside + canonical->number;
    } else if (canonical->country == location.country) {
      out.results |= LINETRANSLATERESULT_LONGDISTANCE;
      out.dialable =
          location.outside + location.long_distance + canonical->area + canonical->number;
    } else {
      out.results |= LINETRANSLATERESULT_INTERNATIONAL;
      out.dialable = location.outside + location.international + canonical->country +
                     canonical->area + canonical->number;
    }
    return out;
  }
  bool any_digit = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (IsDigit(c) || c == '*' || c == '#') {
      out.dialable += c;
      any_digit = true;
    } else if (c == '+' && i == 0) {
      out.dialable += c;
    } else if (!(IsBlank(c) || c == '-' || c == '.' || c == '(' || c == ')')) {
      return std::nullopt;
    }
  }
  if (!any_digit) return std::nullopt;
  out.results = LINETRANSLATERESULT_NOTCANONICAL;
  out.displayable = std::string(text);
  return out;
}

std::optional<Translation> TranslateHostAddress(std::string_view input) {
  std::string_view text = TrimBlanks(input);
  if (!ParseHostPort(text, 0, false)) return std::nullopt;
  Translation out;
  out.dialable = std::string(text);
  out.displayable = std::string(text);
  return out;
}

LONG WriteTranslateOutput(const Translation& translation, LINETRANSLATEOUTPUT* block) {
  constexpr DWORD kFixed = sizeof(LINETRANSLATEOUTPUT);
  const DWORD total = block->dwTotalSize;
  std::size_t needed_bytes =
      kFixed + translation.dialable.size() + 1 + translation.displayable.size() + 1;
  DWORD needed = needed_bytes > 0xffffffffu ? 0xffffffffu : static_cast<DWORD>(needed_bytes);
  if (total < kFixed) {
    if (total >= offsetof(LINETRANSLATEOUTPUT, dwUsedSize)) block->dwNeededSize = needed;
    return LINEERR_STRUCTURETOOSMALL;
  }
  block->dwNeededSize = needed;
  block->dwUsedSize = kFixed;
  block->dwDialableStringSize = 0;
  block->dwDialableStringOffset = 0;
  block->dwDisplayableStringSize = 0;
  block->dwDisplayableStringOffset = 0;
  block->dwCurrentCountry = translation.current_country;
  block->dwDestCountry = translation.dest_country;
  block->dwTranslateResults = translation.results;
  if (needed > total) return LINEERR_STRUCTURETOOSMALL;
  auto* base = reinterpret_cast<char*>(block);
  DWORD offset = kFixed;
  auto put = [&](const std::string& text, DWORD* size_field, DWORD* offset_field) {
    std::memcpy(base + offset, text.c_str(), text.size() + 1);
    *size_field = static_cast<DWORD>(text.size() + 1);
    *offset_field = offset;
    offset += static_cast<DWORD>(text.size() + 1);
  };
  put(translation.dialable, &block->dwDialableStringSize, &block->dwDialableStringOffset);
  put(translation.displayable, &block->dwDisplayableStringSize, &block->dwDisplayableStringOffset);
  block->dwUsedSize = offset;
  return 0;
}

}  // namespace quodem::telephony
