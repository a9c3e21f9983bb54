// The hidden names of outputs in progress, kept where a signal handler (or
// a Windows console control handler) can read them without allocating or
// locking, so that a process ending on a signal can remove them. A slot is
// free (0), being filled (1), in use (2), or taken by the handler (3).
#pragma once

#include <atomic>
#include <cstddef>
#include <string_view>

namespace vellox::platform {

// Constant-initialised (declare it constinit): the 256 KiB table then lies
// in zeroed memory that no page of is touched before a merge names a file,
// rather than being cleared at every start of the process.
template <class Char>
class TemporaryNames {
 public:
  constexpr TemporaryNames() = default;

  // Returns the slot that holds `path`, or -1 when every slot is taken or
  // the path is too long (such a name is not removed on a signal).
  int Remember(std::basic_string_view<Char> path) noexcept {
    if (path.size() >= kLength) return -1;
    for (std::size_t i = 0; i < kSlots; ++i) {
      int expected = 0;
      if (!slots_[i].State.compare_exchange_strong(expected, 1)) continue;
      for (std::size_t k = 0; k < path.size(); ++k) slots_[i].Path[k] = path[k];
      slots_[i].Path[path.size()] = Char{};
      slots_[i].State.store(2);
      return static_cast<int>(i);
    }
    return -1;
  }

  void Forget(int& slot) noexcept {
    if (slot < 0) return;
    int expected = 2;
    slots_[slot].State.compare_exchange_strong(expected, 0);
    slot = -1;
  }

  // Calls `remove` (which must be async-signal-safe) on every name in use;
  // each name is handed out once.
  template <class Remove>
  void RemoveAll(Remove remove) noexcept {
    for (Slot& slot : slots_) {
      int expected = 2;
      if (slot.State.compare_exchange_strong(expected, 3)) remove(slot.Path);
    }
  }

 private:
  static constexpr std::size_t kSlots = 64;
  static constexpr std::size_t kLength = 4096;
  struct Slot {
    std::atomic<int> State{0};
    Char Path[kLength]{};
  };
  Slot slots_[kSlots];
};

}  // namespace vellox::platform
