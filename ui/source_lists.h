// What the panel's source and subject lists hold for a list of announcing servers and the
// remembered selection. No host SDK in here: the layout copies these into its list controls.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "network/discovery_service.h"
#include "ui/panel_texts.h"

namespace telmora {

// The items of one list control and the index of its selected item (0: the placeholder).
struct ListContents {
    std::vector<std::string> items{kListPlaceholder};
    int selected = 0;
};

struct SourceLists {
    ListContents sources;
    ListContents subjects;
};

// Every server by name, in the map's order, with the one named `sourceName` selected; the
// subjects of every server of that name in their order, with the one named `subjectName`
// selected. With nothing matching, the placeholder stays selected.
SourceLists buildSourceLists(const ServerMap& servers, const std::string& sourceName,
                             const std::string& subjectName);

// The subject list after the user picked `sourceName`: the subjects of the last server of that
// name with `subjectName` selected if offered; nothing when no server has that name (the list
// is then left as it is).
std::optional<ListContents> buildSubjectList(const ServerMap& servers,
                                             const std::string& sourceName,
                                             const std::string& subjectName);

}  // namespace telmora
