// A news server as one connection needs it: where it is, whether it speaks
// TLS, and the log-in.
#pragma once

#include <optional>
#include <string>

namespace pelmor {

struct Credentials {
    std::string user;
    std::string password;
};

struct ServerSettings {
    std::string host;
    int port = 119;
    bool tls = false;
    std::optional<Credentials> login;  // none: no AUTHINFO, even with a password
    // "host:port" as the log names the server.
    std::string label() const { return host + ":" + std::to_string(port); }
};

// A SOCKS5 proxy (RFC 1928) every connection goes through; it resolves the
// servers' names itself.
struct ProxySettings {
    std::string host;
    int port = 1080;
    std::optional<Credentials> login;  // RFC 1929 user name and password
    std::string label() const { return host + ":" + std::to_string(port); }
};

}  // namespace pelmor
