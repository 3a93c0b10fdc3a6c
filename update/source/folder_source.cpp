#include "update/source/folder_source.h"

#include <algorithm>

#include "base/paths.h"
#include "update/disk/file_operations.h"
#include "update/stream/byte_sink.h"

std::vector<TSourceFile> TFolderSource::List() {
    const std::wstring root = FolderWithDelimiter(FFolder);
    std::vector<TListedFile> files = ListFilesUnder(root);
    std::sort(files.begin(), files.end(),
              [](const TListedFile& a, const TListedFile& b) { return a.FullPath < b.FullPath; });
    std::vector<TSourceFile> listed;
    listed.reserve(files.size());
    for (TListedFile& file : files) listed.push_back({file.FullPath.substr(root.size()), file.Age});
    return listed;
}

std::string TFolderSource::Read(const std::wstring& AName, uint64_t ALimit) {
    TMemorySink sink(ALimit, "larger than " + std::to_string(ALimit) + " bytes");
    CopyFileInto(PathJoin(FFolder, AName), sink, nullptr);
    return sink.Take();
}

void TFolderSource::Fetch(const std::wstring& ARemoteName, IByteSink& ASink, IFetchObserver* AObserver) {
    CopyFileInto(PathJoin(FFolder, ARemoteName), ASink, AObserver);
}

void TFolderSource::FetchFrom(const std::wstring& ARemoteName, uint64_t AFrom, IByteSink& ASink,
                              IFetchObserver* AObserver) {
    CopyFileInto(PathJoin(FFolder, ARemoteName), ASink, AObserver, AFrom);
}
