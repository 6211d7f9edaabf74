// Server discovery against announcers on several loopback addresses: what is accepted, what is
// refused and how it says so, when listeners hear of it, ageing, ports, and shared ports.
#include "network/discovery_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>

#include "common/wine.h"
#include "net_test_support.h"

namespace telmora {
namespace {

using test::CapturedLog;
using test::freeUdpPort;
using test::kDeadline;
using test::loopback;
using test::LoopbackPeer;
using test::Recorder;

std::string announcement(const std::string& serverName, long long streamPort,
                         const std::vector<std::string>& subjects) {
    std::string text = "{\"serverName\":\"" + serverName +
                       "\",\"streamPort\":" + std::to_string(streamPort) + ",\"subjects\":[";
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        text += (i ? ",\"" : "\"") + subjects[i] + "\"";
    }
    return text + "]}";
}

std::string discoveredLine(const std::string& serverName, int lastOctet, int streamPort) {
    return "Discovered server: " + serverName + " at 127.0.0." + std::to_string(lastOctet) + ":" +
           std::to_string(streamPort) + "\n";
}

// A service with a captured log and a counting listener.
class DiscoveryTest : public ::testing::Test {
protected:
    DiscoveryTest() : service(log.writer()) {}

    void start() {
        port = freeUdpPort();
        service.Start(port);
        ASSERT_TRUE(log.err().empty()) << log.err().front();
    }

    void listen() {
        token = service.RegisterUpdateCallback([this] { notifications.push(1); });
    }

    Ipv4Endpoint listening() const { return Ipv4Endpoint{loopback(1), port}; }

    // Sends `text` from `from` and waits until it has been accepted `times` times in total.
    void announce(const LoopbackPeer& from, const std::string& text, const std::string& line,
                  std::size_t times = 1) {
        from.send(text, listening());
        ASSERT_TRUE(log.waitForLine(LogStream::Out, line, times)) << "never logged: " << line;
    }

    CapturedLog log;
    Recorder<int> notifications;
    DiscoveryService service;
    std::shared_ptr<void> token;
    std::uint16_t port = 0;
};

TEST(DiscoveryAnnouncement, AcceptsRefusesOrIgnoresEachAnnouncement) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    enum class Outcome { Accepted, Refused, Ignored };
    struct Case {
        const char* name;
        std::string datagram;
        Outcome outcome;
        int port;             // Accepted: the stream port listed
        std::string errHead;  // Refused: the standard-error line starts with this...
        std::string errTail;  // ...and ends with this
    };
    const std::string json = "JSON parse error: ";
    const std::string ok = R"({"serverName":"Case","streamPort":5004,"subjects":[]})";
    auto padded = [&](std::size_t size) { return ok + std::string(size - ok.size(), ' '); };

    const std::vector<Case> cases = {
        {"no pluginName", R"({"serverName":"Case","streamPort":5000,"subjects":["A","B"]})",
         Outcome::Accepted, 5000, "", ""},
        {"our pluginName",
         R"({"pluginName":"Quenbrix","serverName":"Case","streamPort":5001,"subjects":[]})",
         Outcome::Accepted, 5001, "", ""},
        {"members in any order, others ignored",
         R"({"subjects":["S"],"version":3,"streamPort":5002,"serverName":"Case"})",
         Outcome::Accepted, 5002, "", ""},
        {"fractional port truncated", R"({"serverName":"Case","streamPort":5000.9,"subjects":[]})",
         Outcome::Accepted, 5000, "", ""},
        {"highest port", R"({"serverName":"Case","streamPort":65535,"subjects":[]})",
         Outcome::Accepted, 65535, "", ""},
        {"text ends at the first NUL", ok + std::string(1, '\0') + "garbage}", Outcome::Accepted,
         5004, "", ""},
        {"4095 bytes, the longest announcement", padded(4095), Outcome::Accepted, 5004, "", ""},
        {"another plug-in",
         R"({"pluginName":"Mobu","serverName":"Case","streamPort":1,"subjects":[]})",
         Outcome::Ignored, 0, "", ""},
        {"pluginName in another case",
         R"({"pluginName":"quenbrix","serverName":"Case","streamPort":1,"subjects":[]})",
         Outcome::Ignored, 0, "", ""},
        {"pluginName not a string",
         R"({"pluginName":1,"serverName":"Case","streamPort":1,"subjects":[]})", Outcome::Ignored,
         0, "", ""},
        {"empty datagram", "", Outcome::Ignored, 0, "", ""},
        {"4096 bytes, too long", padded(4096), Outcome::Refused, 0,
         "Announcement dropped: 4096 bytes from 127.0.0.2, longer than 4095\n", ""},
        {"serverName missing", R"({"streamPort":5000,"subjects":[]})", Outcome::Refused, 0,
         json + "[json.exception.type_error.302]", "type must be string, but is null\n"},
        {"port as a string", R"({"serverName":"Case","streamPort":"5000","subjects":[]})",
         Outcome::Refused, 0, json + "[json.exception.type_error.302]",
         "type must be number, but is string\n"},
        {"port missing", R"({"serverName":"Case","subjects":[]})", Outcome::Refused, 0,
         json + "[json.exception.type_error.302]", "type must be number, but is null\n"},
        {"subjects not an array", R"({"serverName":"Case","streamPort":5000,"subjects":"S"})",
         Outcome::Refused, 0, json + "[json.exception.type_error.302]",
         "type must be array, but is string\n"},
        {"subject not a string", R"({"serverName":"Case","streamPort":5000,"subjects":["S",1]})",
         Outcome::Refused, 0, json + "[json.exception.type_error.302]",
         "type must be string, but is number\n"},
        {"top level an array", R"([{"serverName":"Case"}])", Outcome::Refused, 0,
         json + "[json.exception.type_error.305]",
         "cannot use operator[] with a string argument with array\n"},
        {"top level a string", R"("Case")", Outcome::Refused, 0,
         json + "[json.exception.type_error.305]",
         "cannot use operator[] with a string argument with string\n"},
        {"top level a number", "42", Outcome::Refused, 0, json + "[json.exception.type_error.305]",
         "cannot use operator[] with a string argument with number\n"},
        {"not JSON", "hello", Outcome::Refused, 0, json + "[json.exception.parse_error.101]", "\n"},
        {"cut short", R"({"serverName":"Case","streamPort":)", Outcome::Refused, 0,
         json + "[json.exception.parse_error.101]", "\n"},
        {"comments are not JSON",
         R"({/* from the rig */"serverName":"Case","streamPort":5000,"subjects":[]})",
         Outcome::Refused, 0, json + "[json.exception.parse_error.101]", "\n"},
        {"ill-formed UTF-8", "{\"serverName\":\"\xC3\x28\",\"streamPort\":5000,\"subjects\":[]}",
         Outcome::Refused, 0, json + "[json.exception.parse_error.101]", "\n"},
        {"port 0", R"({"serverName":"Case","streamPort":0,"subjects":[]})", Outcome::Refused, 0,
         "Stream port out of range: 0\n", ""},
        {"port 65536", R"({"serverName":"Case","streamPort":65536,"subjects":[]})",
         Outcome::Refused, 0, "Stream port out of range: 65536\n", ""},
        {"negative port", R"({"serverName":"Case","streamPort":-5000,"subjects":[]})",
         Outcome::Refused, 0, "Stream port out of range: -5000\n", ""},
        {"port that a 32-bit read would wrap to 5000",
         R"({"serverName":"Case","streamPort":4294972296,"subjects":[]})", Outcome::Refused, 0,
         "Stream port out of range: 4294972296\n", ""},
        {"fraction below 1", R"({"serverName":"Case","streamPort":0.5,"subjects":[]})",
         Outcome::Refused, 0, "Stream port out of range: 0.5\n", ""},
    };

    const std::string sentinel = announcement("Sentinel", 7000, {});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        DiscoveryService service(log.writer());
        const std::uint16_t port = freeUdpPort();
        service.Start(port);
        LoopbackPeer announcer{2};
        announcer.send(c.datagram, Ipv4Endpoint{loopback(1), port});
        // Same sender, same socket: the sentinel is handled after the case's datagram.
        announcer.send(sentinel, Ipv4Endpoint{loopback(1), port});
        ASSERT_TRUE(log.waitForLine(LogStream::Out, discoveredLine("Sentinel", 2, 7000)));
        service.Stop();

        std::vector<std::string> expectedOut;
        if (c.outcome == Outcome::Accepted)
            expectedOut.push_back(discoveredLine("Case", 2, c.port));
        expectedOut.push_back(discoveredLine("Sentinel", 2, 7000));
        EXPECT_EQ(log.out(), expectedOut);

        const auto err = log.err();
        if (c.outcome == Outcome::Refused) {
            ASSERT_EQ(err.size(), 1u);
            const std::string& line = err.front();
            EXPECT_EQ(line.rfind(c.errHead, 0), 0u) << line;
            EXPECT_TRUE(line.size() >= c.errTail.size() &&
                        line.compare(line.size() - c.errTail.size(), c.errTail.size(), c.errTail) ==
                            0)
                << line;
        } else {
            EXPECT_TRUE(err.empty()) << err.front();
        }
    }
}

// A name holding control characters cannot forge a log line or reach the terminal as a
// control sequence: the line carries it escaped; the list keeps the name as sent.
TEST_F(DiscoveryTest, ControlCharactersOfANameAreEscapedInTheLogOnly) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    ASSERT_NO_FATAL_FAILURE(start());
    struct Case {
        std::string json;    // the name as the announcement's JSON text spells it
        std::string name;    // the name it stands for
        std::string logged;  // the name as the log line shows it
    };
    const std::vector<Case> cases = {
        {"Fake\\nDiscovered server: Evil at 10.0.0.9:1",
         "Fake\nDiscovered server: Evil at 10.0.0.9:1",
         "Fake\\nDiscovered server: Evil at 10.0.0.9:1"},
        {"\\u001b[2J\\u001b[31mRed", "\x1b[2J\x1b[31mRed", "\\x1b[2J\\x1b[31mRed"},
        {"Tab\\tReturn\\r", "Tab\tReturn\r", "Tab\\tReturn\\r"},
        {"Nul\\u0000Del\\u007f", std::string("Nul\0Del\x7f", 8), "Nul\\x00Del\\x7f"},
        {"J\u00f6ns \u00c5berg", "J\u00f6ns \u00c5berg", "J\u00f6ns \u00c5berg"},
    };
    LoopbackPeer announcer{2};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        ASSERT_NO_FATAL_FAILURE(
            announce(announcer, announcement(c.json, 5000, {}), discoveredLine(c.logged, 2, 5000)));
        const ServerMap servers = service.GetServers();
        ASSERT_EQ(servers.count(serverKey("127.0.0.2", c.name)), 1u);
        EXPECT_EQ(servers.at(serverKey("127.0.0.2", c.name)).serverName, c.name);
    }
    EXPECT_TRUE(log.err().empty());
}

TEST_F(DiscoveryTest, RepeatsRefreshTheEntryAndOnlyChangesNotify) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    ASSERT_NO_FATAL_FAILURE(start());
    listen();
    LoopbackPeer alpha{2};
    const std::string first = announcement("Alpha", 5000, {"Anna", "Ben"});
    const std::string line5000 = discoveredLine("Alpha", 2, 5000);

    // Identical repeats: one line each, one notification in all.
    for (std::size_t n = 1; n <= 3; ++n)
        ASSERT_NO_FATAL_FAILURE(announce(alpha, first, line5000, n));
    EXPECT_EQ(notifications.size(), 1u);
    ServerMap servers = service.GetServers();
    ASSERT_EQ(servers.size(), 1u);
    const std::string alphaKey = serverKey("127.0.0.2", "Alpha");
    const ServerInfo info = servers.at(alphaKey);
    EXPECT_EQ(info.serverName, "Alpha");
    EXPECT_EQ(info.ip, "127.0.0.2");
    EXPECT_EQ(info.streamPort, 5000);
    EXPECT_EQ(info.subjects, (std::vector<std::string>{"Anna", "Ben"}));

    ASSERT_NO_FATAL_FAILURE(announce(alpha, first, line5000, 4));
    EXPECT_GT(service.GetServers().at(alphaKey).lastSeen, info.lastSeen);
    EXPECT_EQ(notifications.size(), 1u);

    // Each of these differs from the entry in one field, and notifies once; another name from
    // the same address is another server.
    struct Change {
        std::string name;
        std::string text;
        std::string line;
        std::size_t times;
        std::vector<std::string> subjects;
    };
    const Change changes[] = {
        {"Alpha", announcement("Alpha", 5000, {"Ben", "Anna"}), line5000, 5, {"Ben", "Anna"}},
        {"Alpha", announcement("Alpha", 5000, {"Ben"}), line5000, 6, {"Ben"}},
        {"Alpha",
         announcement("Alpha", 5001, {"Ben"}),
         discoveredLine("Alpha", 2, 5001),
         1,
         {"Ben"}},
        {"Alpha", announcement("Alpha", 5000, {"Ben"}), line5000, 7, {"Ben"}},
        {"Alpha 2",
         announcement("Alpha 2", 5000, {"Ben"}),
         discoveredLine("Alpha 2", 2, 5000),
         1,
         {"Ben"}},
    };
    std::size_t expectedNotifications = 1;
    for (const Change& change : changes) {
        SCOPED_TRACE(change.text);
        ASSERT_NO_FATAL_FAILURE(announce(alpha, change.text, change.line, change.times));
        EXPECT_EQ(notifications.size(), ++expectedNotifications);
        EXPECT_EQ(service.GetServers().at(serverKey("127.0.0.2", change.name)).subjects,
                  change.subjects);
    }
    EXPECT_EQ(service.GetServers().size(), 2u);
    EXPECT_TRUE(log.err().empty());  // a server that moved and came back is no warning
}

TEST_F(DiscoveryTest, ServersAreKeyedByAddressAndName) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    ASSERT_NO_FATAL_FAILURE(start());
    listen();
    LoopbackPeer alpha{2};
    LoopbackPeer beta{3};
    // Two servers behind one address, announcing from different ports.
    LoopbackPeer gamma{4};
    LoopbackPeer delta{4};
    LoopbackPeer twin{4};

    ASSERT_NO_FATAL_FAILURE(
        announce(alpha, announcement("Alpha", 5000, {"A"}), discoveredLine("Alpha", 2, 5000)));
    ASSERT_NO_FATAL_FAILURE(
        announce(beta, announcement("Beta", 5000, {"B"}), discoveredLine("Beta", 3, 5000)));
    const std::string gammaText = announcement("Gamma", 6000, {"G"});
    const std::string deltaText = announcement("Delta", 6001, {"D"});
    ASSERT_NO_FATAL_FAILURE(announce(gamma, gammaText, discoveredLine("Gamma", 4, 6000), 1));
    ASSERT_NO_FATAL_FAILURE(announce(delta, deltaText, discoveredLine("Delta", 4, 6001), 1));
    ASSERT_NO_FATAL_FAILURE(announce(gamma, gammaText, discoveredLine("Gamma", 4, 6000), 2));

    ServerMap servers = service.GetServers();
    ASSERT_EQ(servers.size(), 4u);
    for (const auto& [key, info] : servers) EXPECT_EQ(key, serverKey(info.ip, info.serverName));
    EXPECT_EQ(servers.at(serverKey("127.0.0.2", "Alpha")).streamPort, 5000);
    EXPECT_EQ(servers.at(serverKey("127.0.0.3", "Beta")).streamPort, 5000);
    EXPECT_EQ(servers.at(serverKey("127.0.0.4", "Gamma")).streamPort, 6000);
    EXPECT_EQ(servers.at(serverKey("127.0.0.4", "Delta")).streamPort, 6001);
    EXPECT_EQ(notifications.size(), 4u);

    // A second "Gamma" behind the same address: the entry follows whoever spoke last, and the
    // flipping is said once, not at every announcement.
    const std::string twinText = announcement("Gamma", 6002, {"G"});
    for (std::size_t n = 1; n <= 4; ++n) {
        ASSERT_NO_FATAL_FAILURE(announce(twin, twinText, discoveredLine("Gamma", 4, 6002), n));
        ASSERT_NO_FATAL_FAILURE(
            announce(gamma, gammaText, discoveredLine("Gamma", 4, 6000), n + 2));
    }
    servers = service.GetServers();
    EXPECT_EQ(servers.size(), 4u);
    EXPECT_EQ(servers.at(serverKey("127.0.0.4", "Gamma")).streamPort, 6000);
    EXPECT_EQ(log.count(LogStream::Err,
                        "Two servers announce the name 'Gamma' from 127.0.0.4 (stream ports 6000 "
                        "and 6002): the entry follows the last one heard\n"),
              1u);
}

TEST_F(DiscoveryTest, AStormOfNamesFillsTheListToItsBoundAndNoFurther) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    ASSERT_NO_FATAL_FAILURE(start());
    LoopbackPeer storm{2};
    // One at a time, each waited for, so none is lost to a full inbox before the bound.
    const std::size_t sent = DiscoveryService::kMaxServers + 20;
    for (std::size_t n = 0; n < DiscoveryService::kMaxServers; ++n) {
        const std::string name = "Storm " + std::to_string(n);
        ASSERT_NO_FATAL_FAILURE(
            announce(storm, announcement(name, 5000, {"S"}), discoveredLine(name, 2, 5000)));
    }
    for (std::size_t n = DiscoveryService::kMaxServers; n < sent; ++n)
        storm.send(announcement("Storm " + std::to_string(n), 5000, {"S"}), listening());
    ASSERT_TRUE(log.waitForLine(LogStream::Err,
                                "Server list full: 256 servers listed, 1 more not listed (the "
                                "last 'Storm 256' from 127.0.0.2)\n"));
    // The first listed (a user's choice, say) is still there and still heard.
    ASSERT_NO_FATAL_FAILURE(announce(storm, announcement("Storm 0", 5000, {"S"}),
                                     discoveredLine("Storm 0", 2, 5000), 2));
    const ServerMap servers = service.GetServers();
    EXPECT_EQ(servers.size(), DiscoveryService::kMaxServers);
    EXPECT_EQ(servers.count(serverKey("127.0.0.2", "Storm 0")), 1u);
    EXPECT_EQ(servers.count(serverKey("127.0.0.2", "Storm 256")), 0u);
    EXPECT_EQ(log.of(LogStream::Err).size(), 1u) << "one line a second while full";
}

TEST_F(DiscoveryTest, SilentServerIsRemovedOnceWithOneNotification) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    // Removal after more than 1 whole second of silence, looked for ten times a second.
    service.serverTimeoutSeconds = 1;
    service.sweepPeriodSeconds = 0.1;
    ASSERT_NO_FATAL_FAILURE(start());
    listen();
    LoopbackPeer gone{2};
    LoopbackPeer stays{3};
    const std::string removal = "Removing timed out server: Gone\n";

    const auto lastWord = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(
        announce(gone, announcement("Gone", 5000, {}), discoveredLine("Gone", 2, 5000)));
    // The other server keeps announcing, five times a second, until "Gone" is removed.
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    bool removed = false;
    while (!removed && std::chrono::steady_clock::now() < deadline) {
        stays.send(announcement("Stays", 5001, {}), listening());
        removed = log.waitForLine(LogStream::Out, removal, 1, std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(removed);
    // Whole seconds, truncated: 2 s at least must have passed.
    EXPECT_GE(std::chrono::steady_clock::now() - lastWord, std::chrono::seconds(2));
    ASSERT_TRUE(notifications.waitForSize(3));  // Gone, Stays, the sweep

    const ServerMap servers = service.GetServers();
    EXPECT_EQ(servers.count(serverKey("127.0.0.2", "Gone")), 0u);
    EXPECT_EQ(servers.count(serverKey("127.0.0.3", "Stays")), 1u);

    // A newcomer's notification comes next: the sweep told the listener exactly once.
    LoopbackPeer late{4};
    ASSERT_NO_FATAL_FAILURE(
        announce(late, announcement("Late", 5002, {}), discoveredLine("Late", 4, 5002)));
    EXPECT_EQ(notifications.size(), 4u);
    EXPECT_EQ(log.count(LogStream::Out, removal), 1u);
    EXPECT_EQ(log.count(LogStream::Out, "Removing timed out server: Stays\n"), 0u);
}

TEST_F(DiscoveryTest, RestartsOnAnotherPortAndBackKeepingTheList) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    ASSERT_NO_FATAL_FAILURE(start());
    const std::uint16_t first = port;
    const std::uint16_t second = freeUdpPort();
    LoopbackPeer announcer{2};
    auto announceTo = [&](std::uint16_t to, const std::string& name) {
        announcer.send(announcement(name, 5000, {}), Ipv4Endpoint{loopback(1), to});
    };

    announceTo(first, "One");
    ASSERT_TRUE(log.waitForLine(LogStream::Out, discoveredLine("One", 2, 5000)));

    service.Start(second);
    EXPECT_EQ(service.GetServers().count(serverKey("127.0.0.2", "One")), 1u);  // kept until it ages
    announceTo(first, "Unheard");  // nobody listens on the first port any more
    announceTo(second, "Two");
    ASSERT_TRUE(log.waitForLine(LogStream::Out, discoveredLine("Two", 2, 5000)));

    service.Start(first);
    announceTo(first, "Three");
    ASSERT_TRUE(log.waitForLine(LogStream::Out, discoveredLine("Three", 2, 5000)));

    EXPECT_EQ(log.count(LogStream::Out, discoveredLine("Unheard", 2, 5000)), 0u);
    EXPECT_TRUE(log.err().empty());
}

TEST_F(DiscoveryTest, PortInUseIsReportedAndAFreedPortWorksAgain) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    port = freeUdpPort();
    auto occupant = std::make_unique<UdpSocket>();
    ASSERT_EQ(occupant->open(), 0);
    ASSERT_EQ(occupant->bind(Ipv4Endpoint{0, port}), 0);

    service.Start(port);
    const auto err = log.err();
    ASSERT_EQ(err.size(), 1u);
    EXPECT_TRUE(std::regex_match(err.front(), std::regex("Bind failed with error: [0-9]+\n")))
        << err.front();
    service.Stop();

    occupant.reset();
    service.Start(port);
    EXPECT_EQ(log.err().size(), 1u);
    LoopbackPeer announcer{2};
    ASSERT_NO_FATAL_FAILURE(
        announce(announcer, announcement("Back", 5000, {}), discoveredLine("Back", 2, 5000)));
}

TEST_F(DiscoveryTest, ListeningPortOutsideTheUdpRangeIsRefused) {
    for (int bad : {-1, 65536, 70000}) {
        service.Start(bad);
        EXPECT_EQ(log.err().back(), "Invalid listening port: " + std::to_string(bad) + "\n");
    }
    service.Stop();
}

TEST(DiscoverySharedPort, EveryServiceOnAPortHearsEveryAnnouncement) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    const std::uint16_t port = freeUdpPort();
    const Ipv4Endpoint listening{loopback(1), port};
    CapturedLog firstLog;
    CapturedLog secondLog;
    auto first = std::make_unique<DiscoveryService>(firstLog.writer());
    DiscoveryService second(secondLog.writer());
    first->Start(port);
    second.Start(port);
    EXPECT_TRUE(firstLog.err().empty());
    EXPECT_TRUE(secondLog.err().empty());
    LoopbackPeer announcer{2};

    announcer.send(announcement("Both", 5000, {}), listening);
    const std::string both = discoveredLine("Both", 2, 5000);
    ASSERT_TRUE(firstLog.waitForLine(LogStream::Out, both));
    ASSERT_TRUE(secondLog.waitForLine(LogStream::Out, both));
    EXPECT_EQ(first->GetServers().size(), 1u);
    EXPECT_EQ(second.GetServers().size(), 1u);

    // Stopping one leaves the other listening.
    first->Stop();
    announcer.send(announcement("AfterStop", 5000, {}), listening);
    ASSERT_TRUE(secondLog.waitForLine(LogStream::Out, discoveredLine("AfterStop", 2, 5000)));
    EXPECT_EQ(firstLog.out(), std::vector<std::string>{both});

    // A service started again joins the one still listening.
    first->Start(port);
    EXPECT_TRUE(firstLog.err().empty());
    announcer.send(announcement("Rejoined", 5000, {}), listening);
    ASSERT_TRUE(firstLog.waitForLine(LogStream::Out, discoveredLine("Rejoined", 2, 5000)));
    ASSERT_TRUE(secondLog.waitForLine(LogStream::Out, discoveredLine("Rejoined", 2, 5000)));

    // Destroying one leaves the other listening too.
    first.reset();
    announcer.send(announcement("AfterDestroy", 5000, {}), listening);
    ASSERT_TRUE(secondLog.waitForLine(LogStream::Out, discoveredLine("AfterDestroy", 2, 5000)));

    // The port is held while one service listens and is free once the last has stopped.
    UdpSocket probe;
    ASSERT_EQ(probe.open(), 0);
    EXPECT_NE(probe.bind(Ipv4Endpoint{0, port}), 0);
    second.Stop();
    ASSERT_EQ(probe.open(), 0);
    EXPECT_EQ(probe.bind(Ipv4Endpoint{0, port}), 0);
}

TEST_F(DiscoveryTest, OnlyTheLatestHeldRegistrationIsCalled) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    ASSERT_NO_FATAL_FAILURE(start());
    LoopbackPeer announcer{2};
    int round = 0;
    // Every announcement is a change, so every one would notify a live registration.
    auto change = [&] {
        const std::string name = "Server" + std::to_string(++round);
        announce(announcer, announcement(name, 5000, {}), discoveredLine(name, 2, 5000));
    };

    Recorder<std::size_t> firstCalls;
    auto firstToken = service.RegisterUpdateCallback(
        [&] { firstCalls.push(service.GetServers().size()); });  // may read the list
    ASSERT_NO_FATAL_FAILURE(change());
    EXPECT_EQ(firstCalls.snapshot(), std::vector<std::size_t>{1});

    Recorder<int> secondCalls;
    auto secondToken = service.RegisterUpdateCallback([&] { secondCalls.push(1); });
    ASSERT_NO_FATAL_FAILURE(change());
    EXPECT_EQ(firstCalls.size(), 1u);  // replaced, although its token is still held
    EXPECT_EQ(secondCalls.size(), 1u);

    secondToken.reset();  // the registrant went away; its wrapper is still in the slot
    ASSERT_NO_FATAL_FAILURE(change());
    EXPECT_EQ(secondCalls.size(), 1u);

    auto emptyToken = service.RegisterUpdateCallback(std::function<void()>());
    ASSERT_NO_FATAL_FAILURE(change());  // the listening thread survives an empty callback

    auto throwingToken =
        service.RegisterUpdateCallback([] { throw std::runtime_error("panel gone"); });
    ASSERT_NO_FATAL_FAILURE(change());
    EXPECT_EQ(log.err(), std::vector<std::string>{"Update callback failed: panel gone\n"});

    Recorder<int> lastCalls;
    auto lastToken = service.RegisterUpdateCallback([&] { lastCalls.push(1); });
    ASSERT_NO_FATAL_FAILURE(change());
    EXPECT_EQ(lastCalls.size(), 1u);
    EXPECT_EQ(firstCalls.size(), 1u);
}

TEST_F(DiscoveryTest, ListenerMayReleaseItsTokenAndStopTheServiceButNotReRegister) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    ASSERT_NO_FATAL_FAILURE(start());
    Recorder<std::shared_ptr<void>> tokensFromInside;
    token = service.RegisterUpdateCallback([&] {
        token.reset();  // the last copy, from inside the call it ends
        tokensFromInside.push(service.RegisterUpdateCallback([] {}));
        service.Stop();  // can only ask: this is the service's own thread
    });
    LoopbackPeer announcer{2};
    ASSERT_NO_FATAL_FAILURE(
        announce(announcer, announcement("One", 5000, {}), discoveredLine("One", 2, 5000)));
    ASSERT_TRUE(tokensFromInside.waitForSize(1));
    EXPECT_EQ(tokensFromInside.snapshot().front(), nullptr);
    EXPECT_EQ(log.err(), std::vector<std::string>{
                             "RegisterUpdateCallback ignored: it was called from the update "
                             "callback.\n"});
    service.Stop();  // completes the stop from the owner's side

    // Stopped: the port is free again.
    UdpSocket probe;
    ASSERT_EQ(probe.open(), 0);
    EXPECT_EQ(probe.bind(Ipv4Endpoint{0, port}), 0);
}

// A settings panel releases its token in its destroy hook and is gone right after. Once the
// release returns, no call of its callback is running and none starts, while announcements
// keep changing the list. Each call holds on until the release has begun, so a release that
// did not wait for it would return with the call still running.
TEST_F(DiscoveryTest, ReleasingTheTokenWaitsForARunningCallAndEndsTheCalls) {
    ASSERT_NO_FATAL_FAILURE(start());
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;    // a call of the current listener has begun
        bool releasing = false;  // the test is about to release the current token
        std::atomic<bool> released{false};
        std::atomic<int> running{0};
        std::atomic<int> lateCalls{0};  // calls begun after their token was released
    } shared;
    struct Listener {
        int calls = 0;
        std::shared_ptr<void> token;
    };

    // Announcements under ever new names: every one is a change, so every one calls.
    std::atomic<bool> announcing{true};
    std::mutex pauseMutex;
    std::condition_variable pauseWake;
    LoopbackPeer announcer{2};
    std::thread sender([&] {
        std::unique_lock<std::mutex> lock(pauseMutex);
        for (int n = 0; announcing; ++n) {
            announcer.send(announcement("Server" + std::to_string(n), 5000, {}), listening());
            // Pacing only: a stop cuts it short.
            pauseWake.wait_for(lock, std::chrono::milliseconds(1), [&] { return !announcing; });
        }
    });

    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.entered = false;
            shared.releasing = false;
        }
        shared.released = false;
        auto listener = std::make_unique<Listener>();
        Listener* self = listener.get();
        listener->token = service.RegisterUpdateCallback([&shared, self] {
            if (shared.released) ++shared.lateCalls;
            ++shared.running;
            {
                std::unique_lock<std::mutex> lock(shared.mutex);
                shared.entered = true;
                shared.changed.notify_all();
                shared.changed.wait_for(lock, kDeadline, [&] { return shared.releasing; });
            }
            ++self->calls;  // the listener is still there
            --shared.running;
        });
        {
            std::unique_lock<std::mutex> lock(shared.mutex);
            ASSERT_TRUE(shared.changed.wait_for(lock, kDeadline, [&] { return shared.entered; }));
            shared.releasing = true;
        }
        shared.changed.notify_all();
        listener->token.reset();
        shared.released = true;
        EXPECT_EQ(shared.running.load(), 0);
        listener.reset();
    }
    {
        std::lock_guard<std::mutex> lock(pauseMutex);
        announcing = false;
    }
    pauseWake.notify_all();
    sender.join();
    service.Stop();
    EXPECT_EQ(shared.lateCalls.load(), 0);
}

TEST(DiscoveryLifetime, StartAndStopFromTwoThreads) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    // The panel restarts the service on the interface thread while the owner may stop it.
    CapturedLog log;
    const std::uint16_t port = freeUdpPort();
    DiscoveryService service(log.writer());
    std::thread starter([&] {
        for (int i = 0; i < 20; ++i) service.Start(port);
    });
    std::thread stopper([&] {
        for (int i = 0; i < 20; ++i) service.Stop();
    });
    starter.join();
    stopper.join();
    service.Start(port);
    EXPECT_TRUE(log.err().empty());
    LoopbackPeer announcer{2};
    announcer.send(announcement("Alive", 5000, {}), Ipv4Endpoint{loopback(1), port});
    EXPECT_TRUE(log.waitForLine(LogStream::Out, discoveredLine("Alive", 2, 5000)));
}

TEST(DiscoveryLifetime, StartAndStopReturnPromptlyWithTheDefaultPauses) {
    CapturedLog log;
    const std::uint16_t port = freeUdpPort();
    DiscoveryService service(log.writer());
    ASSERT_EQ(service.sweepPeriodSeconds, 5);
    ASSERT_EQ(service.serverTimeoutSeconds, 10);
    // The pauses are 5 s: a stop that waited one out would take far longer than this.
    const auto limit = std::chrono::seconds(1);
    for (int i = 0; i < 3; ++i) {
        auto start = std::chrono::steady_clock::now();
        service.Start(port);
        EXPECT_LT(std::chrono::steady_clock::now() - start, limit);
        start = std::chrono::steady_clock::now();
        service.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - start, limit);
    }
    service.Start(port);
    auto start = std::chrono::steady_clock::now();
    service.Start(port);  // a restart stops first
    EXPECT_LT(std::chrono::steady_clock::now() - start, limit);
    EXPECT_TRUE(log.err().empty());
    // Destroyed while running: the destructor stops it.
}

}  // namespace
}  // namespace telmora
