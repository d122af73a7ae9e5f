// The throttling fields shared by the profile editor and the throttling dialog, without widgets:
// the list entries and their codes, reading the controls' states into values, the four checks,
// and storing the values into a profile record. UI thread.
#pragma once

#include <cstdint>
#include <string>

#include "run/profile_records.h"

namespace vl {

// A message box of a dialog: text and caption, exactly as shown.
struct DialogMessage {
  std::string text;
  std::string caption;
  int control = 0;  // the field the message is about (its control identifier), 0 for none
};

// Entries of the thread priority list (entry i stands for code 4 - i) and of both rate unit
// lists (entry i is unit code i), in the order they are added.
extern const char* const kPriorityEntries[5];
extern const char* const kRateUnitEntries[6];

// What the nine controls hold: selected entries (-1 when none), texts, check states.
struct ThrottleInput {
  int priority_entry = -1;
  std::string file_delay;
  std::string block_delay;
  bool tx_checked = false;
  std::string tx_rate;
  int tx_unit_entry = -1;
  bool rx_checked = false;
  std::string rx_rate;
  int rx_unit_entry = -1;
  bool operator==(const ThrottleInput&) const = default;
};

// The nine throttling values of a profile record.
struct ThrottleValues {
  uint32_t thread_priority = 1;
  int32_t file_delay_ms = 0;
  int32_t block_delay_ms = 0;
  int32_t tx_throttle = 0;
  int32_t tx_rate = 0;
  uint32_t tx_rate_unit = 1;
  int32_t rx_throttle = 0;
  int32_t rx_rate = 0;
  uint32_t rx_rate_unit = 1;
};

// The priority entry that shows code (4 - code; "Below Normal" for codes above 4), and the code
// an entry stands for (1 when no entry is selected).
int priority_entry_of(uint32_t code);
uint32_t priority_code_of(int entry);

// The unit entry that shows code (entry 1 for codes above 5), and the code of an entry (1 for an
// entry above 5 or no selection, the comparison being unsigned).
int rate_unit_entry_of(uint32_t code);
uint32_t rate_unit_code_of(int entry);

// The decimal value of a typed text: leading white space, an optional sign, then the digits up
// to the first other character; no digits give 0. Values beyond 32 bits saturate, so that a
// huge typed delay still reads as too large rather than wrapping into range.
int32_t decimal_value(const std::string& text);

// What the controls show for a set of values (numbers as signed decimals).
ThrottleInput throttle_show(const ThrottleValues& values);
// The values the controls stand for.
ThrottleValues throttle_read(const ThrottleInput& input);

// The four checks in their order: delay between files, delay between blocks (each at most 10000,
// compared unsigned), TX rate when TX is on, RX rate when RX is on (each at least 1). Returns
// true when all pass; otherwise fills *error with the first failure's message and caption.
bool throttle_validate(const ThrottleValues& values, DialogMessage* error);

// The nine fields of a record, and storing them back one field after the other in the order
// thread_priority, file_delay_ms, block_delay_ms, tx_throttle, tx_rate, tx_rate_unit,
// rx_throttle, rx_rate, rx_rate_unit (each field is one atomic word a running worker may read).
ThrottleValues throttle_values_of(const ProfileSettings& profile);
void throttle_store(ProfileSettings& profile, const ThrottleValues& values);

}  // namespace vl
