// Address translation: what a user types turned into what a line dials and what it shows.
// The rules are pure functions of the input and the dialing location, so they can be tested
// from tables; WriteTranslateOutput puts a result into the caller's LINETRANSLATEOUTPUT.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/telephony/config.h"
#include "quodem/platform/telephony.h"

namespace quodem::telephony {

struct Translation {
  std::string dialable;
  std::string displayable;
  DWORD results = 0;  // LINETRANSLATERESULT_ flags
  DWORD current_country = 0;
  DWORD dest_country = 0;
};

// Phone-number lines. Canonical input "+CC (AREA) NUMBER" is dialed as local, long distance
// or international from `location`; other input keeps its dialable characters (digits, *, #,
// a leading '+') and drops formatting (blanks, '-', '.', '(' and ')'). Nothing for empty
// input or any other character.
std::optional<Translation> TranslatePhoneNumber(std::string_view input, const Location& location);

// TCP lines: "host:port", "[IPv6]:port" or a host, passed through unchanged (surrounding
// blanks dropped). Nothing for anything else.
std::optional<Translation> TranslateHostAddress(std::string_view input);

// Fills `block` (whose dwTotalSize the caller set). Returns 0, or
// LINEERR_STRUCTURETOOSMALL with dwNeededSize set when the strings do not fit. Never writes
// beyond dwTotalSize.
LONG WriteTranslateOutput(const Translation& translation, LINETRANSLATEOUTPUT* block);

}  // namespace quodem::telephony
