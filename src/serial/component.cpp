#include "serial/component.h"

#include <algorithm>

namespace zarnik {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  for (auto* c : components_) c->owner_ = nullptr;
  if (owner_) std::erase(owner_->components_, this);
}

}  // namespace zarnik
