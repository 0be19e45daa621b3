// The component palette: registered classes by page.
#include "quodem/platform/framework/registry.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace quodem {

namespace {

struct Palette {
  struct Page {
    std::string name;
    std::vector<TComponentClass> classes;
  };
  std::mutex lock;
  std::vector<Page> pages;  // in order of first registration

  static Palette& Instance() {
    static Palette palette;
    return palette;
  }
};

}  // namespace

void RegisterComponents(const std::string& page, const std::vector<TComponentClass>& classes) {
  for (const TComponentClass& c : classes) {
    if (c.name.empty() || !c.create) {
      throw std::invalid_argument("RegisterComponents: a class needs a name and a constructor");
    }
  }
  if (classes.empty()) return;
  Palette& palette = Palette::Instance();
  std::lock_guard<std::mutex> guard(palette.lock);
  auto it = std::find_if(palette.pages.begin(), palette.pages.end(),
                         [&](const Palette::Page& p) { return p.name == page; });
  if (it == palette.pages.end()) {
    palette.pages.push_back({page, {}});
    it = palette.pages.end() - 1;
  }
  for (const TComponentClass& c : classes) {
    bool known = std::any_of(it->classes.begin(), it->classes.end(),
                             [&](const TComponentClass& k) { return k.name == c.name; });
    if (!known) it->classes.push_back(c);  // the first registration of a name stays
  }
}

std::vector<std::string> RegisteredComponents(const std::string& page) {
  Palette& palette = Palette::Instance();
  std::lock_guard<std::mutex> guard(palette.lock);
  std::vector<std::string> names;
  for (const Palette::Page& p : palette.pages) {
    if (p.name != page) continue;
    for (const TComponentClass& c : p.classes) names.push_back(c.name);
  }
  return names;
}

std::vector<std::string> PalettePages() {
  Palette& palette = Palette::Instance();
  std::lock_guard<std::mutex> guard(palette.lock);
  std::vector<std::string> pages;
  for (const Palette::Page& p : palette.pages) pages.push_back(p.name);
  return pages;
}

TComponent* CreateRegisteredComponent(const std::string& class_name, TComponent* owner) {
  std::function<TComponent*(TComponent*)> create;
  {
    Palette& palette = Palette::Instance();
    std::lock_guard<std::mutex> guard(palette.lock);
    for (const Palette::Page& p : palette.pages) {
      for (const TComponentClass& c : p.classes) {
        if (c.name == class_name) {
          create = c.create;
          break;
        }
      }
      if (create) break;
    }
  }
  // Constructed outside the lock: a constructor may itself look at the palette.
  return create ? create(owner) : nullptr;
}

}  // namespace quodem
