// TComponent: the base of every component. A component has an owner (or none) and owns the
// components created with it as owner: they are destroyed with it. Each component class lists
// its published properties in declaration order; a host can save a component's published
// properties to text and load them back.
//
// A component with an owner must be created with new: the owner deletes it. Deleting it
// earlier is fine; it leaves its owner's list. A component and its owned components are
// used from one thread at a time (the lists are not locked).
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
  std::string type;  // "int", "unsigned long", "bool" (True/False), "string", or an event type
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
// Strings are quoted with single quotes, a quote inside doubled; control bytes (0..31, 127)
// stand outside the quotes as #NN (decimal), e.g. 'one'#13#10'two', so any byte string
// survives a round trip and a value never spans lines. An unnamed component is written
// "object TQuodem". Properties equal to their default are still written; events are not.
std::string SaveComponentProperties(const TComponent& component);
// Loads text written by SaveComponentProperties into `component`: sets the name and every
// listed property. Throws EPropertyError (naming the line) on malformed text, a class other
// than the component's, an unknown or read-only property or a value that does not parse; the
// text is checked whole before anything is set, and a value that a setter refuses puts the
// earlier values back. Lines naming an event are ignored.
void LoadComponentProperties(TComponent& component, const std::string& text);

}  // namespace quodem
