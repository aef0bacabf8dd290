// TLS over a connected socket (implicit TLS, as NNTPS speaks it from the
// first byte): the handshake with the certificate checked against the
// system's trust store and the host name, then reads and writes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace pelmor {

class TlsLayer {
public:
    TlsLayer();
    ~TlsLayer();
    TlsLayer(const TlsLayer&) = delete;
    TlsLayer& operator=(const TlsLayer&) = delete;

    // False with `reason` when the handshake fails.
    bool start(int fd, const std::string& host, std::string& reason);
    // The server's certificate failed verification (waiting will not mend it).
    bool certificateRejected() const { return certificateRejected_; }
    // The handshake met plain text (a news server's greeting on a port
    // without TLS): OpenSSL's "wrong version number" and its kin.
    bool plainTextPeer() const { return plainTextPeer_; }
    // Like send(2) and recv(2): the count, 0 at an orderly end (receive), or
    // -1; `peerClosed` is set when the server has gone.
    long long send(const char* data, std::size_t length, bool& peerClosed);
    long long receive(char* buffer, std::size_t length, bool& peerClosed);
    // Decrypted bytes waiting to be read.
    bool pending() const;
    void shutdown();

private:
    struct State;
    std::unique_ptr<State> state_;
    bool certificateRejected_ = false;
    bool plainTextPeer_ = false;
};

}  // namespace pelmor
