// The panel's host-free logic: the listening port as typed, and the list contents for a server
// map and the remembered selection.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ui/port_text.h"
#include "ui/source_lists.h"

namespace telmora {
namespace {

TEST(ListeningPortText, ReadsLikePercentDAndAcceptsOnlyUsablePorts) {
    const struct {
        const char* text;
        std::optional<int> port;
    } cases[] = {
        {"22000", 22000},
        {"1", 1},
        {"65535", 65535},
        {"  23001", 23001},
        {"+23002", 23002},
        {"22000abc", 22000},
        {"0", std::nullopt},
        {"-1", std::nullopt},
        {"70000", std::nullopt},
        {"65536", std::nullopt},
        {"4294989296", std::nullopt},  // 2^32 + 22000: no wrap-around into range
        {"99999999999999999999999", std::nullopt},
        {"abc", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {" x22000", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseListeningPort(c.text), c.port) << '"' << c.text << '"';
    }
    EXPECT_EQ(parseListeningPort(nullptr), std::nullopt);
}

ServerInfo server(const std::string& name, const std::string& ip,
                  std::vector<std::string> subjects) {
    ServerInfo info;
    info.serverName = name;
    info.ip = ip;
    info.streamPort = 5000;
    info.subjects = std::move(subjects);
    return info;
}

ServerMap mapOf(const std::vector<ServerInfo>& servers) {
    ServerMap map;
    for (const ServerInfo& s : servers) map[s.ip] = s;
    return map;
}

TEST(SourceLists, NothingAnnouncingLeavesOnlyThePlaceholders) {
    const SourceLists lists = buildSourceLists({}, "Stage A", "Actor");
    EXPECT_EQ(lists.sources.items, std::vector<std::string>{"Select"});
    EXPECT_EQ(lists.subjects.items, std::vector<std::string>{"Select"});
    EXPECT_EQ(lists.sources.selected, 0);
    EXPECT_EQ(lists.subjects.selected, 0);
}

TEST(SourceLists, RestoresTheRememberedSourceAndSubjectByName) {
    const ServerMap servers = mapOf({server("Stage A", "127.0.0.2", {"Actor", "Extra"}),
                                     server("Stage B", "127.0.0.3", {"Extra", "Other"})});
    const SourceLists lists = buildSourceLists(servers, "Stage B", "Other");
    ASSERT_EQ(lists.sources.items.size(), 3u);
    EXPECT_EQ(lists.sources.items[lists.sources.selected], "Stage B");
    EXPECT_EQ(lists.subjects.items, (std::vector<std::string>{"Select", "Extra", "Other"}));
    EXPECT_EQ(lists.subjects.selected, 2);

    // A remembered subject the server does not offer leaves the placeholder selected.
    const SourceLists other = buildSourceLists(servers, "Stage A", "Other");
    EXPECT_EQ(other.sources.items[other.sources.selected], "Stage A");
    EXPECT_EQ(other.subjects.items, (std::vector<std::string>{"Select", "Actor", "Extra"}));
    EXPECT_EQ(other.subjects.selected, 0);
}

TEST(SourceLists, PickingASourceRebuildsTheSubjectsOnlyWhenAServerHasThatName) {
    const ServerMap servers = mapOf({server("Stage A", "127.0.0.2", {"Actor", "Extra"})});
    const std::optional<ListContents> picked = buildSubjectList(servers, "Stage A", "Extra");
    ASSERT_TRUE(picked.has_value());
    EXPECT_EQ(picked->items, (std::vector<std::string>{"Select", "Actor", "Extra"}));
    EXPECT_EQ(picked->selected, 2);
    EXPECT_FALSE(buildSubjectList(servers, "Select", "Extra").has_value());
    EXPECT_FALSE(buildSubjectList(servers, "", "Extra").has_value());
}

}  // namespace
}  // namespace telmora
