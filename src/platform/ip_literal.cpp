#include "platform/ip_literal.h"

#include <arpa/inet.h>

namespace vl {

bool ip_literal(const std::string& host) {
  unsigned char addr[16];
  return inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

}  // namespace vl
