// The rule editor's decisions, without widgets: the case-insensitive comparison of rule paths,
// OK's three checks, and which folders the folder chooser may return. UI thread.
#pragma once

#include <string>
#include <vector>

#include "ui/qt/profile_validation.h"

namespace vl {

// Compares two texts ignoring the case of "A" to "Z" (no other character is folded): walks while
// a has characters left and the folded characters are equal; returns the difference of the
// folded characters where it stopped (0: equal, terminator included).
int text_compare_nocase(const std::string& a, const std::string& b);

// OK of the rule editor: the typed path (cut to 259 characters) must not be empty, must not equal
// the path of any row (its first 254 characters, case-insensitively; the row being changed,
// changed_row, is skipped; -1 when adding), and an include rule must not contain "*" or "?".
// Returns true with *path set to the text to write, else false with *error set to the first
// failure (caption "Can't Add Include/Exclude").
bool rule_check(const std::string& typed, bool include, const std::vector<RuleRow>& rows,
                int changed_row, std::string* path, DialogMessage* error);

// Whether the folder chooser may return path: an existing directory that is not a symbolic link
// (lstat, so a link to a folder is refused like a shortcut).
bool folder_choice_acceptable(const std::string& path);

// The folder the folder chooser opens at for the text of the path box: that folder when it is
// one, else the nearest folder above it that is; home for an empty box and for a text that
// names no folder at all (a pattern such as "*.tmp").
std::string folder_chooser_start(const std::string& typed, const std::string& home);

}  // namespace vl
