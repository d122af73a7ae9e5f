// The command lines of vornlake-refserver's three commands (serve, restore, verify), parsed into
// plain records. Long options take their value as the next argument or after "=".
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "faults.h"

namespace vl::ref {

struct ServeOptions {
  std::string store;
  std::string cert;
  std::string key;
  std::string listen = "127.0.0.1";
  uint16_t port = 0;
  std::map<std::string, std::string> accounts;  // login -> password
  std::map<std::string, uint32_t> profiles;      // tag -> id
  std::string trace;                             // empty: no trace
  bool segment_sync = true;                      // --no-fsync turns it off
  bool lazy_writer = false;                      // --lazy-writer
  bool links_on_allocating_session = false;      // --links-on-allocating-session
  bool uploads_on_allocating_session = false;    // --uploads-on-allocating-session
  FaultPlan faults;
};

struct RestoreOptions {
  std::string store;
  uint32_t catalog = 0;
  std::string out;
  bool link_check = true;
};

struct VerifyOptions {
  std::string source;
  std::string restored;
  std::vector<std::string> ignore;  // source-relative paths
};

// Each returns an empty text on success, else what is wrong with the arguments (args excludes the
// program name and the command word). Main thread.
std::string serve_options_parse(const std::vector<std::string>& args, ServeOptions* out);
std::string restore_options_parse(const std::vector<std::string>& args, RestoreOptions* out);
std::string verify_options_parse(const std::vector<std::string>& args, VerifyOptions* out);

// Unsigned number in decimal, or hexadecimal after "0x"; false when not a number or above max.
bool parse_number(const std::string& text, uint64_t max, uint64_t* out);

// "GGCC:N" (GGCC four hexadecimal digits) as used by the reply faults.
bool parse_type_count(const std::string& text, MessageType* type, uint32_t* count);

extern const char* const kUsage;

// "N name, N name, ..." of the counts in the order given.
std::string counts_text(std::initializer_list<std::pair<uint64_t, const char*>> counts);

// Ends restore or verify: prints each finding (after prefix) and the summary line on stdout.
// Returns the exit code: 0 when there are no findings, else 1.
int command_report(const std::vector<std::string>& findings, const char* prefix,
                   const std::string& summary);

}  // namespace vl::ref
