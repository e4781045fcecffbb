// A loopback TCP port nobody listens on at the moment of asking: for peers
// started by tests and benchmarks, and for connects that must find nobody.
#ifndef TESTS_COMMON_FREE_PORT_H
#define TESTS_COMMON_FREE_PORT_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline int free_loopback_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), len);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

#endif
