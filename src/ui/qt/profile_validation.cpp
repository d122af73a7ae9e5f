#include "ui/qt/profile_validation.h"

#include "stores/profile_db.h"

namespace vl {


// Characters the editor reads from each box (the record's buffers less their terminator).
constexpr size_t kTagRead = 30;
constexpr size_t kDescriptionRead = 254;
constexpr size_t kServerRead = 254;
constexpr size_t kRowTextRead = 254;

static const char* const kCreateCaption = "Unable to create profile";

std::string text_limit(const std::string& text, size_t max) {
  return text.size() > max ? text.substr(0, max) : text;
}

bool profile_tag_check(std::string* tag, DialogMessage* error) {
  if (tag->empty()) {
    *error = {"A profile tag must be entered!", kCreateCaption, 1005};
    return false;
  }
  for (char& c : *tag) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!allowed) {
      *error = {"Profile tags may only consist of letters, numbers,\ndashes or underscores.",
                kCreateCaption, 1005};
      return false;
    }
  }
  return true;
}

bool profile_editor_collect(const ProfileEditorInput& in, EditorMode mode, ProfileSettings* p,
                            DialogMessage* error) {
  p->tag = text_limit(in.tag, kTagRead);
  if (!profile_tag_check(&p->tag, error)) return false;
  if (mode == EditorMode::create) {
    std::unique_ptr<ProfileSettings> existing = profile_load(p->tag, true);
    if (existing) {
      profile_free(existing);
      *error = {"A profile with that tag name already exists!", kCreateCaption, 1005};
      return false;
    }
  }
  p->description = text_limit(in.description, kDescriptionRead);
  p->server = text_limit(in.server, kServerRead);
  // A port outside 1 to 65535 cannot be connected to: refused rather than stored as 0 or
  // modulo 65536 (70000 would become 4464, another service's port).
  int32_t port = decimal_value(in.port);
  if (port < 1 || port > 65535) {
    *error = {"The port must be a number from 1 to 65535.", "Port Error", 1049};
    return false;
  }
  p->port = static_cast<uint16_t>(port);
  p->login = text_limit(in.login, kLoginRead);
  p->password = text_limit(in.password, kPasswordRead);

  ThrottleValues values = throttle_read(in.throttle);
  throttle_store(*p, values);
  if (!throttle_validate(values, error)) return false;

  profile_rules_from_rows(in.rows, p);
  return true;
}

std::vector<std::string> include_paths_doubtful(const std::vector<RuleRow>& rows,
                                                const std::function<bool(const std::string&)>& exists) {
  std::vector<std::string> doubtful;
  for (const RuleRow& row : rows)
    if (row.mode == kModeInclude && (row.path.empty() || row.path[0] != '/' || !exists(row.path)))
      doubtful.push_back(row.path);
  return doubtful;
}

void profile_rules_from_rows(const std::vector<RuleRow>& rows, ProfileSettings* p) {
  p->include_rules.clear();
  p->exclude_rules.clear();
  for (const RuleRow& row : rows) {
    ProfileRule rule{text_limit(row.path, kRowTextRead)};
    if (text_limit(row.mode, kRowTextRead) == kModeInclude)
      p->include_rules.push_back(rule);
    else
      p->exclude_rules.push_back(rule);
  }
}

std::vector<RuleRow> profile_rule_rows(const ProfileSettings& p) {
  std::vector<RuleRow> rows;
  for (const ProfileRule& r : p.include_rules) rows.push_back({kModeInclude, r.path});
  for (const ProfileRule& r : p.exclude_rules) rows.push_back({kModeExclude, r.path});
  return rows;
}

ProfileListEntry* profile_entry_of_row(const std::string& row_tag) {
  std::string tag = text_limit(row_tag, kRowTextRead);
  for (const auto& entry : profile_list)
    if (entry->tag == tag) return entry.get();
  return nullptr;
}

}  // namespace vl
