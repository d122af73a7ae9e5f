// The reference server's protocol, driven over real TLS by the test client: login, identifiers,
// segment query/upload/link, finalize, and what it refuses.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/fs.h"
#include "platform/worker_thread.h"
#include "segment_writer.h"
#include "upload.h"
#include "support/refserver_process.h"
#include "support/test_support.h"
#include "wire_client.h"

namespace vl::test {
namespace {

std::string segment_file(const RefServer& srv, const std::string& content) {
  std::string h = hex(md5(content));
  return srv.store() + "/segments/" + h.substr(0, 2) + "/" + h;
}

// Uploads left unfinished in the store's segment folders.
size_t uploads_left(const RefServer& srv) {
  size_t n = 0;
  DirReader folders(srv.store() + "/segments");
  std::string folder, name;
  while (folders.next(&folder)) {
    if (folder == "." || folder == "..") continue;
    DirReader r(srv.store() + "/segments/" + folder);
    while (r.next(&name)) n += name.rfind(".upload-", 0) == 0;
  }
  return n;
}

uint32_t alloc_catalog(WireClient& c, uint32_t profile = 7) {
  c.send(catalog_request(profile));
  Bytes r = c.recv();
  if (r.size() != 7 || r[0] != 0x02 || r[1] != 0x22 || r[2] != 0x00) return 0;
  return le32_at(r, 3);
}

TEST(RefServerLogin, AcceptsTheAccountAndRefusesOthers) {
  RefServer srv({"--account", "alice:secret", "--account", "bob:pa:ss"});
  {
    WireClient c(srv.port());
    ASSERT_TRUE(c.connected());
    Bytes greeting = c.recv();
    ASSERT_GE(greeting.size(), 10u);
    EXPECT_EQ(greeting[0], 0x00);
    EXPECT_EQ(greeting[1], 0x00);
    c.send(login_message("alice", "secret"));
    EXPECT_EQ(c.recv(), (Bytes{0x00, 0x09, 0x00}));
  }
  {
    WireClient c(srv.port());
    EXPECT_EQ(c.greet_and_login("bob", "pa:ss"), (Bytes{0x00, 0x09, 0x00}));
  }
  for (auto [user, password] : {std::pair{"alice", "Secret"}, std::pair{"alice", ""},
                                std::pair{"mallory", "secret"}, std::pair{"alice", "secret "}}) {
    WireClient c(srv.port());
    EXPECT_EQ(c.greet_and_login(user, password), (Bytes{0x00, 0x09, 0xFF})) << user << password;
    EXPECT_TRUE(c.wait_closed());
  }
}

TEST(RefServerLogin, LoginOfThirtyTwoCharacters) {
  std::string login(32, 'l'), password(32, 'p');
  RefServer srv({"--account", login + ":" + password});
  WireClient c(srv.port());
  EXPECT_EQ(c.greet_and_login(login, password), (Bytes{0x00, 0x09, 0x00}));
  // A 33rd character would overwrite the field's terminating NUL: the server refuses the message.
  WireClient d(srv.port());
  d.recv();
  Bytes m = login_message(login, password);
  m[42] = 'x';
  d.send(m);
  EXPECT_TRUE(d.wait_closed());
}

TEST(RefServerLogin, RequestsBeforeLoginAndMalformedLoginsCloseTheConnection) {
  RefServer srv;
  std::vector<Bytes> bad = {
      profile_request("daily"),
      catalog_request(7),
      query_message(md5("x"), 1),
  };
  Bytes short_login = login_message("alice", "secret");
  short_login.pop_back();
  bad.push_back(short_login);
  Bytes wrong_fixed = login_message("alice", "secret");
  wrong_fixed[6] = 0x08;
  bad.push_back(wrong_fixed);
  Bytes junk_after_nul = login_message("alice", "secret");
  junk_after_nul[20] = 'z';
  bad.push_back(junk_after_nul);
  for (const Bytes& m : bad) {
    WireClient c(srv.port());
    c.recv();
    c.send(m);
    std::vector<Bytes> replies;
    EXPECT_TRUE(c.wait_closed(10000, &replies));
    EXPECT_TRUE(replies.empty());
  }
}

TEST(RefServerIds, ProfileIdForKnownAndUnknownTags) {
  RefServer srv({"--profile", "daily:7", "--profile", "a:b:4294967295"});
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  c.send(profile_request("daily"));
  Bytes r = c.recv();
  ASSERT_EQ(r.size(), 138u);
  EXPECT_EQ(r[0], 0x01);
  EXPECT_EQ(r[1], 0x10);
  EXPECT_EQ(le32_at(r, 2), 7u);
  c.send(profile_request("a:b"));
  r = c.recv();
  ASSERT_EQ(r.size(), 138u);
  EXPECT_EQ(le32_at(r, 2), 0xFFFFFFFFu);
  for (const char* unknown : {"Daily", "", "daily "}) {
    c.send(profile_request(unknown));
    EXPECT_EQ(c.recv(), (Bytes{0x01, 0x11})) << unknown;
  }
  // A tag without its NUL is malformed.
  Bytes m = profile_request("daily");
  m.pop_back();
  c.send(m);
  EXPECT_TRUE(c.wait_closed());
}

TEST(RefServerIds, CatalogIdsPersistAcrossRestarts) {
  TempDir store;
  {
    RefServer srv({}, store.path());
    WireClient c(srv.port());
    ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    EXPECT_EQ(alloc_catalog(c), 1u);
    EXPECT_EQ(alloc_catalog(c), 2u);
    WireClient d(srv.port());
    ASSERT_EQ(d.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    EXPECT_EQ(alloc_catalog(d), 3u);
    EXPECT_EQ(srv.stop(), 0);
  }
  {
    RefServer srv({}, store.path());
    WireClient c(srv.port());
    ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    EXPECT_EQ(alloc_catalog(c), 4u);
    // A profile id the server never gave out gets no catalog.
    c.send(catalog_request(8));
    Bytes r = c.recv();
    ASSERT_EQ(r.size(), 7u);
    EXPECT_NE(r[2], 0x00);
  }
  // Even without its counter file, the store never hands out an id twice.
  ASSERT_EQ(::unlink((store.path() + "/next_catalog_id").c_str()), 0);
  RefServer srv({}, store.path());
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  EXPECT_EQ(alloc_catalog(c), 5u);
}

TEST(RefServerSegments, StoresUploadsLinksAndFinalizeAsSent) {
  RefServer srv;
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  uint32_t cat = alloc_catalog(c);
  ASSERT_NE(cat, 0u);

  std::string zeros(5 << 20, '\0');  // shrinks: sent compressed; written as it comes
  std::string noise;                 // does not shrink: sent raw
  uint32_t x = 12345;
  for (int i = 0; i < 10000; ++i) {
    x = x * 1103515245 + 12345;
    noise.push_back(static_cast<char>(x >> 16));
  }
  std::string empty;
  for (const std::string* content : {&zeros, &noise, &empty}) {
    // A file under the segment's name that this server did not put there (another server on the
    // store, since this one opened it) is not counted as held, and the upload replaces it.
    ASSERT_TRUE(dir_create_all_private(srv.store() + "/segments/" + hex(md5(*content)).substr(0, 2)));
    write_file(segment_file(srv, *content), "stale");
    c.send(query_message(md5(*content), static_cast<uint32_t>(content->size())));
    EXPECT_EQ(c.recv(), (Bytes{0x80, 0x01, 0x00}));
    EXPECT_EQ(store_segment(c, *content, cat), "");
    c.send(query_message(md5(*content), static_cast<uint32_t>(content->size())));
    EXPECT_EQ(c.recv(), (Bytes{0x80, 0x01, 0xFF}));
  }
  EXPECT_EQ(deflate9(noise).size() > noise.size(), true);

  // Already held: the upload header is answered 0xFF and no data is expected.
  c.send(upload_header(md5(noise), 10000, 0, 0, 10000));
  Bytes h = c.recv();
  ASSERT_EQ(h.size(), 7u);
  EXPECT_EQ(h[6], 0xFF);
  // The same digest with a different size is not the held segment.
  c.send(query_message(md5(noise), 9999));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x01, 0x00}));

  // Links: held segments only, to allocated catalogs only.
  c.send(link_message(md5("never uploaded"), cat));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x1F, 0x01}));
  c.send(link_message(md5(zeros), cat + 100));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x1F, 0x01}));
  std::string cat_dir = srv.store() + "/catalogs/0000000" + std::to_string(cat);
  EXPECT_EQ(read_lines(cat_dir + "/links"),
            (std::vector<std::string>{hex(md5(zeros)), hex(md5(noise)), hex(md5(empty))}));

  // A finalize whose catalog segment is not in the store, or not of the size it says, is refused.
  for (const Bytes& bad : {finalize_message(cat, md5("never uploaded"), 14, 3, 1),
                           finalize_message(cat, md5(zeros), zeros.size() + 1, 3, 1)}) {
    c.send(bad);
    EXPECT_EQ(c.recv(), (Bytes{0x02, 0x24, 0x02}));
  }
  EXPECT_FALSE(file_exists(cat_dir + "/finalize"));
  Bytes fin = finalize_message(cat, md5(zeros), zeros.size(), 3, 1);
  c.send(fin);
  EXPECT_EQ(c.recv(), (Bytes{0x02, 0x24, 0x00}));
  EXPECT_EQ(read_file(cat_dir + "/finalize"), std::string(fin.begin(), fin.end()));
  for (const std::string* content : {&zeros, &noise, &empty})  // written before the finalize
    EXPECT_EQ(read_file(segment_file(srv, *content)), *content);
  c.send(finalize_message(cat + 100, md5(zeros), zeros.size(), 3, 1));
  EXPECT_EQ(c.recv(), (Bytes{0x02, 0x24, 0x01}));

  c.send(kGoodbye);
  EXPECT_TRUE(c.wait_closed());
  EXPECT_EQ(uploads_left(srv), 0u);

  struct stat st;
  ASSERT_EQ(::stat(segment_file(srv, zeros).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Segments are synced in groups: the mark of an unsynced group stands from the first segment put
// in place until a sync, which comes before a finalize is answered; --no-fsync syncs nothing.
TEST(RefServerSegments, FinalizeSyncsTheWaitingSegmentsFirst) {
  for (bool sync : {true, false}) {
    RefServer srv(sync ? std::vector<std::string>{} : std::vector<std::string>{"--no-fsync"});
    std::string mark = srv.store() + "/unsynced";
    WireClient c(srv.port());
    ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    uint32_t cat = alloc_catalog(c);
    EXPECT_FALSE(file_exists(mark));
    ASSERT_EQ(store_segment(c, "a block", cat), "");
    ASSERT_TRUE(file_appears(segment_file(srv, "a block")));
    EXPECT_EQ(file_exists(mark), sync);
    c.send(finalize_message(cat, md5("a block"), 7, 1, 0));
    EXPECT_EQ(c.recv(), (Bytes{0x02, 0x24, 0x00}));
    EXPECT_FALSE(file_exists(mark));
  }
}

// An upload is answered before its content is written to the store; when that write fails, no
// finalize is accepted any more, since a catalog may link the segment.
TEST(RefServerSegments, AnsweredUploadThatCannotBeWrittenRefusesEveryFinalize) {
  RefServer srv;
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  uint32_t cat = alloc_catalog(c);
  std::string folder = segment_file(srv, "a block");
  folder.resize(folder.rfind('/'));
  write_file(folder, "not a folder");  // where the segment's folder should be
  store_segment(c, "a block", cat);  // its link may still count it as held
  c.send(finalize_message(cat, md5("a block"), 7, 1, 0));
  EXPECT_EQ(c.recv(), (Bytes{0x02, 0x24, 0x02}));
  EXPECT_NE(srv.stderr_text().find("answered as stored, was lost"), std::string::npos);

  WireClient d(srv.port());
  ASSERT_EQ(d.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  d.send(finalize_message(cat, md5("a block"), 7, 1, 0));
  EXPECT_EQ(d.recv(), (Bytes{0x02, 0x24, 0x02}));
}

// A writer whose thread cannot be started writes each segment itself; one whose thread fails
// refuses every finalize after it.
TEST(RefServerSegments, SegmentWriterWithoutItsThreadOrWithAFailedOne) {
  for (WorkerFault fault : {WorkerFault::start, WorkerFault::alloc}) {
    TempDir dir;
    ref::Store store;
    std::string error;
    uint32_t cat = 0;
    ASSERT_TRUE(store.open(dir.path(), &error) && store.catalog_alloc(&cat)) << error;
    worker_fault_set("segment writer", fault);
    ref::SegmentWriter writer(store);
    writer.put(md5("ab"), {'a', 'b'});
    writer.wait_written();
    worker_fault_set("segment writer", WorkerFault::none);
    EXPECT_FALSE(writer.queued(md5("ab")));
    EXPECT_EQ(store.finalize_write(cat, finalize_message(cat, md5("ab"), 2, 1, 0).data()),
              fault == WorkerFault::start && store.has_segment(md5("ab"), 2));
    if (fault == WorkerFault::start) {
      // A second upload of a held segment (two sessions racing) leaves the file in place alone.
      struct stat before, after;
      ASSERT_EQ(::stat(store.segment_path(md5("ab")).c_str(), &before), 0);
      writer.put(md5("ab"), {'a', 'b'});
      ASSERT_EQ(::stat(store.segment_path(md5("ab")).c_str(), &after), 0);
      EXPECT_EQ(after.st_ino, before.st_ino);
    }
  }
}

// After a crash with a group unsynced, a segment left short under its name must not count as held;
// an upload the crash cut off is removed.
TEST(RefServerSegments, StartAfterACrashRemovesDamagedSegmentsOfTheUnsyncedGroup) {
  TempDir store;
  std::string good = "kept as it is", torn = "left short by the crash";
  auto seg = [&store](const std::string& content) {
    std::string h = hex(md5(content));
    EXPECT_TRUE(dir_create_all_private(store / "segments/" + h.substr(0, 2)));
    return store / "segments/" + h.substr(0, 2) + "/" + h;
  };
  write_file(store / "unsynced", "");
  write_file(seg(good), good);
  write_file(seg(torn), torn.substr(0, 4));
  std::string upload = seg(good);
  upload.replace(upload.rfind('/') + 1, std::string::npos, ".upload-3");
  write_file(upload, "cut off");
  RefServer srv({}, store.path());
  EXPECT_FALSE(file_exists(upload));
  EXPECT_EQ(read_file(seg(good)), good);
  EXPECT_FALSE(file_exists(seg(torn)));
  EXPECT_FALSE(file_exists(store / "unsynced"));
  EXPECT_NE(srv.stderr_text().find(hex(md5(torn))), std::string::npos);
  // What the store held when the server started is held; what the check removed is not.
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  c.send(query_message(md5(good), static_cast<uint32_t>(good.size())));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x01, 0xFF}));
  c.send(query_message(md5(torn), static_cast<uint32_t>(torn.size())));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x01, 0x00}));
}

// A server killed while answered uploads were still queued: after the restart those segments are
// not held, a link to one is refused, and the finalize of the catalog that linked them (from any
// session) is refused until each is in the store again.
TEST(RefServerSegments, FinalizeAfterACrashNeedsEveryLinkedSegmentInTheStore) {
  TempDir store;
  std::string a = "queued when the server died", b = "linked from a second session";
  auto in_store = [&store](const std::string& content) {
    std::string h = hex(md5(content));
    return file_exists(store / "segments/" + h.substr(0, 2) + "/" + h);
  };
  uint32_t cat = 0;
  {
    RefServer srv({"--lazy-writer"}, store.path());
    WireClient c(srv.port()), d(srv.port());
    ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    ASSERT_EQ(d.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    cat = alloc_catalog(c);
    ASSERT_EQ(store_segment(c, a, cat), "");
    ASSERT_EQ(store_segment(c, b, cat), "");
    d.send(link_message(md5(b), cat));
    EXPECT_EQ(d.recv(), (Bytes{0x80, 0x1F, 0x00}));
    ASSERT_TRUE(srv.crash());
  }
  EXPECT_FALSE(in_store(a) || in_store(b));
  const std::string links = store / "catalogs/00000001/links";
  write_file(links, read_file(links) + "0123");  // an append the kill cut short
  RefServer srv({}, store.path());
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  c.send(query_message(md5(a), static_cast<uint32_t>(a.size())));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x01, 0x00}));
  c.send(link_message(md5(a), cat));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x1F, 0x01}));
  Bytes fin = finalize_message(cat, md5(a), a.size(), 2, 0);
  for (const std::string* upload : {&a, &b, static_cast<std::string*>(nullptr)}) {
    c.send(fin);
    EXPECT_EQ(c.recv(), (Bytes{0x02, 0x24, static_cast<uint8_t>(upload ? 0x02 : 0x00)}));
    if (upload) {
      EXPECT_EQ(store_segment(c, *upload, cat), "");
    }
  }
  EXPECT_TRUE(read_file(links).ends_with("0123\n" + hex(md5(a)) + "\n" + hex(md5(b)) + "\n"));
}

// Links wait in memory until their answers leave; one that then cannot be written was answered as
// recorded, so the catalog must never be finalized, not even after a restart.
TEST(RefServerSegments, AnsweredLinkThatCannotBeWrittenRefusesTheFinalize) {
  TempDir store;
  uint32_t cat = 0;
  std::string links;
  {
    RefServer srv({}, store.path());
    WireClient c(srv.port());
    ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    cat = alloc_catalog(c);
    char id[16];
    std::snprintf(id, sizeof id, "%08x", cat);
    links = store / "catalogs/" + id + "/links";
    ASSERT_EQ(::symlink("/dev/full", links.c_str()), 0);
    store_segment(c, "a block", cat);
    c.send(finalize_message(cat, md5("a block"), 7, 1, 0));
    EXPECT_EQ(c.recv(), (Bytes{0x02, 0x24, 0x02}));
    EXPECT_NE(srv.stderr_text().find("answered as recorded, were lost"), std::string::npos);
  }
  ASSERT_EQ(::unlink(links.c_str()), 0);
  write_file(links, "");  // as the lost writes left it
  RefServer srv({}, store.path());
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  c.send(finalize_message(cat, md5("a block"), 7, 1, 0));
  EXPECT_EQ(c.recv(), (Bytes{0x02, 0x24, 0x02}));
}

// Sends a prepared upload and expects the server to drop the connection without storing it.
void expect_rejected(const RefServer& srv, const Bytes& header, const std::string& payload,
                     const std::string& content, const char* what) {
  SCOPED_TRACE(what);
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  c.send(header);
  std::vector<Bytes> replies;
  Bytes h = c.recv();
  if (h.size() == 7) {
    EXPECT_EQ(h[6], 0x00);
    for (const Bytes& m : data_messages(payload)) c.send(m);
  } else {
    EXPECT_TRUE(c.closed());
  }
  EXPECT_TRUE(c.wait_closed(10000, &replies));
  EXPECT_TRUE(replies.empty());
  EXPECT_FALSE(file_exists(segment_file(srv, content)));
  EXPECT_EQ(uploads_left(srv), 0u);
}

// Once for a content held in memory until it is stored, once for one kept in a temp file (digested
// and written by a thread of its own).
TEST(RefServerSegments, BadUploadsAreDroppedAndNotStored) {
  for (size_t length : {size_t{50000}, size_t{vl::ref::kHeldInMemoryMax} + 50000}) {
    SCOPED_TRACE(length);
    RefServer srv;
    std::string content(length, 'a');
    for (size_t i = 0; i < content.size(); i += 7) content[i] = static_cast<char>('a' + i % 26);
    std::string packed = deflate9(content);
    uint32_t size = static_cast<uint32_t>(content.size());
    uint32_t plen = static_cast<uint32_t>(packed.size());
    Md5Digest d = md5(content);
    Md5Digest wrong = md5(content + "!");

    expect_rejected(srv, upload_header(wrong, size, 1, 9, plen), packed, content, "wrong md5");
    expect_rejected(srv, upload_header(wrong, size, 0, 0, size), content, content, "raw wrong md5");
    expect_rejected(srv, upload_header(d, size + 1, 1, 9, plen), packed, content,
                    "inflates short of the size");
    expect_rejected(srv, upload_header(d, size - 1, 1, 9, plen), packed, content,
                    "inflates beyond the size");
    expect_rejected(srv, upload_header(d, size, 1, 9, plen - 10),
                    packed.substr(0, packed.size() - 10) + std::string(10, '\0'), content,
                    "payload length not the stream's");
    expect_rejected(srv, upload_header(d, size, 1, 9, plen + 4), packed + "tail", content,
                    "bytes after the stream");
    expect_rejected(srv, upload_header(d, size, 1, 9, plen), content.substr(0, plen), content,
                    "not a zlib stream");
    expect_rejected(srv, upload_header(d, size, 0, 0, size - 1), content, content,
                    "raw payload length not the size");
    expect_rejected(srv, upload_header(d, size, 1, 0, plen), packed, content, "level 0 compressed");
    expect_rejected(srv, upload_header(d, size, 2, 9, plen), packed, content, "flag 2");

    // More payload in a message than announced.
    {
      WireClient c(srv.port());
      ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
      c.send(upload_header(d, size, 0, 0, size));
      ASSERT_EQ(c.recv().size(), 7u);
      std::vector<Bytes> pieces = data_messages(content + std::string(100, 'z'));
      for (const Bytes& m : pieces) c.send(m);
      EXPECT_TRUE(c.wait_closed());
      EXPECT_FALSE(file_exists(segment_file(srv, content)));
    }
    // A data message over 4096 payload bytes.
    {
      WireClient c(srv.port());
      ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
      c.send(upload_header(d, size, 0, 0, size));
      ASSERT_EQ(c.recv().size(), 7u);
      Bytes big = {0x80, 0x12};
      big.insert(big.end(), content.begin(), content.begin() + 4097);
      c.send(big);
      EXPECT_TRUE(c.wait_closed());
    }
    // The well-formed upload of the same content still goes through afterwards.
    WireClient c(srv.port());
    ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    uint32_t cat = alloc_catalog(c);
    EXPECT_EQ(store_segment(c, content, cat), "");
    ASSERT_TRUE(file_appears(segment_file(srv, content)));
    EXPECT_EQ(read_file(segment_file(srv, content)), content);
    EXPECT_EQ(uploads_left(srv), 0u);
  }
}

TEST(RefServerSegments, MalformedRequestsCloseTheConnection) {
  RefServer srv;
  std::vector<Bytes> bad = {
      Bytes{0x80, 0x00, 1, 2, 3},             // short query
      Bytes(23, 0x80),                         // long message of the segment group
      Bytes{0x05, 0x01},                       // unknown group
      Bytes{0x02, 0x21, 7, 0, 0},              // short catalog request
      Bytes{0x00, 0x08},                       // a second login
      Bytes{0x80, 0x12, 1, 2, 3},              // data without a header
      Bytes{0x80},                             // one byte
  };
  Bytes finalize = finalize_message(1, md5(""), 0, 0, 0);
  finalize[71] = 0;
  bad.push_back(finalize);
  for (const Bytes& m : bad) {
    WireClient c(srv.port());
    ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    c.send(m);
    std::vector<Bytes> replies;
    EXPECT_TRUE(c.wait_closed(10000, &replies)) << m.size();
    EXPECT_TRUE(replies.empty()) << m.size();
  }
  // The server is still serving.
  WireClient c(srv.port());
  EXPECT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
}

TEST(RefServerTls, ServesOnlyOverVerifiedTls) {
  RefServer other({}, "", true);
  WireClient refused(other.port());
  EXPECT_FALSE(refused.connected());
  WireClient trusting(other.port(), test_certs_dir() + "/other-ca.crt");
  ASSERT_TRUE(trusting.connected());
  EXPECT_EQ(trusting.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
}

TEST(RefServerTrace, OneLinePerMessageInBothDirections) {
  RefServer srv;
  {
    WireClient c(srv.port());
    ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
    c.send(profile_request("daily"));
    c.recv();
    c.send(upload_header(md5(std::string(5000, 'q')), 5000, 0, 0, 5000));
    c.recv();
    for (const Bytes& m : data_messages(std::string(5000, 'q'))) c.send(m);
    c.recv();
    c.send(kGoodbye);
    EXPECT_TRUE(c.wait_closed());
  }
  std::vector<std::string> t = srv.trace();
  ASSERT_EQ(t.size(), 11u);
  EXPECT_EQ(t[0], "1 S 0000 10 00000100726566737276");
  EXPECT_EQ(t[1].substr(0, 15), "1 C 0008 76 000");
  EXPECT_EQ(t[1].size(), 15u - 3 + 152);
  EXPECT_EQ(t[2], "1 S 0009 3 000900");
  EXPECT_EQ(t[3], "1 C 0102 8 01026461696c7900");
  EXPECT_EQ(t[4].substr(0, 29), "1 S 0110 138 0110070000006461");
  EXPECT_EQ(t[4].size(), 13u + 192);  // 96 bytes shown
  EXPECT_EQ(t[6].substr(0, 21), "1 S 8011 7 8011881300");
  EXPECT_EQ(t[7], "1 C 8012 4098");
  EXPECT_EQ(t[8], "1 C 8012 906");
  EXPECT_EQ(t[9], "1 S 8013 3 801300");
  EXPECT_EQ(t[10], "1 C 000f 2 000f");
  for (const std::string& line : t) EXPECT_EQ(line.find("ahead"), std::string::npos) << line;
}

// A client that keeps many requests in flight gets every reply, in order; the trace marks the
// replies that found the client ahead.
TEST(RefServerTrace, RequestsSentAheadAreAnsweredInOrder) {
  RefServer srv;
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09, 0x00}));
  uint32_t cat = alloc_catalog(c);
  std::vector<Bytes> requests, expected;
  for (int i = 0; i < 32; ++i) {
    std::string content = "block " + std::to_string(i);
    bool held = i % 3 != 0;
    if (held) {
      ASSERT_EQ(store_segment(c, content, cat), "");
    }
    requests.push_back(query_message(md5(content), static_cast<uint32_t>(content.size())));
    expected.push_back({0x80, 0x01, static_cast<uint8_t>(held ? 0xFF : 0x00)});
    requests.push_back(link_message(md5(content), cat));
    expected.push_back({0x80, 0x1F, static_cast<uint8_t>(held ? 0x00 : 0x01)});
  }
  ASSERT_TRUE(c.send_ahead(requests));
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(c.recv(), expected[i]) << i;
  std::vector<std::string> t = srv.trace();
  EXPECT_TRUE(std::any_of(t.begin(), t.end(), [](const std::string& line) {
    return line.size() > 6 && line.compare(line.size() - 6, 6, " ahead") == 0;
  }));
}

TEST(RefServerProcess, StopsOnSigtermAndReportsStartFailures) {
  RefServer srv;
  WireClient idle(srv.port());  // an idle connection does not hold up the stop
  ASSERT_TRUE(idle.connected());
  EXPECT_EQ(srv.stop(), 0);
  try {
    RefServer bad({"--key", "/nonexistent/key"});
    FAIL() << "started without its key";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/key"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace vl::test
