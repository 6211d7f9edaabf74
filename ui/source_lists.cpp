#include "ui/source_lists.h"

namespace telmora {
namespace {

void appendSubjects(ListContents& list, const ServerInfo& server, const std::string& subjectName) {
    for (const std::string& subject : server.subjects) {
        list.items.push_back(subject);
        if (subject == subjectName) list.selected = static_cast<int>(list.items.size()) - 1;
    }
}

}  // namespace

SourceLists buildSourceLists(const ServerMap& servers, const std::string& sourceName,
                             const std::string& subjectName) {
    SourceLists lists;
    for (const auto& [ip, server] : servers) {
        lists.sources.items.push_back(server.serverName);
        if (server.serverName != sourceName) continue;
        lists.sources.selected = static_cast<int>(lists.sources.items.size()) - 1;
        // Several servers of the chosen name each contribute their subjects.
        appendSubjects(lists.subjects, server, subjectName);
    }
    return lists;
}

std::optional<ListContents> buildSubjectList(const ServerMap& servers,
                                             const std::string& sourceName,
                                             const std::string& subjectName) {
    std::optional<ListContents> result;
    for (const auto& [ip, server] : servers) {
        if (server.serverName != sourceName) continue;
        // Each matching server rebuilds the list, so the last one in the map's order wins.
        result.emplace();
        appendSubjects(*result, server, subjectName);
    }
    return result;
}

}  // namespace telmora
