// A catalog test's setting: a data folder with the profile list and the sample profile "daily"
// loaded for a run whose catalog id is 0x00c0ffee; store faults cleared and stores closed after.
#pragma once

#include <gtest/gtest.h>

#include "run/run_context.h"
#include "stores/catalog.h"
#include "stores/config_db.h"
#include "stores/profile_db.h"
#include "stores/store_db.h"
#include "stores/store_test_util.h"
#include "support/test_support.h"

namespace vl::test {

class CatalogFixture : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_EQ(config_open(), 0);
    ASSERT_EQ(profile_create(sample_profile("daily")), 0);
    ctx_.profile = profile_load("daily", false);
    ASSERT_NE(ctx_.profile, nullptr);
    ctx_.catalog_id = 0x00c0ffee;
  }
  void TearDown() override {
    for (StoreCall call : {StoreCall::prepare, StoreCall::step, StoreCall::exec, StoreCall::commit})
      store_fault_set(call, 0);
    catalog_close();
    config_close();
    StoreTest::TearDown();
  }
  std::string cat() const { return dir_ / "Profiles/daily/00c0ffee.cat"; }
  RunContext ctx_;
};

}  // namespace vl::test
