// TComponent: the base of every component. A component has an owner (or none) and owns the
// components created with it as owner: they are destroyed with it. Each component class lists
// its published properties in declaration order; a host can save a component's published
// properties to text and load them back.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quodem {

class TComponent;

// One published property. Events are listed too (their `type` is the event type name); they
// have no text form and are skipped by save and load.
struct TPropInfo {
  std::string name;
  std::string type;           // "int", "unsigned long", "string", or an event type name
  std::string default_value;  // text form; empty when there is no default
  bool readable = true;
  bool writable = true;
  bool is_event = false;
  std::function<std::string(const TComponent&)> get;         // text form of the value
  std::function<void(TComponent&, const std::string&)> set;  // throws EPropertyError
};

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();  // destroys the owned components, last created first

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const;
  TComponent* Components(int index) const;

  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  virtual std::string ClassName() const { return "TComponent"; }
  // Published properties in declaration order (base class first).
  virtual std::vector<TPropInfo> PublishedProperties() const { return {}; }

 private:
  void Insert(TComponent* child);
  void Remove(TComponent* child);

  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  std::string name_;
};

// Form-file-like text of a component's published, readable and writable non-event properties:
//
//   object Modem1: TQuodem
//     LineIndex = 0
//     DialString = '101'
//   end
//
// Strings are quoted with single quotes, a quote inside doubled. Properties equal to their
// default are still written.
std::string SaveComponentProperties(const TComponent& component);
// Loads text written by SaveComponentProperties into `component`: sets the name and every
// listed property. Throws EPropertyError (naming the line) on malformed text, an unknown
// property or a value that does not parse.
void LoadComponentProperties(TComponent& component, const std::string& text);

}  // namespace quodem
