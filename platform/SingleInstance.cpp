#include "platform/SingleInstance.h"

#if JUCE_LINUX || JUCE_BSD
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#define TAMARIND_OWN_SINGLE_INSTANCE 1
#else
#define TAMARIND_OWN_SINGLE_INSTANCE 0
#endif

namespace platform
{
#if TAMARIND_OWN_SINGLE_INSTANCE
namespace
{
// Abstract socket names live in the kernel only, so a crashed instance leaves
// nothing behind.
socklen_t makeAddress(const juce::String& name, sockaddr_un& addr)
{
    addr = {};
    addr.sun_family = AF_UNIX;
    const char* utf8 = name.toRawUTF8();
    const size_t n = juce::jmin(std::strlen(utf8), sizeof(addr.sun_path) - 1);
    addr.sun_path[0] = 0;
    std::memcpy(addr.sun_path + 1, utf8, n);
    return (socklen_t)(offsetof(sockaddr_un, sun_path) + 1 + n);
}
} // namespace
#endif

SingleInstance::SingleInstance(const juce::String& name)
{
    address = name + "-" + juce::SystemStats::getLogonName();
#if TAMARIND_OWN_SINGLE_INSTANCE
    address << "-" << juce::String((int)getuid());
#endif
    const auto suffix = juce::SystemStats::getEnvironmentVariable("TAMARIND_INSTANCE_NAME", {});
    if (suffix.isNotEmpty())
        address << "-" << suffix;
}

SingleInstance::~SingleInstance()
{
    stopListening();
}

bool SingleInstance::claimOrHandOver(const juce::String& commandLine)
{
#if TAMARIND_OWN_SINGLE_INSTANCE
    sockaddr_un addr;
    const socklen_t len = makeAddress(address, addr);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true; // cannot tell: behave as the only instance
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd, 8) == 0)
    {
        serverFd = fd;
        return true;
    }
    ::close(fd);

    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0)
        return true;
    if (::connect(client, reinterpret_cast<sockaddr*>(&addr), len) != 0)
    {
        ::close(client);
        return true;
    }
    const char* utf8 = commandLine.toRawUTF8();
    size_t remaining = std::strlen(utf8);
    while (remaining > 0)
    {
        const ssize_t n = ::send(client, utf8, remaining, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        utf8 += n;
        remaining -= (size_t)n;
    }
    ::shutdown(client, SHUT_WR);
    char ack;
    ::recv(client, &ack, 1, 0); // wait until the first instance has read it
    ::close(client);
    return false;
#else
    juce::ignoreUnused(commandLine);
    return true;
#endif
}

void SingleInstance::startListening(std::function<void(const juce::String&)> handler)
{
#if TAMARIND_OWN_SINGLE_INSTANCE
    if (serverFd < 0 || listening.exchange(true))
        return;
    onCommandLine = std::move(handler);
    thread = std::thread([this] { acceptLoop(); });
#else
    juce::ignoreUnused(handler);
#endif
}

void SingleInstance::stopListening()
{
    listening = false;
    if (thread.joinable())
        thread.join();
#if TAMARIND_OWN_SINGLE_INSTANCE
    if (serverFd >= 0)
    {
        ::close(serverFd);
        serverFd = -1;
    }
#endif
}

void SingleInstance::acceptLoop()
{
#if TAMARIND_OWN_SINGLE_INSTANCE
    while (listening)
    {
        pollfd p{serverFd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const int client = ::accept4(serverFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        juce::MemoryOutputStream text;
        char buffer[1024];
        for (;;)
        {
            pollfd c{client, POLLIN, 0};
            if (::poll(&c, 1, 2000) <= 0)
                break;
            const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0 || text.getDataSize() > 65536)
                break;
            text.write(buffer, (size_t)n);
        }
        ::send(client, "k", 1, MSG_NOSIGNAL);
        ::close(client);
        if (onCommandLine)
            onCommandLine(text.toUTF8());
    }
#endif
}
} // namespace platform
