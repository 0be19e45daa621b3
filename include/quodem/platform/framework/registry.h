// The component palette: classes registered under a palette page, queryable by the host.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quodem {

class TComponent;

// A registered component class: its name and a way to create one with an owner.
struct TComponentClass {
  std::string name;
  std::function<TComponent*(TComponent* owner)> create;
};

// Records `classes` under palette page `page` (a class registered twice on a page is kept
// once).
void RegisterComponents(const std::string& page, const std::vector<TComponentClass>& classes);
// The class names registered on `page`, in registration order (empty for an unknown page).
std::vector<std::string> RegisteredComponents(const std::string& page);
// The palette pages that hold at least one class.
std::vector<std::string> PalettePages();
// Creates a component of a registered class by name; null when no page holds it.
TComponent* CreateRegisteredComponent(const std::string& class_name, TComponent* owner);

}  // namespace quodem
