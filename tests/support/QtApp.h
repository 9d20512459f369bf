#pragma once
// The application object of a test process that needs Qt's event loop: made by the first test
// that asks, whichever that is.

#include <QCoreApplication>

namespace vk::test {

inline void EnsureApp() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "vk_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
}

} // namespace vk::test
