#include "socks5.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace pelmor {

namespace {

// Whole messages of the proxy conversation, within the time-out.
bool sendAll(int fd, const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool receiveAll(int fd, unsigned char* into, std::size_t length, int timeoutMs) {
    for (std::size_t done = 0; done < length;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        const ssize_t n = ::recv(fd, into + done, length - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

const char* socksReply(int code) {
    static const char* const kReplies[] = {"succeeded",
                                          "general failure",
                                          "connection not allowed by its rules",
                                          "network unreachable",
                                          "host unreachable",
                                          "connection refused",
                                          "TTL expired",
                                          "command not supported",
                                          "address type not supported"};
    return code >= 0 && code <= 8 ? kReplies[code] : "an unknown reply";
}

}  // namespace

std::string socks5ConnectRequest(const std::string& host, int port) {
    std::string request("\x05\x01\x00", 3);
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        request += '\x01';
        request.append(reinterpret_cast<const char*>(&v4), 4);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        request += '\x04';
        request.append(reinterpret_cast<const char*>(&v6), 16);
    } else {
        if (host.empty() || host.size() > 255) return {};
        request += '\x03';
        request += static_cast<char>(host.size());
        request += host;
    }
    request += static_cast<char>((port >> 8) & 0xFF);  // network order
    request += static_cast<char>(port & 0xFF);
    return request;
}

Socks5Result socks5Connect(int fd, const ProxySettings& proxy, const std::string& host, int port, int timeoutMs) {
    using Kind = Socks5Result::Kind;
    const auto fail = [](std::string why, Kind kind = Kind::Refused) { return Socks5Result{kind, std::move(why)}; };
    unsigned char reply[4];
    const std::string hello = proxy.login ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3);
    if (!sendAll(fd, hello) || !receiveAll(fd, reply, 2, timeoutMs)) return fail("did not answer", Kind::Unreachable);
    if (reply[0] != 5) return fail("does not speak SOCKS5");
    if (reply[1] == 0x02) {
        if (!proxy.login) return fail("wants a user name and password");
        const Credentials& login = *proxy.login;
        if (login.user.size() > 255 || login.password.size() > 255)
            return fail("cannot be given a user name or password that long");
        std::string auth("\x01", 1);
        auth += static_cast<char>(login.user.size());
        auth += login.user;
        auth += static_cast<char>(login.password.size());
        auth += login.password;
        if (!sendAll(fd, auth) || !receiveAll(fd, reply, 2, timeoutMs)) return fail("did not answer the log-in");
        if (reply[1] != 0) return fail("refused the user name or password");
    } else if (reply[1] != 0x00) {
        return fail("accepts none of our ways to log in");
    }
    const std::string request = socks5ConnectRequest(host, port);
    if (request.empty()) return fail("cannot be given a name that long");
    if (!sendAll(fd, request) || !receiveAll(fd, reply, 4, timeoutMs)) return fail("did not answer the CONNECT");
    if (reply[1] != 0) {
        // Refused, no route, no host: the server may be back later.
        const bool passing = reply[1] == 5 || reply[1] == 3 || reply[1] == 4;
        return fail("could not reach " + host + ":" + std::to_string(port) + " (" + socksReply(reply[1]) + ")",
                    passing ? Kind::Unreachable : Kind::Refused);
    }
    // The address the proxy connected from: read and set aside.
    unsigned char rest[258];
    std::size_t more = reply[3] == 1 ? 4 : reply[3] == 4 ? 16 : 0;
    if (reply[3] == 3) {
        if (!receiveAll(fd, rest, 1, timeoutMs)) return fail("broke off its reply");
        more = rest[0];
    } else if (reply[3] != 1 && reply[3] != 4) {
        return fail("gave an address of an unknown kind");
    }
    if (!receiveAll(fd, rest, more + 2, timeoutMs)) return fail("broke off its reply");
    return {};
}

}  // namespace pelmor
