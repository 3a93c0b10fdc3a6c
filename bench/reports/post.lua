-- wrk: each connection is a workstation sending one report per request to POST /report, the way
-- the launcher sends after an update. Machine names cycle over 5 000 per thread.
local threads = 0
function setup(thread)
    threads = threads + 1
    thread:set("prefix", tostring(threads))
end

local counter = 0
local results = {"ok", "ok", "ok", "ok", "ok", "ok", "ok", "failed", "refused", "ok"}
local reasons = {ok = "none", failed = "fetch", refused = "signature"}

request = function()
    counter = counter + 1
    local result = results[counter % #results + 1]
    local body = string.format(
        '[{"format":"aurevia-report/1","machine":"WS-T%s-%05d","version":"2022.2.8249.63552",' ..
        '"event":"startup","module":"","result":"%s","reason":"%s","text":"","files_listed":49,' ..
        '"files_fetched":3,"files_failed":0,"bytes":123456,"duration_ms":850,' ..
        '"time":"2026-12-10T17:30:00-03:00","ring":"geral","rollout_number":%d,' ..
        '"rollout_serial":1765400000,"release":3}]',
        prefix or "0", counter % 5000, result, reasons[result], counter % 100)
    return wrk.format("POST", "/report", {["Content-Type"] = "application/json"}, body)
end
