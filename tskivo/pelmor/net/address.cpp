#include "address.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace pelmor {

int Endpoint::port() const {
    if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

std::string bareHost(const std::string& host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

ServerAddress::ServerAddress(std::string host, std::string port) : host_(std::move(host)), port_(std::move(port)) {
    const auto portNumber = static_cast<std::uint16_t>(std::atoi(port_.c_str()));
    if (host_ == "ANY") {
        Endpoint any;
        auto* in = reinterpret_cast<sockaddr_in*>(&any.address);
        in->sin_family = AF_INET;
        in->sin_port = htons(portNumber);
        in->sin_addr.s_addr = htonl(INADDR_ANY);
        any.length = sizeof(sockaddr_in);
        endpoints_.push_back(any);
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    const std::string name = bareHost(host_);
    addrinfo* result = nullptr;
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (rc != 0) {
        // AI_ADDRCONFIG hides loopback-only families on a host without
        // other addresses; ask once more without it.
        hints.ai_flags = 0;
        rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
    }
    if (rc != 0 || !result) {
        error_ = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
        unknownName_ = rc == EAI_NONAME;
        return;
    }
    for (const addrinfo* a = result; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Endpoint e;
        std::memcpy(&e.address, a->ai_addr, a->ai_addrlen);
        e.length = a->ai_addrlen;
        if (a->ai_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(&e.address)->sin6_port = htons(portNumber);
        else
            reinterpret_cast<sockaddr_in*>(&e.address)->sin_port = htons(portNumber);
        endpoints_.push_back(e);
    }
    freeaddrinfo(result);
}

}  // namespace pelmor
