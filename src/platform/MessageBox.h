#pragma once
// The one way the engine speaks to the user directly: a modal message box.
// The window shows a QMessageBox, vkprog prints a line on stderr, tests record.

#include <string>

namespace vk::platform {

enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgAnswer { Ok, Cancel, Yes, No };

class IMessageBox {
public:
  virtual ~IMessageBox() = default;
  // Texts and captions are shown verbatim. Blocks until answered.
  virtual MsgAnswer Show(const std::string& text, const std::string& caption, MsgButtons buttons,
                         MsgIcon icon) = 0;
  // The same with the button that Enter presses chosen (a question whose safe answer is No);
  // a box that cannot mark one answers as Show does.
  virtual MsgAnswer Ask(const std::string& text, const std::string& caption, MsgButtons buttons,
                        MsgIcon icon, MsgAnswer defaultButton) {
    (void)defaultButton;
    return Show(text, caption, buttons, icon);
  }
};

// The answer a box gives when nobody is there to press a button: its first (default) button.
MsgAnswer DefaultAnswer(MsgButtons buttons);

} // namespace vk::platform
