// Where the server's certificate finds the authority it is checked against: the first of the
// CA file the settings name, the installation's ca.crt, the user's own ca.crt and the system's
// trust store, and the start-up message that names every place looked at when none will do.
#pragma once

#include <string>

namespace vl {

// The places, in the order they are tried.
struct CaPlaces {
  std::string configured;   // CA_File of the settings; "" when not set
  std::string install_ca;   // Install_Dir/ca.crt
  std::string user_ca;      // ~/.config/corvantis/ca.crt ("" without a home)
  std::string system_file;  // the TLS library's default bundle ($SSL_CERT_FILE overrides it)
  std::string system_dir;   // its default folder of hashed certificates ($SSL_CERT_DIR)
};

// What each place holds, as looked up on the disk.
struct CaPresence {
  bool install_ca = false;
  bool user_ca = false;
  bool system_store = false;  // the default bundle exists, or the default folder is not empty
};

enum class CaKind { none, file, system };

struct CaChoice {
  CaKind kind = CaKind::none;
  std::string path;  // the file for CaKind::file
};

// The places of this process: the settings' CA_File (platform/dirs), the installation directory,
// the user's configuration folder and the TLS library's defaults. Main thread.
CaPlaces ca_places();

// Looks the places up on the disk. Main thread.
CaPresence ca_presence(const CaPlaces& places);

// The first place that applies: a configured CA_File always (a file that cannot be read then is
// an error, never a silent fall back to the system), else the first present file, else the
// system's trust store when present, else none. Pure.
CaChoice ca_choose(const CaPlaces& places, const CaPresence& presence);

// The start-up message when the choice could not be loaded (kind none, or a file the TLS library
// refused): "Failed to load CA list!", each place with what was found there, and how to fix it.
// Pure.
std::string ca_error_text(const CaPlaces& places, const CaPresence& presence, const CaChoice& choice);

}  // namespace vl
