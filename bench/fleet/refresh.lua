-- wrk script: the connections play workstations doing a start-up refresh, one listing of the whole
-- tree followed by the downloads of the shared files, over and over.
--   wrk ... -s refresh.lua URL -- NAMES_FILE     names one per line, percent-encoded as the launcher does
--   wrk ... -s refresh.lua URL -- list-only      listings only
-- Prints one "RESULT key=value ..." line at the end for bench/fleet/run.
local steps = {}

function init(args)
    steps = { "/folderlist?folder=%5C&mask=*.*&recursive=" }
    if args[1] ~= "list-only" then
        for name in io.lines(args[1]) do
            steps[#steps + 1] = "/download?file=" .. name
        end
    end
    -- Threads start at different steps, as workstations started at different moments would.
    math.randomseed(os.time() + math.floor(os.clock() * 1000000))
    step = math.random(#steps)
end

function request()
    local path = steps[step]
    step = step % #steps + 1
    return wrk.format("GET", path)
end

function done(summary, latency, requests)
    local e = summary.errors
    io.write(string.format(
        "RESULT requests=%d duration_us=%d bytes=%d connect=%d read=%d write=%d timeout=%d status=%d p50_us=%d p99_us=%d\n",
        summary.requests, summary.duration, summary.bytes, e.connect, e.read, e.write, e.timeout, e.status,
        latency:percentile(50), latency:percentile(99)))
end
