// Whether a host name as the user wrote it is a numeric address: a certificate names such a
// server among its IP addresses, not its DNS names.
#pragma once

#include <string>

namespace vl {

// True when host is an IPv4 ("192.0.2.1") or IPv6 ("::1", without brackets) address literal,
// false for anything else, a host name included. Any thread.
bool ip_literal(const std::string& host);

}  // namespace vl
