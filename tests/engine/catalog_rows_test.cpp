// The catalog rows written by the writer thread are the rows the worker would have written itself,
// in the same order, with a refused (already recorded) file's blocks and size left out.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/catalog_rows.h"
#include "stores/catalog_fixture.h"

namespace vl::test {
namespace {

class CatalogRowsTest : public CatalogFixture {
 protected:

  // Records a folder and `files` files of two blocks each (the middle and the last a second
  // /d/f2), with a folder between every hundred, through the writer (threaded) or directly, and
  // returns the catalog's rows.
  Rows record(uint32_t catalog_id, bool threaded, int files) {
    ctx_.catalog_id = catalog_id;
    EXPECT_EQ(catalog_open(ctx_), 0);
    CatalogRows writer(ctx_);
    std::string error;
    if (threaded) {
      EXPECT_TRUE(writer.start(&error)) << error;
    }
    writer.directory("/d", FilespecRecord{1, 0x10, 040755, 1, 2, 4096, 3, 4, 5}, 1024);
    for (int i = 0; i < files; ++i) {
      if (i % 100 == 50)
        writer.directory("/d/s" + std::to_string(i), FilespecRecord{1, 0x10, 040755, 1, 2, 4096, 3, 4, 5}, 1024);
      const bool again = i == files - 1 || i == files / 2;
      const std::string path = "/d/f" + std::to_string(again ? 2 : i);
      uint32_t ticket = writer.file(path, FilespecRecord{2, 0, 0100644, 1, 2, 2048, 3, 4, 5}, 1024);
      uint8_t digest[16];
      std::memset(digest, i, sizeof digest);
      writer.block(ticket, 0, 1024, digest);
      writer.block(ticket, 1024, 1000, digest);
      writer.size(ticket, 2024);
    }
    writer.stop();
    EXPECT_TRUE(catalog_complete());
    EXPECT_EQ(catalog_close(), 0);
    std::string path = ctx_.catalog_path;
    Rows rows = sql_rows(path, "select id, parent_id, filename_full, size from filespec order by id");
    for (const auto& r : sql_rows(path, "select * from segs order by id")) rows.push_back(r);
    return rows;
  }
};

TEST_F(CatalogRowsTest, WriterThreadRecordsWhatTheWorkerWould) {
  // More rows than one queue holds, so that the worker waits for the writer along the way.
  const int files = 3000;
  Rows direct = record(1, false, files);
  Rows threaded = record(2, true, files);
  ASSERT_EQ(direct.size(), static_cast<size_t>(1 + files / 100 + 3 * (files - 2)));
  EXPECT_EQ(threaded, direct);
  EXPECT_EQ(ctx_.helper_tids[kHelperSlotCatalog], 0);
  EXPECT_TRUE(ui_.boxes().empty());
}

}  // namespace
}  // namespace vl::test
