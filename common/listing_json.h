#pragma once
// The file service's answers as the launcher decodes them (update/records/file_info_json.cpp reads
// both): the listing of /folderlist, one record a file, and the error record of any other answer:
//   [
//   {"FileName":"Relatorio\\Rpt1.rav","Age":"2022-01-10T14:32:05.123"}
//   ]
//   {"Error":"Not Found","Status":404,"Detail":"File \"x\" does not exist."}
// Every client (the launcher, the scripted servers of the tests) sees the one writer's text.
// Portable.
#include <string>
#include <string_view>
#include <vector>

struct ListingEntry {
    std::string name;  // relative to the listed folder, backslashes between folders (UTF-8)
    std::string age;   // last-write time, local clock time, e.g. 2022-01-10T14:32:05.123
};

// One record a line, so that a listing reads well in a log or a terminal.
std::string ListingJson(const std::vector<ListingEntry>& files);
std::string ErrorRecordJson(int status, std::string_view error, std::string_view detail);
