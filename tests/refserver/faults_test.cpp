// The reference server's fault injection: each option does what it says, the given number of
// times over the server's lifetime, and then the server behaves normally again.
#include <gtest/gtest.h>

#include "options.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "support/refserver_process.h"
#include "support/test_support.h"
#include "wire_client.h"

namespace vl::test {
namespace {

const Bytes kAccepted = {0x00, 0x09, 0x00};

std::string segment_file(const RefServer& srv, const std::string& content) {
  std::string h = hex(md5(content));
  return srv.store() + "/segments/" + h.substr(0, 2) + "/" + h;
}

uint32_t alloc_catalog(WireClient& c) {
  c.send(catalog_request(7));
  Bytes r = c.recv();
  return r.size() == 7 && r[2] == 0x00 ? le32_at(r, 3) : 0;
}

TEST(RefServerFaults, DropAfterMessagesCountsOverTheLifetimeAndHappensOnce) {
  RefServer srv({"--drop-after-messages", "4"});
  {
    WireClient c(srv.port());
    ASSERT_EQ(c.greet_and_login(), kAccepted);  // message 1
    c.send(profile_request("daily"));            // 2
    EXPECT_EQ(c.recv().size(), 138u);
    c.send(kGoodbye);                            // 3
    EXPECT_TRUE(c.wait_closed());
  }
  WireClient c(srv.port());
  c.recv();
  c.send(login_message("alice", "secret"));  // 4: dropped without a reply
  std::vector<Bytes> replies;
  EXPECT_TRUE(c.wait_closed(10000, &replies));
  EXPECT_TRUE(replies.empty());
  WireClient d(srv.port());
  ASSERT_EQ(d.greet_and_login(), kAccepted);  // 5
  d.send(profile_request("daily"));
  EXPECT_EQ(d.recv().size(), 138u);
}

TEST(RefServerFaults, DropInUploadCutsTheNthUploadAfterItsFirstDataMessage) {
  RefServer srv({"--drop-in-upload", "2"});
  std::string first(9000, 'a'), second(20000, 'b');
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>(i * 7919 >> 3);
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), kAccepted);
  uint32_t cat = alloc_catalog(c);
  EXPECT_EQ(store_segment(c, first, cat), "");
  EXPECT_NE(store_segment(c, second, cat), "");
  EXPECT_TRUE(c.wait_closed());
  EXPECT_FALSE(file_exists(segment_file(srv, second)));
  std::vector<std::string> t = srv.trace();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back().substr(0, 9), "1 C 8012 ");  // the first data message, then nothing

  WireClient d(srv.port());
  ASSERT_EQ(d.greet_and_login(), kAccepted);
  EXPECT_EQ(store_segment(d, second, cat), "");
  ASSERT_TRUE(file_appears(segment_file(srv, second)));
  EXPECT_EQ(read_file(segment_file(srv, second)), second);
}

TEST(RefServerFaults, DropInUploadOfAnEmptySegmentComesRightAfterTheHeader) {
  RefServer srv({"--drop-in-upload", "1"});
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), kAccepted);
  c.send(upload_header(md5(""), 0, 0, 0, 0));
  Bytes h = c.recv();
  ASSERT_EQ(h.size(), 7u);
  EXPECT_EQ(h[6], 0x00);
  std::vector<Bytes> replies;
  EXPECT_TRUE(c.wait_closed(10000, &replies));
  EXPECT_TRUE(replies.empty());
  EXPECT_FALSE(file_exists(segment_file(srv, "")));
}

TEST(RefServerFaults, GreetingFaults) {
  RefServer srv({"--greeting-short", "1", "--greeting-bad", "2"});
  std::vector<Bytes> greetings;
  for (int i = 0; i < 3; ++i) {
    WireClient c(srv.port());
    greetings.push_back(c.recv());
  }
  // A bad greeting is also short when both are due.
  EXPECT_EQ(greetings[0], (Bytes{0x00, 0x01, 0x01, 0x00, 'r', 'e', 'f', 's', 'r'}));
  EXPECT_EQ(greetings[1].size(), 10u);
  EXPECT_EQ(greetings[1][1], 0x01);
  EXPECT_EQ(greetings[2].size(), 10u);
  EXPECT_EQ(greetings[2][1], 0x00);
}

TEST(RefServerFaults, LoginFaultsInTurn) {
  RefServer srv({"--login-busy", "2", "--login-refuse", "1", "--login-odd", "1"});
  std::vector<uint8_t> results;
  for (int i = 0; i < 5; ++i) {
    WireClient c(srv.port());
    Bytes r = c.greet_and_login();
    ASSERT_EQ(r.size(), 3u);
    results.push_back(r[2]);
    if (r[2] == 0xFE || r[2] == 0xFF) {
      EXPECT_TRUE(c.wait_closed());
    } else {
      // An odd result still logs the client in.
      c.send(profile_request("daily"));
      EXPECT_EQ(c.recv().size(), 138u);
    }
  }
  EXPECT_EQ(results, (std::vector<uint8_t>{0xFE, 0xFE, 0xFF, 0x07, 0x00}));
}

TEST(RefServerFaults, LoginOddDoesNotLetAWrongPasswordIn) {
  RefServer srv({"--login-odd", "1"});
  WireClient c(srv.port());
  EXPECT_EQ(c.greet_and_login("alice", "wrong"), (Bytes{0x00, 0x09, 0xFF}));
  WireClient d(srv.port());
  EXPECT_EQ(d.greet_and_login(), (Bytes{0x00, 0x09, 0x07}));
}

TEST(RefServerFaults, CatalogRefusalsUseNoIds) {
  RefServer srv({"--catalog-refuse", "2"});
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), kAccepted);
  for (int i = 0; i < 2; ++i) {
    c.send(catalog_request(7));
    Bytes r = c.recv();
    ASSERT_EQ(r.size(), 7u);
    EXPECT_EQ(r[2], 0x01);
  }
  EXPECT_EQ(alloc_catalog(c), 1u);
}

TEST(RefServerFaults, ShortRepliesAreOneByteBelowTheMinimum) {
  RefServer srv({"--short-reply", "0110:1", "--short-reply", "8011:1", "--short-reply", "0009:1"});
  {
    WireClient c(srv.port());
    EXPECT_EQ(c.greet_and_login(), (Bytes{0x00, 0x09}));
  }
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), kAccepted);
  c.send(profile_request("daily"));
  EXPECT_EQ(c.recv().size(), 137u);
  c.send(profile_request("daily"));
  EXPECT_EQ(c.recv().size(), 138u);
  c.send(upload_header(md5("abc"), 3, 0, 0, 3));
  EXPECT_EQ(c.recv().size(), 6u);
}

TEST(RefServerFaults, WrongHeadersCarryAnotherCode) {
  RefServer srv({"--wrong-header", "0009:1", "--wrong-header", "8001:2"});
  {
    WireClient c(srv.port());
    Bytes r = c.greet_and_login();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], 0x00);
    EXPECT_NE(r[1], 0x09);
  }
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), kAccepted);
  for (int i = 0; i < 3; ++i) {
    c.send(query_message(md5("abc"), 3));
    Bytes r = c.recv();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[1] == 0x01, i == 2) << i;
  }
}

TEST(RefServerFaults, StalledRepliesAreNeverSent) {
  RefServer srv({"--stall-reply", "8001:1"});
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), kAccepted);
  c.send(query_message(md5("abc"), 3));
  EXPECT_TRUE(c.recv(1500).empty());
  EXPECT_FALSE(c.closed());
  c.send(query_message(md5("abc"), 3));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x01, 0x00}));
}

TEST(RefServerFaults, UploadStatusFaults) {
  RefServer srv({"--upload-exists", "1", "--upload-error", "1"});
  std::string content(3000, 'x');
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), kAccepted);
  uint32_t cat = alloc_catalog(c);
  Bytes header = upload_header(md5(content), 3000, 0, 0, 3000);
  c.send(header);
  Bytes r = c.recv();
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[6], 0xFF);
  // The client then links a segment the server does not hold: refused.
  c.send(link_message(md5(content), cat));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x1F, 0x01}));
  c.send(header);
  r = c.recv();
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[6], 0x05);
  EXPECT_EQ(store_segment(c, content, cat), "");
  EXPECT_TRUE(file_appears(segment_file(srv, content)));
}

TEST(RefServerFaults, QueryHasAndLinkRefuse) {
  RefServer srv({"--query-has", "1", "--link-refuse", "1"});
  std::string content = "some block";
  WireClient c(srv.port());
  ASSERT_EQ(c.greet_and_login(), kAccepted);
  uint32_t cat = alloc_catalog(c);
  c.send(query_message(md5(content), 10));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x01, 0xFF}));
  c.send(query_message(md5(content), 10));
  EXPECT_EQ(c.recv(), (Bytes{0x80, 0x01, 0x00}));
  EXPECT_EQ(store_segment(c, content, cat), "link refused");
  EXPECT_EQ(store_segment(c, content, cat), "");
  EXPECT_EQ(read_lines(srv.store() + "/catalogs/00000001/links"),
            std::vector<std::string>{hex(md5(content))});
}

TEST(RefServerFaults, DelayPrecedesEveryReply) {
  RefServer srv({"--delay-ms", "300"});
  WireClient c(srv.port());
  uint64_t start = clock_monotonic_ms();
  ASSERT_EQ(c.greet_and_login(), kAccepted);
  c.send(profile_request("daily"));
  EXPECT_EQ(c.recv().size(), 138u);
  EXPECT_GE(clock_monotonic_ms() - start, 900u);  // greeting, login reply, profile reply
}

TEST(RefServerOptions, NumbersAndReplyTypes) {
  struct Case {
    const char* text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", 10, true, 0},          {"42", 100, true, 42},         {"0x2A", 100, true, 42},
      {"0x2a", 100, true, 42},     {"101", 100, false, 0},        {"0x", 100, false, 0},
      {"", 100, false, 0},         {"-1", 100, false, 0},         {"4294967295", 0xFFFFFFFF, true, 0xFFFFFFFF},
      {"4294967296", 0xFFFFFFFF, false, 0}, {"18446744073709551616", UINT64_MAX, false, 0},
      {"12a", 100, false, 0},
  };
  for (const Case& c : cases) {
    uint64_t v = 0;
    EXPECT_EQ(ref::parse_number(c.text, c.max, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  ref::MessageType type;
  uint32_t count;
  EXPECT_TRUE(ref::parse_type_count("0110:3", &type, &count));
  EXPECT_EQ(type, 0x0110);
  EXPECT_EQ(count, 3u);
  for (const char* bad : {"110:3", "0110", "0110:", "01100:3", "zz10:1", "0110:x"})
    EXPECT_FALSE(ref::parse_type_count(bad, &type, &count)) << bad;

  ref::ServeOptions o;
  EXPECT_EQ(ref::serve_options_parse({"--store", "s", "--cert", "c", "--key", "k", "--account",
                                      "a:b:c", "--profile", "x:y:12", "--stall-reply=8001:2", "--no-fsync",
                                      "--link-refuse-all", "--die-after", "801E:3", "--lazy-writer"},
                                     &o),
            "");
  EXPECT_EQ(o.faults.link_refuse, UINT32_MAX);
  EXPECT_EQ(o.accounts.at("a"), "b:c");
  EXPECT_EQ(o.profiles.at("x:y"), 12u);
  EXPECT_EQ(o.faults.stall_reply.at(0x8001), 2u);
  EXPECT_FALSE(o.segment_sync);
  EXPECT_EQ(o.faults.die_after.at(0x801E), 3u);
  EXPECT_TRUE(o.lazy_writer);
  const std::vector<std::vector<std::string>> refused = {
      {"--store", "s", "--cert", "c"},
      {"--store", "s", "--cert", "c", "--key", "k", "--login-busy"},
      {"--store", "s", "--cert", "c", "--key", "k", "--bogus", "1"},
      {"--store", "s", "--cert", "c", "--key", "k", "--port", "65536"},
      {"--store", "s", "--cert", "c", "--key", "k", "--account", "nopassword"},
      {"--store", "s", "--cert", "c", "--key", "k", "--profile", "daily:seven"},
      {"--store", "s", "--cert", "c", "--key", "k", "stray"},
      {"--store", "s", "--cert", "c", "--key", "k", "--no-fsync=1"},
      {"--store", "s", "--cert", "c", "--key", "k", "--link-refuse-all=1"},
  };
  for (const auto& args : refused) {
    ref::ServeOptions fresh;
    EXPECT_NE(ref::serve_options_parse(args, &fresh), "") << args.back();
  }
  ref::RestoreOptions r;
  EXPECT_EQ(ref::restore_options_parse({"--store", "s", "--catalog", "0x1f", "--out", "o",
                                        "--no-link-check"},
                                       &r),
            "");
  EXPECT_EQ(r.catalog, 31u);
  EXPECT_FALSE(r.link_check);
  EXPECT_NE(ref::restore_options_parse({"--store", "s", "--catalog", "0", "--out", "o"}, &r), "");
}

}  // namespace
}  // namespace vl::test
