#pragma once
// Where an update takes its files from: the server folder or the file service. The updater, the
// release check, the self-update and the support tools ask a source and never care which one it is.
// A source may be used from several threads at once (the updater's fetches run on a pool).
#include <cstdint>
#include <string>
#include <vector>

#include "base/date_time.h"

class IByteSink;
class IFetchObserver;

// One file a source offers: its name relative to the source's root, backslashes between levels.
struct TSourceFile {
    std::wstring Name;
    TDateTime Age = 0;
};

class IUpdateSource {
  public:
    virtual ~IUpdateSource() = default;

    // The server folder or the service URL, as the log and the messages name the source.
    virtual std::wstring Where() const = 0;

    // Every file under the root, at any depth. A service that refuses the listing with an error
    // record offers none. Raises when the source cannot be listed.
    virtual std::vector<TSourceFile> List() = 0;

    // A small document (the release manifest and its signature), read whole into memory. Raises
    // when it is missing, cannot be read, or holds more than ALimit bytes.
    virtual std::string Read(const std::wstring& AName, uint64_t ALimit) = 0;

    // Fetches the file ARemoteName into ASink; AObserver, when given, sees every byte before the sink
    // does and may end the fetch by raising. Raises the failure's message (the sink then holds an
    // unfinished body the caller discards).
    virtual void Fetch(const std::wstring& ARemoteName, IByteSink& ASink, IFetchObserver* AObserver) = 0;

    // The same from byte AFrom on, for a content that cannot change under its name (an object named
    // by its SHA-256): Begin tells where writing starts, AFrom when the source continued, 0 when it
    // started over. A source that cannot continue starts over.
    virtual void FetchFrom(const std::wstring& ARemoteName, uint64_t AFrom, IByteSink& ASink,
                           IFetchObserver* AObserver) {
        (void)AFrom;
        Fetch(ARemoteName, ASink, AObserver);
    }

    // Whether a fetch into a local folder that does not exist yet makes the folder: the server
    // folder's tree is copied as it is, files from the service land in folders made at start-up.
    virtual bool MakesFolders() const = 0;
};
