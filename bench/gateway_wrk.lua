-- wrk's script for the gateway's load runs (bench/gateway_load.py):
--   wrk -t 1 -c 50 -d 30s -s gateway_wrk.lua http://HOST:PORT -- PATH [PATH...]
-- Each new request of a thread takes the next of the paths in turn, so a
-- run with three paths sends a third of its requests to each. At the end
-- one `result` line gives the run's figures as key=value fields (latency
-- in microseconds), and one `issued` line per path how many requests the
-- threads sent there.

local paths = {}
local next_path = 1
issued = {}   -- global: done() reads it from every thread with thread:get
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  for i = 1, #args do
    paths[i] = args[i]
  end
  if #paths == 0 then
    paths[1] = "/"
  end
end

function request()
  local path = paths[next_path]
  next_path = next_path % #paths + 1
  issued[path] = (issued[path] or 0) + 1
  return wrk.format("GET", path)
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "result requests=%d duration_us=%d bytes=%d connect_errors=%d read_errors=%d write_errors=%d " ..
    "status_errors=%d timeouts=%d p50_us=%d p90_us=%d p99_us=%d max_us=%d mean_us=%.1f\n",
    summary.requests, summary.duration, summary.bytes, e.connect, e.read, e.write, e.status,
    e.timeout, latency:percentile(50), latency:percentile(90), latency:percentile(99),
    latency.max, latency.mean))
  local totals = {}
  for _, thread in ipairs(threads) do
    for path, count in pairs(thread:get("issued") or {}) do
      totals[path] = (totals[path] or 0) + count
    end
  end
  for path, count in pairs(totals) do
    io.write(string.format('issued path="%s" count=%d\n', path, count))
  end
end
