// The accept loop both minimal benchmark servers share: one blocking
// connection at a time on 127.0.0.1:PORT, shut down and closed once `serve`
// returns. Prints "listening" when ready, so the benchmark knows to start.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

template <typename Serve>
int serveOnLoopback(const char* portText, Serve serve) {
    ::signal(SIGPIPE, SIG_IGN);
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port = htons(static_cast<std::uint16_t>(std::atoi(portText)));
    if (::bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(listener, 64) != 0) {
        std::perror("bind/listen");
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    for (;;) {
        int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        serve(connection);
        ::shutdown(connection, SHUT_RDWR);
        ::close(connection);
    }
}
