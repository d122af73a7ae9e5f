#include "options.h"

#include <cstdio>
#include <functional>

namespace vl::ref {

const char* const kUsage =
    "usage:\n"
    "  vornlake-refserver serve --store DIR --cert FILE --key FILE [--listen ADDR] [--port N]\n"
    "      --account LOGIN:PASSWORD ... --profile TAG:ID ... [--trace FILE] [--no-fsync]\n"
    "      [--drop-after-messages N] [--drop-in-upload N] [--greeting-short N] [--greeting-bad N]\n"
    "      [--login-busy N] [--login-refuse N] [--login-odd N] [--catalog-refuse N]\n"
    "      [--short-reply GGCC:N] [--long-reply GGCC:N] [--wrong-header GGCC:N]\n"
    "      [--stall-reply GGCC:N]\n"
    "      [--upload-exists N] [--upload-error N] [--query-has N] [--link-refuse N]\n"
    "      [--link-refuse-all] [--delay-ms N] [--die-after GGCC:N] [--lazy-writer]\n"
    "      [--links-on-allocating-session] [--uploads-on-allocating-session] [--login-refuse-nth N]\n"
    "      --die-after GGCC:N: the server kills itself with SIGKILL, as a crash would, once the Nth\n"
    "        client message of type GGCC has arrived and before it is handled (8012 segment data,\n"
    "        801E link, 0223 finalize, ...)\n"
    "      --lazy-writer: answered uploads stay queued until a finalize or the shutdown waits for\n"
    "        them or the queue is full, so that a crash loses every one of them\n"
    "      --links-on-allocating-session: a link to a catalog is refused on any session but the\n"
    "        one that allocated the catalog\n"
    "      --uploads-on-allocating-session: an upload header is answered 0x05 (an error) on any\n"
    "        session that allocated no catalog\n"
    "  vornlake-refserver restore --store DIR --catalog ID --out DIR [--no-link-check]\n"
    "  vornlake-refserver verify --source DIR --restored DIR [--ignore RELPATH ...]\n";

bool parse_number(const std::string& text, uint64_t max, uint64_t* out) {
  size_t i = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) return false;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  *out = v;
  return true;
}

bool parse_type_count(const std::string& text, MessageType* type, uint32_t* count) {
  size_t colon = text.find(':');
  if (colon != 4) return false;
  uint64_t t, n;
  if (!parse_number("0x" + text.substr(0, 4), 0xFFFF, &t)) return false;
  if (!parse_number(text.substr(5), 0xFFFFFFFF, &n)) return false;
  *type = static_cast<MessageType>(t);
  *count = static_cast<uint32_t>(n);
  return true;
}

std::string counts_text(std::initializer_list<std::pair<uint64_t, const char*>> counts) {
  std::string text;
  for (const auto& [n, name] : counts)
    text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + name;
  return text;
}

int command_report(const std::vector<std::string>& findings, const char* prefix,
                   const std::string& summary) {
  for (const std::string& f : findings) std::printf("%s%s\n", prefix, f.c_str());
  std::printf("%s\n", summary.c_str());
  std::fflush(stdout);
  return findings.empty() ? 0 : 1;
}

namespace {

// Walks "--name value" / "--name=value" pairs and flags, calling handle(name, value, has_value).
// handle returns an error text or "".
using Handler = std::function<std::string(const std::string&, const std::string*)>;

std::string walk(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                 const Handler& handle) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    if (name.rfind("--", 0) != 0) return "unexpected argument \"" + name + "\"";
    std::string value;
    bool inline_value = false;
    size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inline_value = true;
    }
    bool is_flag = false;
    for (const auto& f : flags) is_flag = is_flag || f == name;
    if (is_flag) {
      if (inline_value) return name + " takes no value";
      std::string err = handle(name, nullptr);
      if (!err.empty()) return err;
      continue;
    }
    if (!inline_value) {
      if (i + 1 >= args.size()) return name + " needs a value";
      value = args[++i];
    }
    std::string err = handle(name, &value);
    if (!err.empty()) return err;
  }
  return "";
}

}  // namespace

std::string serve_options_parse(const std::vector<std::string>& args, ServeOptions* out) {
  ServeOptions& o = *out;
  const std::map<std::string, uint32_t FaultPlan::*> counts = {
      {"--greeting-short", &FaultPlan::greeting_short},
      {"--greeting-bad", &FaultPlan::greeting_bad},
      {"--login-busy", &FaultPlan::login_busy},
      {"--login-refuse", &FaultPlan::login_refuse},
      {"--login-odd", &FaultPlan::login_odd},
      {"--catalog-refuse", &FaultPlan::catalog_refuse},
      {"--upload-exists", &FaultPlan::upload_exists},
      {"--upload-error", &FaultPlan::upload_error},
      {"--query-has", &FaultPlan::query_has},
      {"--link-refuse", &FaultPlan::link_refuse},
      {"--delay-ms", &FaultPlan::delay_ms}};
  const std::map<std::string, std::map<MessageType, uint32_t> FaultPlan::*> typed = {
      {"--short-reply", &FaultPlan::short_reply},
      {"--long-reply", &FaultPlan::long_reply},
      {"--wrong-header", &FaultPlan::wrong_header},
      {"--stall-reply", &FaultPlan::stall_reply},
      {"--die-after", &FaultPlan::die_after}};
  const std::vector<std::string> flags = {"--no-fsync", "--link-refuse-all", "--lazy-writer",
                                          "--links-on-allocating-session",
                                          "--uploads-on-allocating-session"};
  std::string err = walk(args, flags, [&](const std::string& name, const std::string* v) {
    uint64_t n;
    if (name == "--no-fsync") o.segment_sync = false;
    else if (name == "--lazy-writer") o.lazy_writer = true;
    else if (name == "--links-on-allocating-session") o.links_on_allocating_session = true;
    else if (name == "--uploads-on-allocating-session") o.uploads_on_allocating_session = true;
    else if (name == "--link-refuse-all") o.faults.link_refuse = UINT32_MAX;
    else if (name == "--store") o.store = *v;
    else if (name == "--cert") o.cert = *v;
    else if (name == "--key") o.key = *v;
    else if (name == "--listen") o.listen = *v;
    else if (name == "--trace") o.trace = *v;
    else if (name == "--port") {
      if (!parse_number(*v, 65535, &n)) return "bad port \"" + *v + "\"";
      o.port = static_cast<uint16_t>(n);
    } else if (name == "--account") {
      size_t colon = v->find(':');
      if (colon == std::string::npos || colon == 0) return "bad account \"" + *v + "\"";
      std::string login = v->substr(0, colon), password = v->substr(colon + 1);
      if (login.size() > 32 || password.size() > 32) return "account \"" + *v + "\" too long";
      o.accounts[login] = password;
    } else if (name == "--profile") {
      size_t colon = v->rfind(':');
      if (colon == std::string::npos || !parse_number(v->substr(colon + 1), 0xFFFFFFFF, &n))
        return "bad profile \"" + *v + "\"";
      o.profiles[v->substr(0, colon)] = static_cast<uint32_t>(n);
    } else if (name == "--drop-after-messages" || name == "--drop-in-upload" ||
               name == "--login-refuse-nth") {
      if (!parse_number(*v, UINT64_MAX, &n)) return "bad number for " + name;
      (name == "--drop-after-messages" ? o.faults.drop_after_messages
       : name == "--drop-in-upload"    ? o.faults.drop_in_upload
                                       : o.faults.login_refuse_nth) = n;
    } else if (counts.count(name)) {
      if (!parse_number(*v, 0xFFFFFFFF, &n)) return "bad number for " + name;
      o.faults.*counts.at(name) = static_cast<uint32_t>(n);
    } else if (typed.count(name)) {
      MessageType type;
      uint32_t count;
      if (!parse_type_count(*v, &type, &count)) return "bad GGCC:N for " + name;
      (o.faults.*typed.at(name))[type] = count;
    } else {
      return "unknown option " + name;
    }
    return std::string();
  });
  if (!err.empty()) return err;
  if (o.store.empty() || o.cert.empty() || o.key.empty()) return "--store, --cert and --key are required";
  return "";
}

std::string restore_options_parse(const std::vector<std::string>& args, RestoreOptions* out) {
  bool have_catalog = false;
  std::string err = walk(args, {"--no-link-check"}, [&](const std::string& name, const std::string* v) {
    uint64_t n;
    if (name == "--no-link-check") out->link_check = false;
    else if (name == "--store") out->store = *v;
    else if (name == "--out") out->out = *v;
    else if (name == "--catalog") {
      if (!parse_number(*v, 0xFFFFFFFF, &n) || n == 0) return "bad catalog id \"" + *v + "\"";
      out->catalog = static_cast<uint32_t>(n);
      have_catalog = true;
    } else {
      return "unknown option " + name;
    }
    return std::string();
  });
  if (!err.empty()) return err;
  if (out->store.empty() || out->out.empty() || !have_catalog)
    return "--store, --catalog and --out are required";
  return "";
}

std::string verify_options_parse(const std::vector<std::string>& args, VerifyOptions* out) {
  std::string err = walk(args, {}, [&](const std::string& name, const std::string* v) {
    if (name == "--source") out->source = *v;
    else if (name == "--restored") out->restored = *v;
    else if (name == "--ignore") out->ignore.push_back(*v);
    else return "unknown option " + name;
    return std::string();
  });
  if (!err.empty()) return err;
  if (out->source.empty() || out->restored.empty()) return "--source and --restored are required";
  return "";
}

}  // namespace vl::ref
