#pragma once
// The download request's transfer: requests a file and writes its body into a local file as it
// arrives, asking again after a busy answer or a broken connection (update/retry_policy.h). A body
// cut part-way continues with a Range request when the first answer accepted byte ranges and named
// a validator (update/resume_rules.h); otherwise, or when the file changed meanwhile, it is written
// again from its start.
#include <windows.h>

#include <string>

#include "update/transport/rest_client.h"

class IFetchObserver;
class IByteSink;
class THttpSession;

// Every request goes through `session` (its deadline and minimum rate hold for the whole fetch).
// `sink` is told Begin(offset, total) before each body and gets its bytes. Only a success status
// writes a byte; the other
// answers, and the last failure once no retry is left, raise the message the caller keeps (the
// answer's text, its status line, or "REST request failed: ..."). AObserver sees Begin(0, total) at
// each start from the beginning, Begin(written, total) when a cut body continues, and every byte
// before it is written.
// With `from` above 0 the sink already holds that many bytes of a content that cannot change under
// its URL (an object named by its SHA-256): the first request asks for the rest with a bare Range,
// and an answer that sends the whole body starts over at 0.
void FetchResumable(const THttpSession& session, const std::wstring& url, IByteSink& sink,
                    const TRESTRetries& retries, IFetchObserver* observer, uint64_t from = 0);
