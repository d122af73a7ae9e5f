#include "connection/ca_source.h"

#include <openssl/x509.h>

#include <cstdlib>

#include "platform/dirs.h"
#include "platform/fs.h"
#include "platform/settings.h"

namespace vl {

CaPlaces ca_places() {
  CaPlaces p;
  p.configured = ca_file();
  p.install_ca = path_join(install_dir(), "ca.crt");
  if (std::string config = user_config_dir(); !config.empty()) p.user_ca = path_join(config, "ca.crt");
  const char* file = std::getenv(X509_get_default_cert_file_env());
  const char* dir = std::getenv(X509_get_default_cert_dir_env());
  p.system_file = file && *file ? file : X509_get_default_cert_file();
  p.system_dir = dir && *dir ? dir : X509_get_default_cert_dir();
  return p;
}

CaPresence ca_presence(const CaPlaces& places) {
  CaPresence found;
  found.install_ca = !places.install_ca.empty() && file_exists(places.install_ca);
  found.user_ca = !places.user_ca.empty() && file_exists(places.user_ca);
  found.system_store = file_exists(places.system_file);
  // The folder is commonly a link (/usr/lib/ssl/certs to /etc/ssl/certs): followed here.
  DirReader dir(places.system_dir);
  std::string name;
  while (!found.system_store && dir.next(&name)) found.system_store = name != "." && name != "..";
  return found;
}

CaChoice ca_choose(const CaPlaces& places, const CaPresence& found) {
  if (!places.configured.empty()) return {CaKind::file, places.configured};
  if (found.install_ca) return {CaKind::file, places.install_ca};
  if (found.user_ca) return {CaKind::file, places.user_ca};
  if (found.system_store) return {CaKind::system, std::string()};
  return {};
}

std::string ca_error_text(const CaPlaces& places, const CaPresence& found, const CaChoice& choice) {
  auto state = [&](const std::string& path, bool present) {
    if (choice.kind == CaKind::file && choice.path == path) return "could not be read as PEM certificates";
    return present ? "present" : "not found";
  };
  std::string text = "Failed to load CA list!\n\nThe server's certificate is checked against the first of:\n";
  text += "- CA_File in the settings: " +
          (places.configured.empty() ? std::string("not set")
                                     : places.configured + ": " + state(places.configured, true)) +
          "\n";
  text += "- " + places.install_ca + ": " + state(places.install_ca, found.install_ca) + "\n";
  if (!places.user_ca.empty())
    text += "- " + places.user_ca + ": " + state(places.user_ca, found.user_ca) + "\n";
  text += "- the system's trust store (" + places.system_file + ", " + places.system_dir +
          "): " + (found.system_store ? "present" : "empty") + "\n\n";
  if (choice.kind == CaKind::file && choice.path == places.configured) {
    text += "Correct CA_File in the settings file, or remove the line to use the places below it.";
    return text;
  }
  if (choice.kind == CaKind::file) {
    text += "Replace " + choice.path + " with the PEM certificate of the authority that signed "
            "the server's certificate, or remove it.";
    return text;
  }
  text += "Save the certificate (PEM) of the authority that signed your server's certificate as " +
          (places.user_ca.empty() ? places.install_ca : places.user_ca) +
          ", or name it in the settings file as CA_File=PATH. A server with a publicly trusted "
          "certificate needs the system's trust store (the package ca-certificates).";
  return text;
}

}  // namespace vl
