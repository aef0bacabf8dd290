// The SOCKS5 conversation (RFC 1928, with the RFC 1929 log-in) over a
// connected socket: greeting, log-in when the proxy asks for it, CONNECT
// with the server's name so that the proxy resolves it (no lookup leaks
// here), and the proxy's reply read to its end.
#pragma once

#include <string>

#include "server.h"

namespace pelmor {

struct Socks5Result {
    enum class Kind { Connected, Unreachable, Refused };
    Kind kind = Kind::Connected;
    std::string why;  // for the log: "did not answer", "refused the user name or password", ...
    bool connected() const { return kind == Kind::Connected; }
};

// The CONNECT request for host:port: an IPv4 or IPv6 address in its own
// form, anything else as a name of at most 255 bytes (empty when longer).
std::string socks5ConnectRequest(const std::string& host, int port);

Socks5Result socks5Connect(int fd, const ProxySettings& proxy, const std::string& host, int port, int timeoutMs);

}  // namespace pelmor
