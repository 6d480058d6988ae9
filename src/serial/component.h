// TComponent: the little a non-visual component needs here. It knows its owner and
// the components it owns (so that a terminal pane or a status-light controller can
// find the port among its owner's components), and whether it is being loaded from a
// stored definition, edited at design time, or destroyed. Ownership is a registry
// only: whoever creates a component deletes it.
//
// Threading: window thread only.
#pragma once

#include <vector>

namespace zarnik {

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return components_; }

  bool Loading() const { return loading_; }
  bool Designing() const { return designing_; }
  bool Destroying() const { return destroying_; }
  // Between these two the stored properties are being set; Loaded acts on them.
  void BeginLoading() { loading_ = true; }
  virtual void Loaded() { loading_ = false; }
  void SetDesigning(bool on) { designing_ = on; }

 protected:
  void BeginDestroying() { destroying_ = true; }

 private:
  TComponent* owner_;
  std::vector<TComponent*> components_;
  bool loading_ = false;
  bool designing_ = false;
  bool destroying_ = false;
};

}  // namespace zarnik
