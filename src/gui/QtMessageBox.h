#pragma once
// Message boxes as QMessageBox: the engine's captions, texts, buttons and icons unchanged; a
// carriage return in a text starts a new line. A box belongs to the window the user is working
// in (the active one), else to the main window once there is one; before any window it stands
// alone (the boot kernels' warnings).

#include "cpu/Kernels.h"
#include "platform/MessageBox.h"

#include <QPointer>
#include <QString>

#include <functional>

#include <string>
#include <vector>

class QWidget;

namespace vk::gui {

class QtMessageBox : public platform::IMessageBox {
public:
  platform::MsgAnswer Show(const std::string& text, const std::string& caption,
                           platform::MsgButtons buttons, platform::MsgIcon icon) override;
  platform::MsgAnswer Ask(const std::string& text, const std::string& caption,
                          platform::MsgButtons buttons, platform::MsgIcon icon,
                          platform::MsgAnswer defaultButton) override;

  void SetMainWindow(QWidget* window) { mainWindow_ = window; }
  // The text as the box shows it: "\r\n" and "\r" become line breaks; line breaks at the very
  // end would only add empty lines below the text and are left out.
  static QString DisplayText(const std::string& text);
  // The width a box keeps at least, so that its title bar shows the whole title beside the
  // frame's icon and buttons.
  static int TitleWidth(const QWidget& box);
  static constexpr int kTitleBarButtons = 120;

private:
  QWidget* Owner() const;

  QPointer<QWidget> mainWindow_;
};

// The question before quitting while a module is being programmed (No by default). It follows
// the run behind it: once busy() is false it says that the run has ended, with Yes the default.
// True: quit.
bool AskQuitWhileBusy(QWidget* parent, const QString& caption, const std::function<bool()>& busy);
inline constexpr const char* kQuitWhileBusyText = "A module is being programmed. Quit anyway?";
inline constexpr const char* kQuitAfterRunText =
    "The run has ended: nothing is being written now. Quit?";

// The start-up warnings of missing boot kernels as one box: each warning's own text, then where
// the program looked and how to point it elsewhere. No warnings: nothing to say.
struct KernelNotice {
  std::string text;
  std::string caption;
};
KernelNotice KernelWarning(const std::vector<cpu::KernelMessage>& warnings,
                           const std::vector<std::string>& folders);

} // namespace vk::gui
