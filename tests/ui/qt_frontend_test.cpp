// The shell falls back to the console front-end when no display can be opened: the Qt front-end
// must say so instead of letting the platform plugin end the process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "ui/qt/qt_frontend.h"

namespace vl {
namespace {

// Sets (or, with nullptr, removes) environment variables for one test, restoring them after.
class EnvOverride {
 public:
  EnvOverride(std::map<std::string, const char*> values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
      if (value)
        ::setenv(name.c_str(), value, 1);
      else
        ::unsetenv(name.c_str());
    }
  }
  ~EnvOverride() {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

bool init_with(std::map<std::string, const char*> env) {
  EnvOverride guard(std::move(env));
  static char name[] = "vornlake";
  static char* argv[] = {name, nullptr};
  int argc = 1;
  return qt_frontend_init(argc, argv);
}

TEST(QtFrontendInit, RefusedWithoutADisplay) {
  EXPECT_FALSE(init_with({{"QT_QPA_PLATFORM", nullptr}, {"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr}}));
  EXPECT_FALSE(init_with({{"QT_QPA_PLATFORM", nullptr}, {"DISPLAY", ":9871"}, {"WAYLAND_DISPLAY", nullptr}}))
      << "a local X display nobody serves";
  EXPECT_FALSE(init_with({{"QT_QPA_PLATFORM", nullptr},
                          {"DISPLAY", nullptr},
                          {"WAYLAND_DISPLAY", "no-such-wayland-socket"},
                          {"XDG_RUNTIME_DIR", "/nonexistent"}}));
  EXPECT_FALSE(init_with({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr}}))
      << "asking for X explicitly does not help without one";
}

}  // namespace
}  // namespace vl
