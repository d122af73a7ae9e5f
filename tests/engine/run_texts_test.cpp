// Texts the engine writes: block progress and walk lines.
#include <gtest/gtest.h>

#include "engine/file_process.h"
#include "engine/tree_walk.h"
#include "platform/dirs.h"
#include "platform/fs.h"
#include "support/test_support.h"
#include "port/controls.h"

namespace vl {
namespace {

using test::StoreTest;

class RunTexts : public StoreTest {};

TEST_F(RunTexts, BlockProgressOfAFiveBlockFile) {
  run_view_open();
  BlockProgress progress{5};
  std::vector<std::string> shown;
  for (uint32_t k = 0; k < 5; ++k) {
    progress.show(k);
    shown.push_back(ui_.text(kCtlBlockText));
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"Block 0 of 5 (0%)", "Block 1 of 5 (20%)",
                                             "Block 2 of 5 (40%)", "Block 3 of 5 (60%)",
                                             "Block 4 of 5 (80%)"}));
  EXPECT_EQ(ui_.progress_pos(kCtlFileProgress), 4u);
  EXPECT_EQ(block_progress_text(0, 0, 0), "Block 0 of 0 (0%)");
}

TEST_F(RunTexts, BlockProgressOfThreeBlocksTruncates) {
  run_view_open();
  BlockProgress progress{3};
  progress.show(0);
  progress.show(1);
  EXPECT_EQ(ui_.text(kCtlBlockText), "Block 1 of 3 (33%)");
  progress.show(2);
  EXPECT_EQ(ui_.text(kCtlBlockText), "Block 2 of 3 (66%)");
}

TEST_F(RunTexts, WalkLines) {
  EXPECT_EQ(walk_item_text("/data/", "sub", 4096, kAttrDirectory | kAttrHidden, false),
            "/data/sub : 4096 : Dir (H)");
  EXPECT_EQ(walk_item_text("/data/", "a.txt", 5000000000ULL, kAttrArchive | kAttrReadOnly, false),
            "/data/a.txt : 5000000000 : File (AR)");
  EXPECT_EQ(walk_item_text("/data/", "fifo", 0, 0, true), "/data/fifo : 0 : Unknown ()");
}

TEST_F(RunTexts, FileStatusShowSplitsAtTheLastSlash) {
  run_view_open();
  file_status_show("/data/dir/a.bin", 1234567);
  EXPECT_EQ(ui_.text(kCtlDirectory), "/data/dir/");
  EXPECT_EQ(ui_.text(kCtlFilename), "a.bin");
  EXPECT_EQ(ui_.text(kCtlSize), "1,234,567 ");
  EXPECT_EQ(ui_.text(kCtlSent), "0 ");
  file_status_show("plain", 0);
  EXPECT_EQ(ui_.text(kCtlDirectory), "");
  EXPECT_EQ(ui_.text(kCtlFilename), "plain");
  EXPECT_EQ(ui_.text(kCtlSize), "");
  EXPECT_EQ(ui_.text(kCtlBlockText), "Block 0 of 0 (0%)");
  EXPECT_EQ(ui_.progress_high(kCtlFileProgress), 1u);
}

TEST_F(RunTexts, NothingIsShownWithoutARunDialog) {
  file_status_show("/data/x", 10);
  files_show(3);
  EXPECT_TRUE(ui_.texts(kCtlFilename).empty());
  EXPECT_TRUE(ui_.texts(kCtlFiles).empty());
}

}  // namespace
}  // namespace vl
