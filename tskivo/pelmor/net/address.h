// Server names and addresses: a host resolved for IPv4 and IPv6.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace pelmor {

// One address of a server, IPv4 or IPv6.
struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family() const { return address.ss_family; }
    int port() const;
};

// The host resolved for any address family; a connection tries each address
// in turn, so a host with only an AAAA record, or "::1", works.
class ServerAddress {
public:
    ServerAddress(std::string host, std::string port);
    bool valid() const { return !endpoints_.empty(); }
    const std::vector<Endpoint>& endpoints() const { return endpoints_; }
    const std::string& host() const { return host_; }
    // The resolver's reason when the name gave no address.
    const std::string& error() const { return error_; }
    // The resolver said the name does not exist (waiting will not mend it).
    bool unknownName() const { return unknownName_; }

private:
    std::string host_;
    std::string port_;
    std::vector<Endpoint> endpoints_;
    std::string error_;
    bool unknownName_ = false;
};

// "[::1]" as URLs write it becomes "::1"; other names stay.
std::string bareHost(const std::string& host);

}  // namespace pelmor
