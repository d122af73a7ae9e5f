// restore and verify: a hand-built catalog and its segments are stored through the server's
// protocol, then rebuilt and compared with the source tree; tampering on either side is caught.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "platform/fs.h"
#include "restore.h"
#include "tree_verify.h"
#include "support/refserver_process.h"
#include "support/test_support.h"
#include "wire_client.h"

namespace vl::test {
namespace {

constexpr size_t kBlock = 1048576;

const char* const kSchema[] = {
    "create table catinfo ( id integer not null primary key autoincrement, type smallint unsigned "
    "not null, misc varchar(256) not null )",
    "create unique index catinfo_type on catinfo( type )",
    "create table filespec ( id integer not null primary key autoincrement, parent_id integer "
    "unsigned not null, filename varchar(256) not null, filename_full varchar(256) not null, type "
    "integer unsigned not null, attr integer unsigned not null, mode integer unsigned not null, "
    "owner integer unsigned not null, _group integer unsigned not null, size integer unsigned not "
    "null, t_access integer unsigned not null, t_change integer unsigned not null, t_modify integer "
    "unsigned not null, t_backup_start integer unsigned not null, t_backup_end integer unsigned not "
    "null, blocksize integer unsigned not null, extra varchar(256) not null )",
    "create unique index filespec_filename_full on filespec( filename_full )",
    "create index filespec_parent_id on filespec( parent_id )",
    "create index filespec_filename on filespec( filename )",
    "create table segs ( id integer not null primary key autoincrement, filespec_id integer "
    "unsigned not null, offset integer unsigned not null, size integer unsigned not null, md5 "
    "char(32) not null )",
    "create unique index segs_filespec_offset on segs ( filespec_id, offset )",
    "create index segs_md5 on segs( md5 )",
    "create table config ( id integer not null primary key autoincrement, type varchar(256) not "
    "null, parm varchar(256) not null, parm2 varchar(256) not null)",
    "create index config_type on config( type )",
    "create table vornlake_info ( id integer not null primary key autoincrement, type integer "
    "unsigned not null, client_type integer unsigned not null, ver_major integer unsigned not null, "
    "ver_minor integer unsigned not null, ver_build integer unsigned not null )",
    "insert into vornlake_info values ( null, 129, 1, 0, 9, 1 )",
};

struct Item {
  std::string rel;  // below the source root; "" is the root itself
  int type;         // 1 directory, 2 file
  std::string content;
};

std::string pseudo_random(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    s[i] = static_cast<char>(seed >> 24);
  }
  return s;
}

void exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK)
      << sql << ": " << (err ? err : "");
  sqlite3_free(err);
}

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = tmp_ / "source";
    items_ = {
        {"", 1, ""},
        {"docs", 1, ""},
        {"docs/one.txt", 2, "the first file\n"},
        {"docs/big.bin", 2, pseudo_random(2 * kBlock + 12345, 7)},
        {"docs/zeros", 2, std::string(kBlock, '\0')},
        {"docs/nested", 1, ""},
        {"docs/nested/name with spaces", 2, "spaces"},
        {"docs/nested/.hidden", 2, "hidden"},
        {"empty.txt", 2, ""},
        {"emptydir", 1, ""},
    };
    for (const Item& it : items_) {
      if (it.type == 1) dir_create_all_private(path_of(it.rel));
      else write_file(path_of(it.rel), it.content);
    }
  }

  std::string path_of(const std::string& rel) const { return rel.empty() ? src_ : src_ + "/" + rel; }

  // Builds the catalog of items_ into a file for catalog id `cat`; `tweak` runs extra SQL.
  std::string build_catalog(uint32_t cat, const std::vector<std::string>& tweaks = {},
                            bool finished = true) {
    std::string path = tmp_ / ("catalog-" + std::to_string(++built_) + ".cat");
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    for (const char* stmt : kSchema) exec(db, stmt);
    exec(db, "insert into catinfo (type,misc) values (21," + std::to_string(cat) + ")");
    for (const Item& it : items_) {
      std::string full = path_of(it.rel);
      std::string parent = full.substr(0, full.rfind('/'));
      std::string name = full.substr(full.rfind('/') + 1);
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(db,
                         "insert into filespec( parent_id, filename, filename_full, type, attr, "
                         "mode, owner, _group, size, t_access, t_change, t_modify, t_backup_start, "
                         "t_backup_end, blocksize, extra ) values ((select coalesce(max(id),0) "
                         "from filespec where filename_full=?1),?2,?3,?4,0,0,0,0,?5,0,0,0,0,0,"
                         "1048576,'')",
                         -1, &s, nullptr);
      sqlite3_bind_text(s, 1, parent.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 3, full.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(s, 4, it.type);
      sqlite3_bind_int64(s, 5, static_cast<sqlite3_int64>(it.content.size()));
      EXPECT_EQ(sqlite3_step(s), SQLITE_DONE);
      sqlite3_finalize(s);
      int64_t id = sqlite3_last_insert_rowid(db);
      for (size_t off = 0; off < it.content.size(); off += kBlock) {
        std::string block = it.content.substr(off, kBlock);
        exec(db, "insert into segs ( filespec_id, offset, size, md5 ) values (" +
                     std::to_string(id) + "," + std::to_string(off) + "," +
                     std::to_string(block.size()) + ",'" + hex(md5(block)) + "')");
      }
    }
    for (const std::string& t : tweaks) exec(db, t);
    if (finished) exec(db, "update vornlake_info set type=128");
    sqlite3_close(db);
    return path;
  }

  // Stores every block of items_ and the catalog through the protocol, links them (except the
  // blocks named in skip_links) and finalizes catalog `cat`.
  void publish(const RefServer& srv, WireClient& c, uint32_t cat, const std::string& catalog,
               const std::vector<std::string>& skip_links = {}) {
    for (const Item& it : items_) {
      for (size_t off = 0; off < it.content.size(); off += kBlock) {
        std::string block = it.content.substr(off, kBlock);
        bool skip = std::find(skip_links.begin(), skip_links.end(), block) != skip_links.end();
        ASSERT_EQ(store_segment(c, block, skip ? cat + 1000 : cat), skip ? "link refused" : "");
      }
    }
    std::string content = read_file(catalog);
    ASSERT_EQ(store_segment(c, content, cat), "");
    c.send(finalize_message(cat, md5(content), content.size(), 6, 4));
    ASSERT_EQ(c.recv(), (Bytes{0x02, 0x24, 0x00}));
    (void)srv;
  }

  ProcessResult restore(const RefServer& srv, const std::string& cat, const std::string& out,
                        bool link_check = true) {
    std::vector<std::string> argv = {bin_path("vornlake-refserver"), "restore", "--store",
                                     srv.store(), "--catalog", cat, "--out", out};
    if (!link_check) argv.push_back("--no-link-check");
    return run_process(argv);
  }

  ProcessResult verify(const std::string& restored, const std::vector<std::string>& ignore = {}) {
    std::vector<std::string> argv = {bin_path("vornlake-refserver"), "verify", "--source", src_,
                                     "--restored", restored};
    for (const auto& i : ignore) argv.insert(argv.end(), {"--ignore", i});
    return run_process(argv);
  }

  std::string segment_file(const RefServer& srv, const std::string& content) {
    std::string h = hex(md5(content));
    return srv.store() + "/segments/" + h.substr(0, 2) + "/" + h;
  }

  TempDir tmp_;
  std::string src_;
  std::vector<Item> items_;
  int built_ = 0;
};

uint32_t login_and_alloc(WireClient& c) {
  EXPECT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  c.send(catalog_request(7));
  Bytes r = c.recv();
  return r.size() == 7 && r[2] == 0 ? le32_at(r, 3) : 0;
}

TEST_F(RestoreTest, RestoresAndVerifiesAHandBuiltCatalog) {
  RefServer srv;
  WireClient c(srv.port());
  uint32_t cat = login_and_alloc(c);
  ASSERT_NE(cat, 0u);
  publish(srv, c, cat, build_catalog(cat));

  std::string out = tmp_ / "out";
  ProcessResult r = restore(srv, "0x" + std::to_string(cat), out);  // ids below 10 read alike
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("4 directories, 6 files, " + std::to_string(3 * kBlock + 12345 + 15 + 12) +
                       " bytes, 7 segments; 0 problems"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(read_file(out + src_ + "/docs/big.bin"), items_[3].content);
  EXPECT_TRUE(file_exists(out + src_ + "/emptydir"));

  // Special items of the source are skipped and counted.
  ASSERT_EQ(::mkfifo(path_of("docs/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("one.txt", path_of("docs/link").c_str()), 0);
  ProcessResult v = verify(out);
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  EXPECT_NE(v.out.find("compared 4 directories, 6 files, " +
                       std::to_string(3 * kBlock + 12345 + 15 + 12) +
                       " bytes; 2 special items skipped; 0 differences"),
            std::string::npos)
      << v.out;
}

TEST_F(RestoreTest, TamperedSegmentInTheStoreIsDetected) {
  RefServer srv;
  WireClient c(srv.port());
  uint32_t cat = login_and_alloc(c);
  publish(srv, c, cat, build_catalog(cat));
  std::string block = items_[3].content.substr(kBlock, kBlock);
  std::string seg = segment_file(srv, block);
  std::string tampered = read_file(seg);
  tampered[4242] ^= 1;
  write_file(seg, tampered);

  std::string out = tmp_ / "out";
  ProcessResult r = restore(srv, std::to_string(cat), out);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("big.bin: segment " + hex(md5(block)) + " has the MD5"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1 problems"), std::string::npos) << r.out;
  // The damaged file is not left behind; the others are restored.
  EXPECT_FALSE(file_exists(out + src_ + "/docs/big.bin"));
  EXPECT_EQ(read_file(out + src_ + "/docs/one.txt"), "the first file\n");
  ProcessResult v = verify(out);
  EXPECT_EQ(v.status, 1);
  EXPECT_NE(v.out.find("missing in restored tree: " + src_ + "/docs/big.bin"), std::string::npos)
      << v.out;

  // A truncated segment is caught by its size.
  write_file(seg, block.substr(0, 100));
  r = restore(srv, std::to_string(cat), tmp_ / "out2");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("holds 100 bytes"), std::string::npos) << r.out;
}

TEST_F(RestoreTest, VerifyReportsEveryDifference) {
  RefServer srv;
  WireClient c(srv.port());
  uint32_t cat = login_and_alloc(c);
  publish(srv, c, cat, build_catalog(cat));
  std::string out = tmp_ / "out";
  ASSERT_EQ(restore(srv, std::to_string(cat), out).status, 0);
  std::string restored = out + src_;

  std::string big = read_file(restored + "/docs/big.bin");
  big[kBlock + 7] ^= 0x40;
  write_file(restored + "/docs/big.bin", big);
  write_file(restored + "/docs/nested/.hidden", "hidde");
  write_file(restored + "/docs/extra", "not in the source");
  ASSERT_EQ(::unlink((restored + "/docs/one.txt").c_str()), 0);
  ASSERT_EQ(::rmdir((restored + "/emptydir").c_str()), 0);
  write_file(restored + "/emptydir", "a file where a directory was");

  ProcessResult v = verify(out);
  EXPECT_EQ(v.status, 1);
  for (const std::string& expected : std::vector<std::string>{
           "content differs: " + src_ + "/docs/big.bin (first at byte " + std::to_string(kBlock + 7) +
            ")",
        "size differs: " + src_ + "/docs/nested/.hidden", "not in the source: " + src_ + "/docs/extra",
        "missing in restored tree: " + src_ + "/docs/one.txt",
        "kind differs: " + src_ + "/emptydir", "5 differences"})
    EXPECT_NE(v.out.find(expected), std::string::npos) << expected << "\n" << v.out;

  // A folder that cannot be listed, on either side, is not taken for an empty one.
  fs_fault_open_fail_add(src_ + "/docs/nested");
  fs_fault_open_fail_add(restored + "/docs");
  ref::VerifyReport report = ref::verify_trees({src_, out, {}});
  for (const std::string& expected : {"cannot list source folder " + src_ + "/docs/nested",
                                      "cannot list restored folder " + src_ + "/docs"})
    EXPECT_NE(std::find(report.differences.begin(), report.differences.end(), expected),
              report.differences.end())
        << expected;
}

TEST_F(RestoreTest, VerifyIgnoresExcludedPathsButNotTheirPresence) {
  RefServer srv;
  WireClient c(srv.port());
  uint32_t cat = login_and_alloc(c);
  // The catalog leaves out docs/nested and empty.txt, as exclude rules would.
  publish(srv, c, cat,
          build_catalog(cat, {"delete from segs where filespec_id in (select id from filespec "
                              "where filename_full like '%/nested%')",
                              "delete from filespec where filename_full like '%/nested%' or "
                              "filename_full like '%/empty.txt'"}));
  std::string out = tmp_ / "out";
  ASSERT_EQ(restore(srv, std::to_string(cat), out).status, 0);
  EXPECT_EQ(verify(out).status, 1);
  ProcessResult v = verify(out, {"docs/nested/", "./empty.txt"});
  EXPECT_EQ(v.status, 0) << v.out;
  // An ignored path that was restored all the same is a difference.
  write_file(out + src_ + "/empty.txt", "");
  v = verify(out, {"docs/nested", "empty.txt"});
  EXPECT_EQ(v.status, 1);
  EXPECT_NE(v.out.find("excluded but restored: " + src_ + "/empty.txt"), std::string::npos) << v.out;
}

TEST_F(RestoreTest, UnlinkedSegmentsFailTheLinkCheck) {
  RefServer srv;
  WireClient c(srv.port());
  uint32_t cat = login_and_alloc(c);
  publish(srv, c, cat, build_catalog(cat), {"spaces"});
  ProcessResult r = restore(srv, std::to_string(cat), tmp_ / "out");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("name with spaces: segment " + hex(md5("spaces")) +
                       " is not linked to the catalog"),
            std::string::npos)
      << r.out;
  r = restore(srv, std::to_string(cat), tmp_ / "out2", false);
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(RestoreTest, CatalogFaultsAreProblems) {
  RefServer srv;
  struct Case {
    const char* what;
    std::vector<std::string> tweaks;
    bool finished;
    const char* problem;
  } cases[] = {
      {"gap", {"update segs set offset=offset+1 where offset>0"}, true, "segment at offset 1048577"},
      {"missing last block",
       {"delete from segs where offset=2097152"},
       true,
       "segments cover 2097152 bytes of 2109497"},
      {"size too small", {"update filespec set size=3 where filename='one.txt'"}, true,
       "segments cover 15 bytes of 3"},
      {"bad digest text", {"update segs set md5=upper(md5) where size=15"}, true,
       "is not 32 hex digits"},
      {"escape", {"update filespec set filename_full=filename_full||'/../../escape' where filename='one.txt'"},
       true, "refused path"},
      {"unknown type", {"update filespec set type=3 where filename='one.txt'"}, true, "unknown type 3"},
      {"unfinished", {}, false, "not marked finished"},
      {"other id", {"update catinfo set misc='999' where type=21"}, true, "does not record its own id"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    WireClient c(srv.port());
    uint32_t cat = login_and_alloc(c);
    publish(srv, c, cat, build_catalog(cat, k.tweaks, k.finished));
    std::string out = tmp_ / (std::string("out-") + std::to_string(cat));
    ProcessResult r = restore(srv, std::to_string(cat), out);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(k.problem), std::string::npos) << r.out;
  }
  EXPECT_FALSE(file_exists(tmp_ / "escape"));
  EXPECT_FALSE(file_exists(src_ + "/escape"));

  // A link in place of a folder is refused, and nothing is removed where it leads.
  {
    WireClient c(srv.port());
    uint32_t cat = login_and_alloc(c);
    publish(srv, c, cat, build_catalog(cat));
    std::string out = tmp_ / "out-link", victim = tmp_ / "victim";
    ASSERT_TRUE(dir_create_all_private(out + src_) && dir_create_all_private(victim));
    write_file(victim + "/one.txt", "not the restore's");
    ASSERT_EQ(::symlink(victim.c_str(), (out + src_ + "/docs").c_str()), 0);
    ProcessResult r = restore(srv, std::to_string(cat), out);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("/docs exists and is not a directory"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(victim + "/one.txt"), "not the restore's");
  }

  // No finalize record, or an id never allocated.
  ProcessResult r = restore(srv, "4000", tmp_ / "none");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("has no finalize record"), std::string::npos) << r.out;
  r = restore(srv, "0", tmp_ / "none");
  EXPECT_EQ(r.status, 2);
}

TEST(RestoreTarget, PathsStayBelowTheOutputFolder) {
  struct Case {
    const char* path;
    bool ok;
    const char* target;
  } cases[] = {
      {"/home/a/b.txt", true, "/out/home/a/b.txt"},
      {"home/a", true, "/out/home/a"},
      {"/", true, "/out"},
      {"//home//./a/", true, "/out/home/a"},
      {"/home/../etc/passwd", false, ""},
      {"..", false, ""},
      {"/a/..", false, ""},
      {"/a/...", true, "/out/a/..."},
      {"/a/..b", true, "/out/a/..b"},
  };
  for (const Case& c : cases) {
    std::string target;
    EXPECT_EQ(ref::restore_target("/out", c.path, &target), c.ok) << c.path;
    if (c.ok) {
      EXPECT_EQ(target, c.target) << c.path;
    }
  }
  std::string target;
  EXPECT_FALSE(ref::restore_target("/out", std::string("/a\0b", 4), &target));
}

}  // namespace
}  // namespace vl::test
