#pragma once
// Test double: records every box and answers from a script (then the box's default answer).

#include "platform/MessageBox.h"

#include <deque>
#include <string>
#include <vector>

namespace vk::platform {

struct RecordedBox {
  std::string text;
  std::string caption;
  MsgButtons buttons;
  MsgIcon icon;
  MsgAnswer answer;
  MsgAnswer defaultButton = MsgAnswer::Ok; // the button Enter presses
};

class RecordingMessageBox : public IMessageBox {
public:
  MsgAnswer Show(const std::string& text, const std::string& caption, MsgButtons buttons,
                 MsgIcon icon) override {
    return Ask(text, caption, buttons, icon, DefaultAnswer(buttons));
  }
  MsgAnswer Ask(const std::string& text, const std::string& caption, MsgButtons buttons,
                MsgIcon icon, MsgAnswer defaultButton) override {
    MsgAnswer answer = defaultButton;
    if (!script.empty()) {
      answer = script.front();
      script.pop_front();
    }
    boxes.push_back({text, caption, buttons, icon, answer, defaultButton});
    return answer;
  }

  std::vector<std::string> Captions() const {
    std::vector<std::string> out;
    for (const auto& b : boxes) out.push_back(b.caption);
    return out;
  }
  void Reset() { boxes.clear(); }

  std::deque<MsgAnswer> script; // answers to give, oldest first
  std::vector<RecordedBox> boxes;
};

} // namespace vk::platform
