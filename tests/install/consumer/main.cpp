// Creates a TQuodem from an installed Quodem and prints the lines it can use. Exits 0 when
// at least one line is listed.
#include <quodem/component/quodem.h>

#include <cstdio>

int main() {
  quodem::TQuodem modem;
  const std::vector<std::string> names = modem.LineNames();
  for (std::size_t i = 0; i < names.size(); ++i) std::printf("%zu %s\n", i, names[i].c_str());
  return names.empty() ? 1 : 0;
}
