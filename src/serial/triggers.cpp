#include "serial/triggers.h"

#include <algorithm>

#include "serial/serial_exceptions.h"

namespace zarnik {

size_t AdvanceMatch(std::string_view pattern, size_t matched, char c) {
  if (matched < pattern.size() && pattern[matched] == c) return matched + 1;
  // A new match of k characters: pattern[0, k-1) ends what was matched, then c.
  for (size_t k = std::min(matched, pattern.size()); k > 0; --k)
    if (pattern[k - 1] == c && pattern.substr(0, k - 1) == pattern.substr(matched - k + 1, k - 1))
      return k;
  return 0;
}

int TTriggerList::NewHandle() {
  if (lastHandle < kMaxHandleCount) return 8 * ++lastHandle;
  for (uint16_t h = 8; h <= 4096; h += 8)
    if (!HandleInUse(h)) return h;
  return ecNoMoreTriggers;
}

bool TTriggerList::HandleInUse(uint16_t base) const {
  auto same = [base](uint16_t h) { return (h & ~7u) == base; };
  return std::any_of(timers.begin(), timers.end(), [&](auto& t) { return same(t.handle); }) ||
         std::any_of(statuses.begin(), statuses.end(), [&](auto& t) { return same(t.handle); }) ||
         std::any_of(datas.begin(), datas.end(), [&](auto& t) { return same(t.handle); });
}

void TTriggerList::Clear() {
  lastHandle = 0;
  timers.clear();
  statuses.clear();
  datas.clear();
}

namespace {
template <typename T>
T* FindIn(std::vector<T>& v, uint16_t handle) {
  auto it = std::find_if(v.begin(), v.end(), [&](const T& t) { return t.handle == handle; });
  return it == v.end() ? nullptr : &*it;
}
template <typename T>
bool RemoveFrom(std::vector<T>& v, uint16_t handle) {
  auto it = std::find_if(v.begin(), v.end(), [&](const T& t) { return t.handle == handle; });
  if (it == v.end()) return false;
  v.erase(it);
  return true;
}
}  // namespace

TTimerTrigger* TTriggerList::FindTimer(uint16_t handle) { return FindIn(timers, handle); }
TStatusTrigger* TTriggerList::FindStatus(uint16_t handle) { return FindIn(statuses, handle); }
TDataTrigger* TTriggerList::FindData(uint16_t handle) { return FindIn(datas, handle); }

bool TTriggerList::Remove(uint16_t handle) {
  return RemoveFrom(timers, handle) || RemoveFrom(statuses, handle) || RemoveFrom(datas, handle);
}

}  // namespace zarnik
