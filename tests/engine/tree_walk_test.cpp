// The walk's exclude tests and log lines on a real directory tree (no files reach the block
// processing: every file of the tree is excluded).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "engine/run_pipeline.h"
#include "engine/tree_walk.h"
#include "platform/clock.h"
#include "platform/file_read.h"
#include "platform/fs.h"
#include "support/test_support.h"
#include "port/controls.h"

namespace vl {
namespace {

class TreeWalk : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    root_ = dir_ / "tree";
    ::mkdir(root_.c_str(), 0700);
    ::mkdir((root_ + "/keep").c_str(), 0700);
    ::mkdir((root_ + "/keep/.dot").c_str(), 0700);
    ::mkdir((root_ + "/cache").c_str(), 0700);
    ::mkdir((root_ + "/cache/sub").c_str(), 0700);
    test::write_file(root_ + "/cache/x.bin", "x");
    ::mkdir((root_ + "/a.tmpdir").c_str(), 0700);
    test::write_file(root_ + "/a.tmpdir/y", "y");
    test::write_file(root_ + "/Pagefile.sys.old", "p");
    ctx_.profile = std::make_unique<ProfileSettings>();
    std::string upper = root_;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    ctx_.profile->exclude_rules = {{""}, {root_ + "/cache/"}, {"*.tmp"}, {upper + "/PAGEFILE.SYS"}};
    ctx_.log = file_open(dir_ / "run.log", "w+");
  }

  std::vector<std::string> log_lines() {
    ctx_.log.reset();
    return test::read_lines(dir_ / "run.log");
  }

  static bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // The line that starts with path + " : " and ends with the kind and letters.
  static bool has_item(const std::vector<std::string>& lines, const std::string& path, const std::string& tail) {
    for (const auto& l : lines)
      if (l.rfind(path + " : ", 0) == 0 && l.size() >= tail.size() &&
          l.compare(l.size() - tail.size(), tail.size(), tail) == 0)
        return true;
    return false;
  }

  std::string root_;
  RunContext ctx_;
  RunPipeline pipe_{ctx_};  // not started: the walk's rows are written (or not) on this thread
};

TEST_F(TreeWalk, ExcludeRulesAndLines) {
  run_view_open();
  // An include rule with a final "/" is walked without it.
  EXPECT_EQ(tree_walk(ctx_, pipe_, "", root_ + "/"), 0);
  std::vector<std::string> lines = log_lines();
  EXPECT_TRUE(has_item(lines, root_, ": Dir ()"));
  EXPECT_TRUE(has_item(lines, root_ + "/keep", ": Dir ()"));
  EXPECT_TRUE(has_item(lines, root_ + "/keep/.dot", ": Dir (H)"));
  // The excluded directory is still listed, counted and followed by the exclusion, not walked.
  EXPECT_TRUE(has_item(lines, root_ + "/cache", ": Dir ()"));
  EXPECT_TRUE(has(lines, "Excluding files in this directory."));
  EXPECT_FALSE(has_item(lines, root_ + "/cache/x.bin", ")"));
  EXPECT_FALSE(has_item(lines, root_ + "/cache/sub", ")"));
  // "*.tmp" is a prefix pattern: it takes the directory a.tmpdir; the path rule ignores case and
  // takes a longer name too.
  EXPECT_TRUE(has(lines, "Excluding: " + root_ + "/a.tmpdir"));
  EXPECT_TRUE(has(lines, "Excluding: " + root_ + "/Pagefile.sys.old"));
  EXPECT_EQ(ctx_.stats.directories.load(), 4u);  // tree, keep, .dot, cache
  EXPECT_EQ(ctx_.stats.files.load(), 0u);
  EXPECT_EQ(ui_.text(kCtlDirectories), "4 ");
}

TEST_F(TreeWalk, MissingItemsDotNamesAndCancel) {
  EXPECT_EQ(tree_walk(ctx_, pipe_, root_, "nothing-here"), 0);
  EXPECT_EQ(tree_walk(ctx_, pipe_, root_, "."), 0);
  // A name longer than any file system takes is refused as too long: a warning, not "missing".
  EXPECT_EQ(tree_walk(ctx_, pipe_, root_, std::string(300, 'n')), 0);
  ctx_.cancel = 1;
  EXPECT_EQ(tree_walk(ctx_, pipe_, root_, "keep"), 1);
  std::vector<std::string> lines = log_lines();
  EXPECT_TRUE(has(lines, root_ + "/nothing-here : Doesn't exist?"));
  EXPECT_TRUE(has_item(lines, root_ + "/.", ": Dir ()"));
  EXPECT_TRUE(has(lines, "Warning: Path too long: " + root_ + "/" + std::string(300, 'n')));
  EXPECT_EQ(lines.size(), 3u) << "a '.' writes its line and nothing more; a cancelled walk writes nothing";
  EXPECT_EQ(ctx_.stats.directories.load(), 0u);
  EXPECT_EQ(ctx_.stats.warnings.load(), 2u) << "the vanished item and the long name";
}

// Each level of the walk takes a frame of the stack: a tree deep enough would crash the run. The
// limit is lowered here so that no tree thousands deep is needed.
TEST_F(TreeWalk, FoldersBeyondTheDepthLimitAreWarnedAboutNotEntered) {
  ASSERT_TRUE(dir_create_all_private(root_ + "/keep/d/d/d/d"));
  tree_walk_depth_max_set(3);
  EXPECT_EQ(tree_walk(ctx_, pipe_, root_, "keep"), 0);
  tree_walk_depth_max_set(0);
  EXPECT_TRUE(has(log_lines(), "Warning: Path too long: " + root_ + "/keep/d/d/d"));
  EXPECT_EQ(ctx_.stats.directories.load(), 5u) << "keep, .dot and d/d/d, not the fourth d";
  EXPECT_EQ(ctx_.stats.warnings.load(), 1u);
}

TEST_F(TreeWalk, DirectoryRecordCountsAndWarns) {
  EXPECT_EQ(directory_record(ctx_, pipe_.rows, root_, "/keep"), 0);
  EXPECT_EQ(directory_record(ctx_, pipe_.rows, root_, "/missing"), 0);
  EXPECT_EQ(directory_record(ctx_, pipe_.rows, root_ + "/Pagefile.sys.old", ""), 0);  // counted, not recorded
  std::vector<std::string> lines = log_lines();
  EXPECT_TRUE(has(lines, "Warning: Failed to stat directory: " + root_ + "/missing"));
  EXPECT_EQ(ctx_.stats.directories.load(), 2u);
  EXPECT_EQ(ctx_.stats.warnings.load(), 1u);
}

TEST_F(TreeWalk, SpecialItemsAreNeverOpened) {
  ::mkfifo((root_ + "/keep/fifo").c_str(), 0600);
  ::symlink("/etc/passwd", (root_ + "/keep/link").c_str());
  EXPECT_EQ(tree_walk(ctx_, pipe_, root_, "keep"), 0);  // a FIFO opened for reading would hang here
  std::vector<std::string> lines = log_lines();
  EXPECT_TRUE(has(lines, root_ + "/keep/fifo : 0 : Unknown ()"));
  EXPECT_TRUE(has_item(lines, root_ + "/keep/link", ": Unknown ()"));
  EXPECT_EQ(ctx_.stats.special_files.load(), 2u);
  EXPECT_EQ(ctx_.stats.files.load(), 0u);
}

// A folder swapped for a link after the walk listed it: neither the walk nor a read may follow
// the link out of the tree. The include rule's own path may go through a link.
TEST_F(TreeWalk, FolderSwappedForALinkIsNotFollowed) {
  ::mkdir((root_ + "/sw").c_str(), 0700);
  ::mkdir((root_ + "/sw/inner").c_str(), 0700);
  const std::string outside = dir_ / "outside";
  ::mkdir(outside.c_str(), 0700);
  ::mkdir((outside + "/inner").c_str(), 0700);
  ::mkdir((outside + "/inner/secret-dir").c_str(), 0700);
  test::write_file(outside + "/inner/secret.bin", "secret");
  // Listed in sw; its namesake outside must not be stat'ed in its place.
  test::write_file(root_ + "/sw/note", "abc");
  test::write_file(outside + "/note", std::string(12345, 'x'));
  const std::string linked = dir_ / "linked-tree";
  ::symlink(root_.c_str(), linked.c_str());
  pipe_.walk_under(linked);
  ctx_.profile->exclude_rules.push_back({"*.bin"});  // files are read below, not by the walk
  ctx_.profile->file_delay_ms = 5;
  int sleeps = 0;
  clock_sleep_observer_set([&](uint32_t) {
    if (++sleeps == 2) {  // before sw/inner is visited, sw listed already
      ::rename((root_ + "/sw").c_str(), (root_ + "/sw.old").c_str());
      ::symlink(outside.c_str(), (root_ + "/sw").c_str());
    }
  });
  EXPECT_EQ(tree_walk(ctx_, pipe_, linked, "sw"), 0);
  clock_sleep_observer_set({});
  std::vector<std::string> lines = log_lines();
  EXPECT_TRUE(has(lines, "Warning: Failed to open directory: " + linked + "/sw/inner")) << lines.size();
  for (const auto& l : lines) {
    EXPECT_EQ(l.find("secret"), std::string::npos) << l;
    EXPECT_EQ(l.find("12345"), std::string::npos) << l;
  }
  // note is stat'ed in the folder listed, and fails to open through the link; or, after inner,
  // the folder is no longer there to stat it in.
  EXPECT_EQ(ctx_.stats.warnings.load(), 2u);
  ReadFile f;
  FileStat st;
  EXPECT_NE(f.open(linked + "/sw/inner/secret.bin", &st, pipe_.base), 0);
  EXPECT_EQ(f.open(linked + "/sw/inner/secret.bin", &st), 0);  // whole, through the link
  EXPECT_EQ(file_read_at(linked + "/sw/inner/secret.bin", 0, &st, 1, pipe_.base), 0u);
  EXPECT_EQ(folder_open(linked + "/sw", pipe_.base).ok(), false);
  EXPECT_EQ(folder_open(linked + "/sw.old/inner", pipe_.base).ok(), true);
}

}  // namespace
}  // namespace vl
