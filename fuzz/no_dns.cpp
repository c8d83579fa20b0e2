// Name lookups for the fuzz targets, linked with --wrap=getaddrinfo,--wrap=freeaddrinfo: a fuzzer
// must never reach a resolver or the network. A name ending in ".test" resolves to 192.0.2.1 (an
// address nothing is ever sent to); every other name is unknown.
#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

static sockaddr_in stub_address;
static addrinfo stub_result;

extern "C" int __wrap_getaddrinfo(const char* node, const char*, const addrinfo*, addrinfo** res) {
    size_t n = node != nullptr ? std::strlen(node) : 0;
    if (n <= 5 || std::strcmp(node + n - 5, ".test") != 0) return EAI_NONAME;
    std::memset(&stub_address, 0, sizeof stub_address);
    stub_address.sin_family = AF_INET;
    stub_address.sin_addr.s_addr = htonl(0xC0000201u);
    std::memset(&stub_result, 0, sizeof stub_result);
    stub_result.ai_family = AF_INET;
    stub_result.ai_socktype = SOCK_DGRAM;
    stub_result.ai_addrlen = sizeof stub_address;
    stub_result.ai_addr = reinterpret_cast<sockaddr*>(&stub_address);
    *res = &stub_result;
    return 0;
}

extern "C" void __wrap_freeaddrinfo(addrinfo*) {}
