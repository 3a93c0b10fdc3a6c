#pragma once
// Sends a request and waits, for a bounded time, for the status line and headers of its answer.
//
// WinHTTP's receive-response timeout is meant to bound the whole head, but Wine's restarts it with
// every byte received, and closing the request from another thread does not end a wait in progress:
// a server that sends its head one byte at a time would hold the caller (the UI thread, for the
// listing) for as long as it likes. So the head is awaited on a pool thread while the caller waits
// for it, dispatching its window messages as every other wait of an update does.
#include <windows.h>

#include <chrono>
#include <string>

#include "update/transport/http_request.h"

// Sends ARequest with AHeaders and receives the head of its answer. True once the head is there; a
// WinHTTP failure raises TTransportError (AFailure: the request's category, see
// TransportFailureCategory). When ABound passes first, the request and its connection are handed to
// the pool thread, which closes them once WinHTTP lets go (ARequest and AConnection are then empty),
// and the result is false. A quit request on the calling thread ends the wait the same way, but
// raises (RaiseQuitRequested) instead.
bool SendAndReceiveHead(unique_hinternet& ARequest, unique_hinternet& AConnection, std::wstring AHeaders,
                        std::chrono::milliseconds ABound, TErrorCategory AFailure);
