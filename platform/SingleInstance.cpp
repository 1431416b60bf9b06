#include "platform/SingleInstance.h"

#if JUCE_LINUX || JUCE_BSD
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>
#define TAMARIND_OWN_SINGLE_INSTANCE 1
#else
#define TAMARIND_OWN_SINGLE_INSTANCE 0
#endif

namespace platform
{
#if TAMARIND_OWN_SINGLE_INSTANCE
namespace
{
using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return (int)juce::jlimit<long long>(0, 60000, (long long)left);
}

// Abstract socket names live in the kernel only, so a crashed instance leaves
// nothing behind. They carry no permissions, which is why both ends check who
// is on the other side.
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

bool peerIsThisUser(int fd)
{
#if JUCE_LINUX
    ucred peer{};
    socklen_t length = sizeof(peer);
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::getuid();
#else
    uid_t uid = 0;
    gid_t gid = 0;
    return ::getpeereid(fd, &uid, &gid) == 0 && uid == ::getuid();
#endif
}

// Waits for `events` on `fd` until `end`; false when the time ran out.
bool waitFor(int fd, short events, Clock::time_point end)
{
    for (;;)
    {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, msLeft(end));
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

struct Client
{
    int fd;
    Clock::time_point deadline;
    std::string text;
};

// Sends the command line to the running instance and waits for its
// acknowledgement, within one deadline. Returns why it could not (empty when
// the running instance took it).
juce::String handOver(const sockaddr_un& addr, socklen_t len, const juce::String& commandLine, int handOverMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(handOverMs);
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (client < 0)
        return "No socket to hand the command line over";
    int connected = -1;
    // A full backlog answers EAGAIN: the name's holder is not accepting.
    while ((connected = ::connect(client, reinterpret_cast<const sockaddr*>(&addr), len)) != 0 &&
           errno == EAGAIN && msLeft(end) > 0)
        ::usleep(5000);
    if (connected != 0)
    {
        ::close(client);
        return "The instance name is held by a program that does not accept";
    }
    if (!peerIsThisUser(client))
    {
        ::close(client);
        return "The instance name is held by another user's program";
    }
    const char* utf8 = commandLine.toRawUTF8();
    size_t remaining = std::strlen(utf8);
    bool sent = true;
    while (remaining > 0 && sent)
    {
        const ssize_t n = ::send(client, utf8, remaining, MSG_NOSIGNAL);
        if (n > 0)
        {
            utf8 += n;
            remaining -= (size_t)n;
        }
        else
            sent = (n < 0 && (errno == EAGAIN || errno == EINTR)) && waitFor(client, POLLOUT, end);
    }
    ::shutdown(client, SHUT_WR);
    // The running instance answers once it has read the whole command line.
    char ack = 0;
    const bool taken = sent && waitFor(client, POLLIN, end) && ::recv(client, &ack, 1, 0) == 1 && ack == 'k';
    ::close(client);
    if (taken)
        return {};
    return "The program holding the instance name did not take the command line within " +
           juce::String(handOverMs) + " ms";
}
// Reads what a client sent; false when it is done with (delivered, or
// dropped for being too slow, too long or broken: nothing of it is used).
bool serveClient(Client& c, short revents, const std::function<void(const juce::String&)>& onCommandLine,
                 int maxCommandLine)
{
    bool finished = false;
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
    {
        char buffer[4096];
        const ssize_t n = ::recv(c.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n > 0)
            c.text.append(buffer, (size_t)n);
        finished =
            n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) || c.text.size() > (size_t)maxCommandLine;
        if (n == 0 && c.text.size() <= (size_t)maxCommandLine)
        {
            // The whole command line: acknowledge it, then deliver it.
            ::send(c.fd, "k", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(c.fd);
            if (onCommandLine)
                onCommandLine(juce::String::fromUTF8(c.text.data(), (int)c.text.size()));
            return false;
        }
    }
    if (finished || msLeft(c.deadline) == 0)
    {
        ::close(c.fd);
        return false;
    }
    return true;
}
} // namespace
#endif

SingleInstance::SingleInstance(const juce::String& name, Timing timingIn) : timing(timingIn)
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
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd, 16) == 0)
    {
        serverFd = fd;
        return true;
    }
    ::close(fd);

    // The whole hand-over, connecting included, has one deadline.
    const auto why = handOver(addr, len, commandLine, timing.handOverMs);
    if (why.isEmpty())
        return false;
    note = why + "; this launch runs as the only instance.";
    return true;
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
    thread = std::thread([this] { serveLoop(); });
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

// One thread serves every client at once: each has its own deadline, so a
// client that sends slowly or not at all holds up no other.
void SingleInstance::serveLoop()
{
#if TAMARIND_OWN_SINGLE_INSTANCE
    std::vector<Client> clients;
    std::vector<pollfd> fds;
    while (listening)
    {
        fds.assign(1, pollfd{serverFd, POLLIN, 0});
        int wait = 100; // also how soon a stop is noticed
        for (const auto& c : clients)
        {
            fds.push_back(pollfd{c.fd, POLLIN, 0});
            wait = juce::jmin(wait, msLeft(c.deadline));
        }
        if (::poll(fds.data(), (nfds_t)fds.size(), wait) < 0 && errno != EINTR)
            break;

        std::vector<Client> open;
        for (size_t i = 0; i < clients.size(); ++i)
            if (serveClient(clients[i], fds[i + 1].revents, onCommandLine, kMaxCommandLine))
                open.push_back(std::move(clients[i]));
        clients = std::move(open);

        if ((fds[0].revents & POLLIN) != 0)
        {
            const int fd = ::accept4(serverFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0 && !peerIsThisUser(fd))
                ::close(fd); // another user's program gets nothing in
            else if (fd >= 0)
            {
                if ((int)clients.size() >= kMaxClients)
                {
                    ::close(clients.front().fd);
                    clients.erase(clients.begin());
                }
                clients.push_back(
                    Client{fd, Clock::now() + std::chrono::milliseconds(timing.clientMs), std::string()});
            }
        }
    }
    for (auto& c : clients)
        ::close(c.fd);
#endif
}
} // namespace platform
