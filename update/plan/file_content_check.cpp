#include "update/plan/file_content_check.h"

#include <windows.h>

#include <vector>

#include "base/handles.h"
#include "update/trust/content_verifier.h"

bool FileMatchesManifest(const TManifestFile& AExpected, const std::wstring& APath) {
    const unique_file file(CreateFileW(APath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    try {
        TContentVerifier verifier(AExpected);
        verifier.Begin(0, std::nullopt);
        std::vector<char> buffer(1u << 20);
        for (;;) {
            DWORD read = 0;
            if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
                return false;
            if (read == 0) break;
            verifier.Received(buffer.data(), read);
        }
        verifier.Finish();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
