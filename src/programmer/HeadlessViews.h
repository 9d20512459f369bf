#pragma once
// Plain implementations of the view interfaces: the controls as data. vkprog drives the engine
// through them, and tests read back what a window would show.

#include "programmer/Views.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vk::programmer {

class HeadlessProgress : public IProgressView {
public:
  void SetRange(int min, int max) override {
    min_ = min;
    max_ = max;
    if (pos_ < min_) pos_ = min_;
    if (pos_ > max_) pos_ = max_;
  }
  int Min() const override { return min_; }
  int Max() const override { return max_; }
  int Position() const override { return pos_; }
  void SetPosition(int p) override {
    pos_ = p < min_ ? min_ : (p > max_ ? max_ : p);
    if (onChange) onChange(pos_);
  }
  std::function<void(int)> onChange;

private:
  int min_ = 0, max_ = 100, pos_ = 0;
};

class HeadlessStatus : public IStatusView {
public:
  void SetPanelText(int panel, const std::string& text) override {
    panels_[panel] = text;
    history.push_back({panel, text});
    if (onChange) onChange(panel, text);
  }
  std::string PanelText(int panel) const override {
    auto it = panels_.find(panel);
    return it == panels_.end() ? std::string() : it->second;
  }
  // Every text written, in order, with its panel.
  std::vector<std::pair<int, std::string>> history;
  std::function<void(int, const std::string&)> onChange;

private:
  std::map<int, std::string> panels_;
};

class HeadlessText : public ITextView {
public:
  void Clear() override { lines_.clear(); }
  void AddLine(const std::string& line) override {
    lines_.push_back(line);
    if (onAdd) onAdd(line);
  }
  std::vector<std::string> Lines() const override { return lines_; }
  std::function<void(const std::string&)> onAdd;

private:
  std::vector<std::string> lines_;
};

class HeadlessCombo : public IComboView {
public:
  HeadlessCombo() = default;
  explicit HeadlessCombo(std::vector<std::string> items)
      : items_(std::move(items)), index_(items_.empty() ? -1 : 0) {}
  int ItemIndex() const override { return index_; }
  void SetItemIndex(int i) override { index_ = (i >= 0 && i < Count()) ? i : -1; }
  int Count() const override { return static_cast<int>(items_.size()); }
  std::string ItemText(int i) const override {
    return (i >= 0 && i < Count()) ? items_[static_cast<std::size_t>(i)] : std::string();
  }
  void SetItems(const std::vector<std::string>& items) override {
    items_ = items;
    index_ = -1;
  }

private:
  std::vector<std::string> items_;
  int index_ = -1;
};

class HeadlessButton : public IButtonView {
public:
  void SetEnabled(bool on) override { enabled_ = on; }
  bool Enabled() const override { return enabled_; }
  void SetCaption(const std::string& c) override { caption_ = c; }
  std::string Caption() const override { return caption_; }

private:
  bool enabled_ = true;
  std::string caption_;
};

class HeadlessCheck : public ICheckView {
public:
  bool Checked() const override { return checked_; }
  void SetChecked(bool on) override { checked_ = on; }
  void SetEnabled(bool on) override { enabled_ = on; }
  bool Enabled() const override { return enabled_; }
  void SetVisible(bool on) override { visible_ = on; }
  bool Visible() const override { return visible_; }

private:
  bool checked_ = false, enabled_ = false, visible_ = false;
};

class HeadlessTree : public ITreeView {
public:
  struct Node {
    NodeId parent;
    std::string text;
    int entry;
  };
  void Clear() override {
    nodes.clear();
    selected = kNone;
  }
  NodeId AddNode(NodeId parent, const std::string& text, int entryIndex) override {
    nodes.push_back({parent, text, entryIndex});
    return static_cast<NodeId>(nodes.size() - 1);
  }
  int SelectedEntry() const override {
    return selected >= 0 && selected < static_cast<NodeId>(nodes.size())
               ? nodes[static_cast<std::size_t>(selected)].entry
               : -1;
  }
  void MakeVisible(NodeId node) override { lastMadeVisible = selected = node; }
  // Highlights the first node with this text; false when there is none.
  bool Highlight(const std::string& text) {
    for (std::size_t i = 0; i < nodes.size(); ++i)
      if (nodes[i].text == text) {
        selected = static_cast<NodeId>(i);
        return true;
      }
    return false;
  }

  std::vector<Node> nodes;
  NodeId selected = kNone;
  NodeId lastMadeVisible = kNone;
};

// The Programmer page without a window.
struct HeadlessProgrammerPage {
  ProgrammerPageViews ProgrammerViews() {
    ProgrammerPageViews v;
    v.buttons = {&buttons[0], &buttons[1], &buttons[2], &buttons[3]};
    v.untyped = &untyped;
    v.startAfter = &startAfter;
    v.firstBox = &firstBox;
    v.lastBox = &lastBox;
    v.info = &info;
    v.log = &log;
    v.progress = &progress;
    return v;
  }

  HeadlessButton buttons[4];
  HeadlessCheck untyped;
  HeadlessCheck startAfter;
  HeadlessCombo firstBox, lastBox;
  HeadlessText info, log;
  HeadlessProgress progress;
};

// "0" .. "255": the address selector's items.
inline std::vector<std::string> AddressItems() {
  std::vector<std::string> items;
  for (int i = 0; i < 256; ++i) items.push_back(std::to_string(i));
  return items;
}

} // namespace vk::programmer
