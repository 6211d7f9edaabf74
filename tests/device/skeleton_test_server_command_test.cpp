// The telmora-skeleton-test-server program: it serves records until Ctrl-C or SIGTERM, then
// ends cleanly.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "network/net_test_support.h"

extern char** environ;

namespace {

// Connects to 127.0.0.1:port, retrying while the program starts; -1 if it never listens.
int connectWhenListening(std::uint16_t port) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // poll interval
    }
    return -1;
}

bool readRecord(int fd) {
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::vector<char> record(3136);
    std::size_t got = 0;
    while (got < record.size()) {
        const ssize_t n = ::recv(fd, record.data() + got, record.size() - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

TEST(SkeletonTestServerCommandTest, ServesUntilCtrlCOrSigtermAndEndsCleanly) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        // A TCP port that was free a moment ago (the UDP helper's number serves as well).
        const std::uint16_t port = telmora::test::freeUdpPort();
        const std::string portText = std::to_string(port);
        std::vector<std::string> args = {
            TELMORA_SKELETON_TEST_SERVER_EXE, "--zeros", "--port", portText, "--rate", "200"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        const int fd = connectWhenListening(port);
        EXPECT_GE(fd, 0);
        if (fd >= 0) {
            EXPECT_TRUE(readRecord(fd));
            ::close(fd);
        }
        ::kill(pid, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status)) << "ended by a signal";
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

}  // namespace
