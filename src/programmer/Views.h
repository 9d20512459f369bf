#pragma once
// What the engine sees of the window: small interfaces for the controls it drives. The window
// implements them with Qt widgets; vkprog and the tests use the plain ones in HeadlessViews.h.

#include "protocol/ProgressView.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace vk::programmer {

// The status line: panel 0 operation text, 1 selected target, 3 hints.
class IStatusView {
public:
  virtual ~IStatusView() = default;
  virtual void SetPanelText(int panel, const std::string& text) = 0;
  virtual std::string PanelText(int panel) const = 0;
};

// A read-only text area written line by line (the log, the info memo).
class ITextView {
public:
  virtual ~ITextView() = default;
  virtual void Clear() = 0;
  virtual void AddLine(const std::string& line) = 0;
  virtual std::vector<std::string> Lines() const = 0;
};

// A drop-down list; its item index is what the engine reads (the address 0..255).
class IComboView {
public:
  virtual ~IComboView() = default;
  virtual int ItemIndex() const = 0;
  virtual void SetItemIndex(int index) = 0;
  virtual int Count() const = 0;
  virtual std::string ItemText(int index) const = 0;
  virtual void SetItems(const std::vector<std::string>& items) = 0;
};

class IButtonView {
public:
  virtual ~IButtonView() = default;
  virtual void SetEnabled(bool on) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual std::string Caption() const = 0;
  // The button's tooltip; a face without tooltips has nothing to show it on.
  virtual void SetHint(const std::string& /*hint*/) {}
};

class ICheckView {
public:
  virtual ~ICheckView() = default;
  virtual bool Checked() const = 0;
  virtual void SetChecked(bool on) = 0;
  virtual void SetEnabled(bool on) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetVisible(bool on) = 0;
  virtual bool Visible() const = 0;
};

// The target tree. Nodes carry an index into the catalogue.
class ITreeView {
public:
  virtual ~ITreeView() = default;
  using NodeId = int;
  static constexpr NodeId kNone = -1;
  virtual void Clear() = 0;
  // Adds a node under parent (kNone: top level); returns its id.
  virtual NodeId AddNode(NodeId parent, const std::string& text, int entryIndex) = 0;
  // The catalogue index of the highlighted node, or -1 when none is highlighted.
  virtual int SelectedEntry() const = 0;
  // Expands the node's parents, scrolls it into view and highlights it: the tree shows the
  // selection whether a click, a detection or a loaded file made it.
  virtual void MakeVisible(NodeId node) = 0;
};

// The Programmer page's controls, as its presenter (ProgrammerPagePresenter.h) sees them.
// Adding a control: a field here, its use in the presenter, and the line that fills it in each
// face's page (gui/Pages.cpp TProgrammerPage::Views, HeadlessViews.h HeadlessProgrammerPage).
struct ProgrammerPageViews {
  std::array<IButtonView*, 4> buttons{}; // Detect, Erase, Program, MultiProgram
  ICheckView* untyped = nullptr;         // "Allow untyped programming"
  ICheckView* startAfter = nullptr;      // "Start after programming", for targets that can
  IComboView* firstBox = nullptr;        // MultiProgram's first module
  IComboView* lastBox = nullptr;         // and its last
  ITextView* info = nullptr;             // the summary
  ITextView* log = nullptr;              // one line for every module whose run ended
  IProgressView* progress = nullptr;     // moved by the run
  std::function<void()> show;            // brings the page to the front
};

} // namespace vk::programmer
