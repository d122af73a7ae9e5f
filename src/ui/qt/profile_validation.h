// The profile editor's and the profile list's decisions, without widgets: reading and checking a
// tag, OK's collect-and-validate order, the rules list rows and the rules they become, the record
// of a new profile, finding the list entry of a row. UI thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "run/profile_records.h"
#include "ui/qt/throttle_values.h"

namespace vl {

// Texts of the rules list's mode column.
constexpr const char* kModeInclude = "Include";
constexpr const char* kModeExclude = "Exclude";

// One row of the rules list: column 0 (mode) and column 1 (path).
struct RuleRow {
  std::string mode;
  std::string path;
  bool operator==(const RuleRow&) const = default;
};

enum class EditorMode { create, edit };

// Everything the profile editor's controls hold when OK is pressed.
struct ProfileEditorInput {
  std::string tag;
  std::string description;
  std::string login;
  std::string password;
  std::string server;
  std::string port;
  ThrottleInput throttle;
  std::vector<RuleRow> rows;
  bool operator==(const ProfileEditorInput&) const = default;
};

// Bytes the editor reads from the login and password boxes (the record's fields less their
// terminator); the boxes refuse typing beyond them.
constexpr size_t kLoginRead = 31;
constexpr size_t kPasswordRead = 31;

// The first max characters of text.
std::string text_limit(const std::string& text, size_t max);

// Checks a tag as read from the tag box (already cut to 30 characters): not empty, and after
// folding "A" to "Z" to lower case only "a" to "z", "0" to "9", "-" and "_". Folds *tag in place
// as it walks. Returns true when acceptable, else fills *error.
bool profile_tag_check(std::string* tag, DialogMessage* error);

// OK of the profile editor, in its order: tag (cut to 30, checked; in create mode refused when
// profile_load finds a profile by that tag), description, server, port (refused outside 1 to
// 65535, caption "Port Error"), login, password (each cut to its limit), the throttling fields
// read and validated, then the rules rebuilt from the rows in row order. Overwrites *profile
// field by field as it goes. Returns true when the record is ready for profile_create, false
// with *error set at the first failure.
bool profile_editor_collect(const ProfileEditorInput& input, EditorMode mode,
                            ProfileSettings* profile, DialogMessage* error);

// The include rows whose path is not absolute or names nothing that exists (exists tells), in
// row order: a run would leave them out with a warning each. Pure but for exists.
std::vector<std::string> include_paths_doubtful(const std::vector<RuleRow>& rows,
                                                const std::function<bool(const std::string&)>& exists);

// Rebuilds the record's rules from the rows: each row's path (cut to 254 characters) appended to
// include_rules when its mode is exactly "Include", else to exclude_rules.
void profile_rules_from_rows(const std::vector<RuleRow>& rows, ProfileSettings* profile);

// The rows that show a record's rules: every include rule, then every exclude rule.
std::vector<RuleRow> profile_rule_rows(const ProfileSettings& profile);

// The first entry of profile_list whose tag equals the row's tag text (cut to 254 characters)
// exactly, or nullptr.
ProfileListEntry* profile_entry_of_row(const std::string& row_tag);

}  // namespace vl
