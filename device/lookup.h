#pragma once

// A host name looked up on a thread of its own: the resolver cannot be
// told to stop, so the caller waits in slices that look at the stop, and a
// stop returns at once, leaving the lookup to end by itself and drop what
// it found.

#include "device/stop.h"

#include <memory>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

namespace modbuscalc::device {

// getaddrinfo's signature, so that a test can stand in for the resolver.
using Resolver = int (*)(const char *, const char *, const addrinfo *, addrinfo **);

struct Lookup {
    bool stopped = false; // a stop came first: nothing else is set
    int status = 0; // getaddrinfo's
    std::shared_ptr<addrinfo> addresses; // freed with freeaddrinfo
};

Lookup LookUp(const std::string &host, const std::string &port, const addrinfo &hints,
    const Stop &stop, Resolver resolve = ::getaddrinfo);

} // namespace modbuscalc::device
