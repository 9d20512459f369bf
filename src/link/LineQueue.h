#pragma once
// A list of byte strings shared by the tick thread and the serial worker: each operation is
// atomic with respect to the other thread (one mutex), and none spans several. Entries may hold
// any byte, 0x00 included.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vk::link {

class TLineQueue {
public:
  void Add(std::string line);
  int Count() const;
  bool Empty() const { return Count() == 0; }
  // Entry 0, the oldest; "" when the list is empty.
  std::string First() const;
  // Deletes entry 0; false when the list was empty.
  bool DeleteFirst();
  void Clear();
  // Reads and deletes entry 0 in one step.
  std::optional<std::string> TakeFirst();
  std::vector<std::string> Snapshot() const;

  // Entry 0 with a number that no other entry of this list ever gets, so that a caller can
  // later delete exactly that entry and no newer one.
  std::optional<std::pair<std::uint64_t, std::string>> FirstWithId() const;
  // Deletes entry 0 if it is still the entry with that number.
  bool DeleteFirstIf(std::uint64_t id);

private:
  struct Entry {
    std::uint64_t id;
    std::string text;
  };
  mutable std::mutex mutex_;
  std::deque<Entry> entries_;
  std::uint64_t nextId_ = 1;
};

} // namespace vk::link
