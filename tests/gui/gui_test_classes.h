// Each window test file registers its QtTest class here.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace zarnik {

using GuiTestFactory = std::function<std::unique_ptr<QObject>()>;
std::vector<GuiTestFactory>& GuiTestClasses();

template <typename T>
struct RegisterGuiTest {
  RegisterGuiTest() {
    GuiTestClasses().push_back([] { return std::make_unique<T>(); });
  }
};

inline std::vector<GuiTestFactory>& GuiTestClasses() {
  static std::vector<GuiTestFactory> classes;
  return classes;
}

}  // namespace zarnik
