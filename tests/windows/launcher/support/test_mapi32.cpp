// A stand-in for Simple MAPI's MAPI32.DLL. MAPISendMail writes what it received, field by field, to
// the file named by AUREVIA_TEST_MAPI_RECORD and answers the number in AUREVIA_TEST_MAPI_RESULT
// (0 when unset; "@file" reads the number from that file, so that a running program can be given
// another answer for each call). Put it beside the program and run with WINEDLLOVERRIDES including
// mapi32=n,b.
#include <windows.h>
#include <mapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Env(const char* name) {
    char buffer[1024];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    return length && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

const char* OrNull(const char* text) { return text ? text : "(null)"; }

}  // namespace

extern "C" __declspec(dllexport) ULONG WINAPI
    MAPISendMail(LHANDLE session, ULONG_PTR uiParam, lpMapiMessage message, FLAGS flags, ULONG reserved) {
    const std::string record = Env("AUREVIA_TEST_MAPI_RECORD");
    if (!record.empty()) {
        if (FILE* f = std::fopen(record.c_str(), "wb")) {
            std::fprintf(f, "session=%llu\nuiParam=%llu\nflags=%lu\nreserved=%lu\n",
                         static_cast<unsigned long long>(session), static_cast<unsigned long long>(uiParam),
                         static_cast<unsigned long>(flags), static_cast<unsigned long>(reserved));
            std::fprintf(f, "ulReserved=%lu\nsubject=%s\nnoteText=%s\nmessageType=%s\ndateReceived=%s\n",
                         message->ulReserved, OrNull(message->lpszSubject), OrNull(message->lpszNoteText),
                         OrNull(message->lpszMessageType), OrNull(message->lpszDateReceived));
            std::fprintf(f,
                         "conversationID=%s\nmessageFlags=%lu\noriginator=%s\nrecipCount=%lu\nfileCount=%lu\n"
                         "files=%s\n",
                         OrNull(message->lpszConversationID), static_cast<unsigned long>(message->flFlags),
                         message->lpOriginator ? "set" : "(null)", message->nRecipCount, message->nFileCount,
                         message->lpFiles ? "set" : "(null)");
            for (ULONG i = 0; i < message->nRecipCount && message->lpRecips; ++i) {
                const MapiRecipDesc& r = message->lpRecips[i];
                std::fprintf(f,
                             "recip.ulReserved=%lu\nrecip.class=%lu\nrecip.name=%s\nrecip.address=%s\n"
                             "recip.eidSize=%lu\nrecip.entryID=%s\n",
                             r.ulReserved, r.ulRecipClass, OrNull(r.lpszName), OrNull(r.lpszAddress),
                             r.ulEIDSize, r.lpEntryID ? "set" : "(null)");
            }
            std::fclose(f);
        }
    }
    std::string result = Env("AUREVIA_TEST_MAPI_RESULT");
    if (!result.empty() && result[0] == '@') {
        char buffer[32] = {};
        if (FILE* f = std::fopen(result.c_str() + 1, "rb")) {
            std::fread(buffer, 1, sizeof(buffer) - 1, f);
            std::fclose(f);
        }
        result = buffer;
    }
    return static_cast<ULONG>(std::strtoul(result.c_str(), nullptr, 10));
}
