#include "link/LineQueue.h"

namespace vk::link {

void TLineQueue::Add(std::string line) {
  std::lock_guard lock(mutex_);
  entries_.push_back({nextId_++, std::move(line)});
}

int TLineQueue::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(entries_.size());
}

std::string TLineQueue::First() const {
  std::lock_guard lock(mutex_);
  return entries_.empty() ? std::string() : entries_.front().text;
}

bool TLineQueue::DeleteFirst() {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) return false;
  entries_.pop_front();
  return true;
}

void TLineQueue::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

std::optional<std::string> TLineQueue::TakeFirst() {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) return std::nullopt;
  std::string text = std::move(entries_.front().text);
  entries_.pop_front();
  return text;
}

std::vector<std::string> TLineQueue::Snapshot() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& e : entries_) out.push_back(e.text);
  return out;
}

std::optional<std::pair<std::uint64_t, std::string>> TLineQueue::FirstWithId() const {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) return std::nullopt;
  return std::make_pair(entries_.front().id, entries_.front().text);
}

bool TLineQueue::DeleteFirstIf(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  if (entries_.empty() || entries_.front().id != id) return false;
  entries_.pop_front();
  return true;
}

} // namespace vk::link
