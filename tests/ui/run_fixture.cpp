#include "run_fixture.h"

#include <sys/stat.h>

#include "connection/connect.h"
#include "engine/run_session.h"
#include "platform/dirs.h"
#include "engine/open_profile.h"
#include "stores/config_db.h"
#include "stores/md5cache.h"
#include "stores/profile_db.h"
#include "port/controls.h"

namespace vl::test {

void RunFixture::SetUp() {
  QtTest::SetUp();
  install_dir_set(test_certs_dir());
  ASSERT_EQ(ssl_init(), 0);
  ASSERT_EQ(md5cache_open(), 0);
  source_ = dir_ / "source";
  ::mkdir(source_.c_str(), 0700);
  ::mkdir((source_ + "/docs").c_str(), 0700);
  for (int i = 0; i < 40; ++i)
    write_file(source_ + "/docs/file" + std::to_string(i) + ".txt",
               std::string(3000 + i * 997, static_cast<char>('a' + i % 26)));
  write_file(source_ + "/big.bin", std::string(3 * 1048576 + 5, 'z'));
}

void RunFixture::TearDown() {
  dialog_.reset();
  run_context_clear(run_context());
  profile_entry_running = nullptr;
  md5cache_close();
  ssl_shutdown();
  QtTest::TearDown();
}

void RunFixture::start(const RefServer& server, const std::string& description) {
  store(server, description);
  ProfileListEntry* entry = nullptr;
  for (const auto& e : profile_list)
    if (e->tag == "daily") entry = e.get();
  ASSERT_NE(entry, nullptr);
  ASSERT_EQ(open_profile(entry), 0);
  dialog_ = std::make_unique<RunDialog>(run_context(), profile_entry_running);
  dialog_->show();
}

void RunFixture::store(const RefServer& server, const std::string& description) {
  ProfileSettings p;
  p.tag = "daily";
  p.description = description;
  p.server = "localhost";
  p.port = static_cast<uint16_t>(server.port());
  p.login = "alice";
  p.password = "secret";
  p.thread_priority = 1;
  p.tx_rate_unit = 1;
  p.rx_rate_unit = 1;
  p.include_rules = {{source_}};
  ASSERT_EQ(profile_create(p), 0);
  ASSERT_EQ(config_load_profiles(), 0);
}

QString RunFixture::text(int id) const {
  return ctl<QWidget>(dialog_.get(), id)->property("text").toString();
}
bool RunFixture::enabled(int id) const { return ctl<QWidget>(dialog_.get(), id)->isEnabled(); }
bool RunFixture::finished() const { return !run_worker_running(run_context()); }
bool RunFixture::status_is(const char* s) const { return text(kCtlStatus) == QString::fromUtf8(s); }

}  // namespace vl::test
