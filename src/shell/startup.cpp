#include "shell/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "base/md5.h"
#include "base/product.h"
#include "connection/connect.h"
#include "connection/dialogue.h"
#include "connection/retry.h"
#include "engine/block_pipeline.h"
#include "platform/file_read.h"
#include "run/run_context.h"
#include "run/run_retention.h"
#include "run/run_texts.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/fs.h"
#include "platform/settings.h"
#include "platform/worker_thread.h"
#include "platform/signals.h"
#include "platform/std_descriptors.h"
#include "shell/command_line.h"
#include "engine/open_profile.h"
#include "stores/config_db.h"
#include "stores/md5cache.h"
#include "ui/console/console_port.h"
#include "ui/console/console_run.h"
#include "port/port.h"
#ifdef VORNLAKE_HAVE_QT
#include "ui/qt/qt_frontend.h"
#endif

namespace vl {

const char kRegistryMessage[] =
    "Corvantis Online Backup can not start because it can\nnot find the registry settings that "
    "were established\nwhen Corvantis Online Backup was installed.\n\nRe-run the installer to "
    "re-establish those settings.";

namespace {

const char kHelp[] =
    "Usage: vornlake [/run:TAG]\n"
    "\n"
    "Corvantis Online Backup client.\n"
    "\n"
    "  vornlake                list the backup profiles (console) or open the profile list (desktop)\n"
    "  vornlake /run:TAG       run the backup profile TAG at once (unattended)\n"
    "  vornlake -h, --help     this text\n"
    "  vornlake -V, --version  the version\n"
    "\n"
    "\n"
    "Exit codes of a /run:TAG run: 0 completed with no warnings and no errors; 2 completed, but\n"
    "items were left out (see the run log); 3 failed, cancelled, or completed with errors; 1 the\n"
    "program could not start.\n"
    "\n"
    "Settings: $VORNLAKE_SETTINGS, else $XDG_CONFIG_HOME/corvantis/online-backup.conf, else\n"
    "/etc/corvantis/online-backup.conf, with the lines Install_Dir=DIR, Data_Dir=DIR (a value\n"
    "may begin with ~/) and optionally CA_File=FILE, Request_Window=N (requests kept in\n"
    "flight, 1 to 256, default 32; 1 for servers that need a strict one-at-a-time dialogue) and\n"
    "Retry_Limit_Minutes=N (an unattended run gives up an unreachable server after N minutes,\n"
    "default 60; 0 retries for ever) and Upload_Sessions=N (connections a run uploads over, 1 to\n"
    "32, default 16; 1 keeps to one connection).\n"
    "The server's certificate is checked against CA_File, else Install_Dir/ca.crt, else\n"
    "~/.config/corvantis/ca.crt, else the system's trust store.\n"
    "Front-end: VORNLAKE_UI=console or qt (default: qt when a display is set that it can open).\n"
    "While a console run goes on, SIGINT or SIGTERM cancels it and SIGUSR1 pauses or resumes it.\n";

#ifdef VORNLAKE_FAULT_HOOKS
void for_each_line(const char* text, const std::function<void(const std::string&)>& fn) {
  if (!text) return;
  std::string all(text);
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    if (end > start) fn(all.substr(start, end - start));
    start = end + 1;
  }
}

// Test builds only: the end-to-end tests run retry countdowns and pauses on the fast clock, and
// name files that cannot be opened or whose reads fail (paths separated by line breaks).
void test_hooks_from_environment() {
  if (const char* fast = std::getenv("VORNLAKE_TEST_FAST_CLOCK"); fast && std::strcmp(fast, "1") == 0)
    clock_fast_set(true);
  for_each_line(std::getenv("VORNLAKE_TEST_OPEN_FAIL"), fs_fault_open_fail_add);
  for_each_line(std::getenv("VORNLAKE_TEST_READ_FAIL"), fs_fault_read_fail_add);
  for_each_line(std::getenv("VORNLAKE_TEST_GROW_ON_READ"), fs_fault_grow_on_read_add);
  for_each_line(std::getenv("VORNLAKE_TEST_SHRINK_ON_READ"), fs_fault_shrink_on_read_add);
  for_each_line(std::getenv("VORNLAKE_TEST_REWRITE_ON_READ"), fs_fault_rewrite_on_read_add);
  // "path=>swap": the file is replaced by a link to swap (or a FIFO for "fifo") before it is opened.
  for_each_line(std::getenv("VORNLAKE_TEST_SWAP_ON_OPEN"), [](const std::string& line) {
    size_t arrow = line.find("=>");
    if (arrow != std::string::npos) fs_fault_swap_on_open_add(line.substr(0, arrow), line.substr(arrow + 2));
  });
  if (const char* fail = std::getenv("VORNLAKE_TEST_BLOCK_ALLOC_FAIL"); fail && std::strcmp(fail, "1") == 0)
    block_alloc_fail_set(true);
  // The number of compression threads (0: the one-thread run).
  if (const char* threads = std::getenv("VORNLAKE_TEST_COMPRESS_THREADS"))
    compress_threads_override_set(std::atoi(threads));
  // The pending files that make the cache's batch due.
  if (const char* files = std::getenv("VORNLAKE_TEST_CACHE_BATCH_FILES"))
    md5cache_flush_files_set(static_cast<uint32_t>(std::atoi(files)));
  // "name=start|alloc|stall": a fault the run's threads of that name meet (worker_thread.h).
  for_each_line(std::getenv("VORNLAKE_TEST_THREAD_FAULT"), [](const std::string& line) {
    const size_t eq = line.rfind('=');
    if (eq == std::string::npos) return;
    const std::string fault = line.substr(eq + 1);
    worker_fault_set(line.substr(0, eq), fault == "start"   ? WorkerFault::start
                                         : fault == "alloc" ? WorkerFault::alloc
                                         : fault == "stall" ? WorkerFault::stall
                                                            : WorkerFault::none);
  });
}
#else
void test_hooks_from_environment() {}
#endif

void stores_close() {
  md5cache_close();
  config_close();
}

// Searches the profile list for the entry whose tag equals `tag` byte for byte.
ProfileListEntry* profile_find(const std::string& tag) {
  for (auto& entry : profile_list)
    if (entry->tag == tag) return entry.get();
  return nullptr;
}

}  // namespace

int app_main(int argc, char** argv) {
  // Before anything opens a descriptor: started with stderr closed, the cancel's eventfd would
  // become descriptor 2 and take the console's status lines.
  std_descriptors_ensure();
  CommandLine cl = command_line_parse(argc, argv);
  if (cl.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (cl.version) {
    // The About box and the run dialog show the same version in their own form.
    std::printf("vornlake %s (%s)\n", kPackageVersion, kVersionText);
    return 0;
  }
  owner_only_umask();
  sigpipe_ignore();
  test_hooks_from_environment();

  ConsoleBackend console;
  const char* ui = std::getenv("VORNLAKE_UI");
  FrontendKind kind = frontend_choose(ui, std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"));
  bool qt = false;
#ifdef VORNLAKE_HAVE_QT
  // Chosen only because a display is named, Qt is tried in a child first: should it fail to open
  // that display, it would abort us, and a timer's run must then go on in the console instead.
  const bool qt_asked = ui && std::strcmp(ui, "qt") == 0;
  if (kind == FrontendKind::qt && (qt_asked || qt_display_opens())) qt = qt_frontend_init(argc, argv);
#else
  (void)kind;
#endif
  if (!qt) ui_backend_set(&console);

  // Without MD5 every digest would be sixteen zero bytes and every block would look the same.
  if (!md5_available()) {
    message_box(BoxOwner::none, "The MD5 digest is not available from the cryptographic library!",
                kProductName);
    return 1;
  }
  Settings settings;
  std::string bad_value;
  if (!settings_load(&settings, &bad_value)) {
    // A number out of range is named: "Re-run the installer" would send the user astray.
    message_box(BoxOwner::none, bad_value.empty() ? kRegistryMessage : bad_value, kProductName);
    return 1;
  }
  install_dir_set(settings.install_dir);
  data_dir_set(settings.data_dir);
  ca_file_set(settings.ca_file);
  request_window_set(settings.request_window);
  retry_limit_minutes_set(settings.retry_limit_minutes);
  upload_sessions_set(settings.upload_sessions);
  keep_runs_set(settings.keep_runs);
  dir_create_all_private(settings.data_dir);
  for (const std::string& dir : data_dirs_open_to_others(cl.unattended ? cl.tag : ""))
    std::fprintf(stderr, "%s\n", open_folder_warning(dir).c_str());

  RunContext& ctx = run_context();
  run_context_clear(ctx);
  if (md5cache_open() != 0) return 1;
  if (config_open() != 0) {
    md5cache_close();
    return 1;
  }
  if (ssl_init() != 0 || config_load_profiles() != 0) {
    stores_close();
    return 1;
  }

  int code = 0;
  if (!cl.unattended) {
#ifdef VORNLAKE_HAVE_QT
    code = qt ? qt_run_interactive() : console_run_interactive();
#else
    code = console_run_interactive();
#endif
  } else {
    config_load_profiles();
    profile_entry_running = nullptr;
    ProfileListEntry* entry = profile_find(cl.tag);
    const int opened = entry ? open_profile(entry) : kOpenProfileFailed;
    if (opened == kOpenProfileOk) {
#ifdef VORNLAKE_HAVE_QT
      code = qt ? qt_run_unattended(ctx, entry) : console_run_unattended(console, ctx, entry);
#else
      code = console_run_unattended(console, ctx, entry);
#endif
    } else if (opened == kOpenProfileRunning || opened == kOpenProfileLockFailed) {
      code = 1;  // the box has said why
    } else {
      profile_entry_running = nullptr;
      message_box(BoxOwner::none,
                  "Unable to automatically run backup profile: " + cl.tag +
                      "\nProfile could not be loaded!",
                  kProductName);
      code = 1;  // a tag that runs nothing must not read as success to a timer or script
    }
  }

  run_context_clear(ctx);
  stores_close();
  config_free_profiles();
#ifdef VORNLAKE_HAVE_QT
  if (qt) qt_frontend_shutdown();
#endif
  ui_backend_set(nullptr);
  return code;
}

}  // namespace vl
