// vornlake-refserver: the reference backup server (serve), and the tools that prove a backup
// holds the data (restore, verify).
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "platform/fs.h"
#include "restore.h"
#include "server.h"
#include "tree_verify.h"

int main(int argc, char** argv) {
  vl::owner_only_umask();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(vl::ref::kUsage, stderr);
    return 2;
  }
  std::string command = args[0];
  args.erase(args.begin());
  std::string error;
  if (command == "serve") {
    vl::ref::ServeOptions options;
    error = vl::ref::serve_options_parse(args, &options);
    if (error.empty()) return vl::ref::serve_run(options);
  } else if (command == "restore") {
    vl::ref::RestoreOptions options;
    error = vl::ref::restore_options_parse(args, &options);
    if (error.empty()) return vl::ref::restore_run(options);
  } else if (command == "verify") {
    vl::ref::VerifyOptions options;
    error = vl::ref::verify_options_parse(args, &options);
    if (error.empty()) return vl::ref::verify_run(options);
  } else if (command == "--help" || command == "help") {
    std::fputs(vl::ref::kUsage, stdout);
    return 0;
  } else {
    error = "unknown command \"" + command + "\"";
  }
  std::fprintf(stderr, "vornlake-refserver: %s\n%s", error.c_str(), vl::ref::kUsage);
  return 2;
}
