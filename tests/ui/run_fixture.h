// A run for the UI tests: the test certificates as the installation's ca.crt, the TLS context,
// the block-hash cache, a small source tree, and the profile "daily" stored, opened and shown in
// the run dialog against a reference server.
#pragma once

#include <memory>
#include <string>

#include "qt_test_support.h"
#include "support/refserver_process.h"
#include "ui/qt/run_dialog.h"

namespace vl::test {

class RunFixture : public QtTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Stores the profile "daily" for server (its rule: the source tree), opens it for a run with
  // open_profile and shows the run dialog, which starts the worker.
  void start(const RefServer& server, const std::string& description = "Documents");
  // Stores the profile "daily" for server and loads the profile list.
  void store(const RefServer& server, const std::string& description = "Documents");

  QString text(int id) const;
  bool enabled(int id) const;
  bool finished() const;
  bool status_is(const char* s) const;

  std::string source_;
  std::unique_ptr<RunDialog> dialog_;
};

}  // namespace vl::test
