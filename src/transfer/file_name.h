// Names of received files. A peer chooses the name that arrives in a file frame; these pure
// functions decide where, if anywhere, it may be saved, so that no name a peer sends can
// reach outside the folder the host chose.
#pragma once

#include <cstddef>
#include <string>

namespace quodem {

// The name a received file is saved under, or "" when the frame must be dropped.
//
// `received` is the name as it arrived, up to its first zero byte. Only the part after the
// last '/' or '\' is kept (a conforming sender sends no directory part, and a sender on the
// classic platform separates with '\'), and a leading drive prefix (one ASCII letter and a
// colon, as in "C:x") is dropped. What remains is refused when it is empty, "." or "..".
// Any other colon is an ordinary character: "10:00.log" stays "10:00.log".
std::string SafeReceivedFileName(const std::string& received);

// `directory` + "/" + `name` with exactly one separator between the two, also when
// `directory` already ends in '/' (so "/" + "a" gives "/a"). "" when `directory` is empty:
// no folder was chosen, so there is nowhere to save.
std::string JoinSavePath(const std::string& directory, const std::string& name);

// The longest name a folder entry can have on the file systems we save to (NAME_MAX).
constexpr std::size_t kMaxSavedNameBytes = 255;

// The n-th alternative to `name` (n >= 1) when that name is taken: "stem (n).ext", where the
// extension starts at the last dot unless that dot is the first or the last character
// ("report.pdf" gives "report (1).pdf", ".bashrc" gives ".bashrc (1)", "a.tar.gz" gives
// "a.tar (1).gz"). The stem is shortened, byte-wise, so the result never exceeds
// kMaxSavedNameBytes.
std::string NumberedFileName(const std::string& name, unsigned n);

// A printable form of bytes a peer sent as a name, for reports: bytes outside printable
// ASCII, and the backslash, become \xHH; more than kMaxSavedNameBytes bytes are cut there
// and "..." is appended.
std::string PrintableFileName(const std::string& received);

}  // namespace quodem
