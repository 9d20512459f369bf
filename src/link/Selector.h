#pragma once
// A drop-down list as the links see it: the port selector and the two CAN selectors. The window
// puts this over its combo boxes; vkprog and the tests use ListSelector. An entry may carry a
// number (a COM entry its port number, a bit-rate entry its table index) and a hint (a COM
// entry's device).

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vk::link {

class ISelector {
public:
  virtual ~ISelector() = default;
  virtual void Clear() = 0;
  virtual void AddEntry(const std::string& text, std::optional<int> tag = std::nullopt,
                        const std::string& hint = {}) = 0;
  virtual int Count() const = 0;
  virtual std::string EntryText(int index) const = 0;
  virtual std::optional<int> EntryTag(int index) const = 0;
  virtual std::string EntryHint(int index) const = 0;
  // -1 when nothing is selected.
  virtual int CurrentIndex() const = 0;
  // Selecting from code does not call the change handler.
  virtual void SetCurrentIndex(int index) = 0;
  virtual void SetEnabled(bool on) = 0;
  virtual bool Enabled() const = 0;
  // Called when the user picks an entry.
  virtual void SetOnChange(std::function<void()> handler) = 0;
};

// A selector without a window.
class ListSelector : public ISelector {
public:
  struct Entry {
    std::string text;
    std::optional<int> tag;
    std::string hint;
  };

  void Clear() override {
    entries_.clear();
    current_ = -1;
  }
  void AddEntry(const std::string& text, std::optional<int> tag = std::nullopt,
                const std::string& hint = {}) override {
    entries_.push_back({text, tag, hint});
  }
  int Count() const override { return static_cast<int>(entries_.size()); }
  std::string EntryText(int index) const override {
    return Valid(index) ? entries_[index].text : "";
  }
  std::optional<int> EntryTag(int index) const override {
    return Valid(index) ? entries_[index].tag : std::nullopt;
  }
  std::string EntryHint(int index) const override {
    return Valid(index) ? entries_[index].hint : "";
  }
  int CurrentIndex() const override { return current_; }
  void SetCurrentIndex(int index) override { current_ = Valid(index) ? index : -1; }
  void SetEnabled(bool on) override { enabled_ = on; }
  bool Enabled() const override { return enabled_; }
  void SetOnChange(std::function<void()> handler) override { onChange_ = std::move(handler); }

  // The user picks an entry: it is selected and the change handler runs.
  void Pick(int index) {
    SetCurrentIndex(index);
    if (onChange_) onChange_();
  }
  // The index of the entry with that text, -1 when there is none.
  int Find(const std::string& text) const {
    for (int i = 0; i < Count(); ++i)
      if (entries_[i].text == text) return i;
    return -1;
  }
  const std::vector<Entry>& Entries() const { return entries_; }

private:
  bool Valid(int index) const { return index >= 0 && index < Count(); }

  std::vector<Entry> entries_;
  int current_ = -1;
  bool enabled_ = true;
  std::function<void()> onChange_;
};

} // namespace vk::link
