#include "platform/SingleInstance.h"
#include "TestSupport.h"
#include <gtest/gtest.h>
#include <mutex>

#if JUCE_LINUX
#include <atomic>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
juce::String uniqueName()
{
    return "tamarind-test-" + juce::String::toHexString(juce::Random::getSystemRandom().nextInt64());
}

// The abstract socket address an instance uses.
socklen_t addressOf(const juce::String& name, sockaddr_un& addr)
{
    addr = {};
    addr.sun_family = AF_UNIX;
    const auto address = platform::SingleInstance(name).getAddress();
    std::memcpy(addr.sun_path + 1, address.toRawUTF8(), std::strlen(address.toRawUTF8()));
    return (socklen_t)(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(address.toRawUTF8()));
}

// A plain client or server socket on an instance's address, as any local
// program could open one.
int rawSocket(const sockaddr_un& addr, socklen_t len, bool server)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const auto* a = reinterpret_cast<const sockaddr*>(&addr);
    if (fd >= 0 && (server ? ::bind(fd, a, len) : ::connect(fd, a, len)) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

struct Received
{
    std::mutex m;
    juce::StringArray lines;
    std::function<void(const juce::String&)> handler()
    {
        return [this](const juce::String& text)
        {
            const std::lock_guard<std::mutex> g(m);
            lines.add(text);
        };
    }
    juce::StringArray get()
    {
        const std::lock_guard<std::mutex> g(m);
        return lines;
    }
};
} // namespace

TEST(SingleInstance, ALaterLaunchHandsItsCommandLineToTheFirst)
{
    const auto name = uniqueName();
    platform::SingleInstance first(name);
    ASSERT_TRUE(first.claimOrHandOver("ignored"));
    Received received;
    first.startListening(received.handler());

    platform::SingleInstance second(name);
    EXPECT_FALSE(second.claimOrHandOver(juce::String::fromUTF8("my preset \xc3\xa9")));
    platform::SingleInstance third(name);
    EXPECT_FALSE(third.claimOrHandOver(""));
    first.stopListening();
    ASSERT_EQ(received.get().size(), 2);
    EXPECT_EQ(received.get()[0], juce::String::fromUTF8("my preset \xc3\xa9"));
    EXPECT_EQ(received.get()[1], "");
    EXPECT_TRUE(first.getNote().isEmpty());

    // Once the first has gone, the name is free again.
    platform::SingleInstance gone(name);
    EXPECT_TRUE(gone.claimOrHandOver(""));
    EXPECT_TRUE(gone.getNote().isEmpty());
}

TEST(SingleInstance, DifferentInstanceNamesRunSideBySide)
{
    const auto name = uniqueName();
    ::setenv("TAMARIND_INSTANCE_NAME", "one", 1);
    platform::SingleInstance one(name);
    ::setenv("TAMARIND_INSTANCE_NAME", "two", 1);
    platform::SingleInstance two(name);
    ::unsetenv("TAMARIND_INSTANCE_NAME");
    EXPECT_TRUE(one.claimOrHandOver(""));
    EXPECT_TRUE(two.claimOrHandOver(""));
    EXPECT_TRUE(one.getNote().isEmpty());
    EXPECT_TRUE(two.getNote().isEmpty());
}

// A program that holds the name and never answers, or does not even accept,
// keeps a launch waiting only for the hand-over's time; it then runs alone.
TEST(SingleInstance, AHolderThatNeverAnswersDelaysALaunchOnlyBriefly)
{
    const platform::SingleInstance::Timing quick{200, 100};
    const auto name = uniqueName();
    sockaddr_un addr;
    const auto len = addressOf(name, addr);
    const int squatter = rawSocket(addr, len, true);
    ASSERT_GE(squatter, 0);
    platform::SingleInstance refused(name, quick);
    EXPECT_TRUE(refused.claimOrHandOver("preset"));
    EXPECT_EQ(refused.getNote(), "The instance name is held by a program that does not accept; this launch "
                                 "runs as the only instance.");

    ASSERT_EQ(::listen(squatter, 1), 0);
    platform::SingleInstance ignored(name, quick);
    EXPECT_TRUE(ignored.claimOrHandOver("preset"));
    EXPECT_EQ(ignored.getNote(),
              "The program holding the instance name did not take the command line within 200 "
              "ms; this launch runs as the only instance.");
    ::close(squatter);
}

TEST(SingleInstance, SlowIdleAndOversizedClientsDelayNoOther)
{
    const auto name = uniqueName();
    platform::SingleInstance first(name, {1000, 300});
    ASSERT_TRUE(first.claimOrHandOver(""));
    Received received;
    first.startListening(received.handler());
    sockaddr_un addr;
    const auto len = addressOf(name, addr);

    // Idle connections beyond the number served at once, and one client that
    // sends a byte now and then until the later launch has been served.
    std::vector<int> idle;
    for (int i = 0; i < 2 * platform::SingleInstance::kMaxClients; ++i)
        idle.push_back(rawSocket(addr, len, false));
    std::atomic<bool> served{false}, dribbling{true};
    const int slowFd = rawSocket(addr, len, false);
    std::thread slow(
        [&]
        {
            for (int i = 0; i < 500 && !served; ++i)
            {
                ::send(slowFd, "x", 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            dribbling = !served;
        });
    platform::SingleInstance later(name);
    EXPECT_FALSE(later.claimOrHandOver("later"));
    served = true;
    slow.join();
    EXPECT_FALSE(dribbling) << "served only once the slow client gave up";

    // A command line longer than any preset name is dropped, not delivered.
    platform::SingleInstance huge(name, {1000, 300});
    EXPECT_TRUE(huge.claimOrHandOver(
        juce::String::repeatedString("a", platform::SingleInstance::kMaxCommandLine + 1)));
    first.stopListening();
    // Nothing of the slow, idle or oversized ones.
    EXPECT_EQ(received.get().joinIntoString("|"), "later");
    ::close(slowFd);
    for (int fd : idle)
        ::close(fd);
}

// The abstract socket has no permissions: another user's program could send
// a preset name, or take the name to swallow every launch.
TEST(SingleInstance, AnotherUsersProgramIsNeitherServedNorTrusted)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const uid_t nobody = 65534;
    const auto name = uniqueName();
    sockaddr_un addr;
    const auto len = addressOf(name, addr);
    platform::SingleInstance first(name);
    ASSERT_TRUE(first.claimOrHandOver(""));
    Received received;
    first.startListening(received.handler());
    const pid_t sender = ::fork();
    if (sender == 0)
    {
        // Only system calls from here on: the parent has threads.
        if (::setuid(nobody) != 0)
            ::_exit(2);
        const int fd = rawSocket(addr, len, false);
        ::send(fd, "evil", 4, MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        char ack = 0;
        ::_exit(::recv(fd, &ack, 1, 0) == 1 ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(sender, &status, 0), sender);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another user's command line was acknowledged";
    first.stopListening();
    EXPECT_TRUE(received.get().isEmpty());

    // Another user holds the name of this user's instance and answers everything.
    const auto taken = uniqueName();
    sockaddr_un takenAddr;
    const auto takenLen = addressOf(taken, takenAddr);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t squatter = ::fork();
    if (squatter == 0)
    {
        if (::setuid(nobody) != 0)
            ::_exit(2);
        const int fd = rawSocket(takenAddr, takenLen, true);
        ::listen(fd, 4);
        ::write(ready[1], "r", 1);
        for (;;)
        {
            const int c = ::accept(fd, nullptr, nullptr);
            char buffer[256];
            while (::recv(c, buffer, sizeof(buffer), 0) > 0)
            {
            }
            ::send(c, "k", 1, MSG_NOSIGNAL);
            ::close(c);
        }
    }
    char r = 0;
    ASSERT_EQ(::read(ready[0], &r, 1), 1);
    platform::SingleInstance launch(taken);
    EXPECT_TRUE(launch.claimOrHandOver("preset"));
    EXPECT_EQ(launch.getNote(),
              "The instance name is held by another user's program; this launch runs as the only instance.");
    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, &status, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}
#endif
