#pragma once
// The main window's companions, created at start-up and only shown and hidden: "Show Buffer",
// "Device Finder" and "Device Search Settings".

#include "app/DeviceFinder.h"

#include <QDialog>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace vk::gui {

// "Show Buffer": a hexadecimal listing of a copy of the whole image. The copy is taken by
// ShowData; the listing is made from it each time the window becomes visible.
class TShowBufferForm : public QWidget {
public:
  static constexpr int kWidth = 572, kHeight = 767;
  explicit TShowBufferForm(QWidget* parent = nullptr);

  // Takes the copy, shows the window and gives it the focus, the listing opened at the line of
  // `start` (the first loaded address). An open window keeps its listing. Esc closes it.
  void ShowData(const std::uint8_t* image, std::uint32_t start = 0);
  // "Lucida Console" 11 px where it is installed, else the system's fixed-pitch font at 11 px.
  static QFont ListingFont();

  QPlainTextEdit* Memo;
  std::array<std::uint8_t, 0x10000> ViewData;
  std::uint32_t StartAt = 0;

protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

private:
  void FormShow();
};

// "Device Finder": shown while a search runs; closing it (its Cancel button, Esc or the frame's
// close button) ends the search.
class TDevFinderForm : public QWidget, public app::IFinderView {
public:
  static constexpr int kWidth = 164, kHeight = 88;
  explicit TDevFinderForm(QWidget* mainWindow);

  void Show() override;
  void Hide() override;
  bool Visible() const override;
  void SetRateText(const std::string& text) override;
  void SetCommandText(const std::string& text) override;

  // The user closed the window.
  std::function<void()> onClosed;

  QLabel* lbTrying;  // "Trying"
  QLabel* lbRate;    // the bit rate being tried
  QLabel* lbCommand; // the command being sent ("OP n")
  QPushButton* btCancel;

protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

private:
  void PlaceLabels();
  QWidget* mainWindow_;
};

// "Device Search Settings": the last address the finder tries.
class TSearchSettingForm : public QDialog {
public:
  static constexpr int kWidth = 141, kHeight = 103;
  // The room a title bar keeps for its icon and buttons beside the title.
  static constexpr int kTitleBarButtons = 96;
  explicit TSearchSettingForm(QWidget* mainWindow);

  // Shows the dialog centred on the main window.
  void ShowSettings();
  // Called with edEndAddr's text whenever it changes.
  std::function<void(const std::string& text)> onChange;

  QLabel* lbEndAddr;
  QLineEdit* edEndAddr; // the last address tried
  QPushButton* btClose;

private:
  QWidget* mainWindow_;
};

// Centres a window on another (or on its screen when there is none).
void CentreOn(QWidget* window, const QWidget* over);

} // namespace vk::gui
