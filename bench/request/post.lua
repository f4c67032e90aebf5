-- SPDX-License-Identifier: Apache-2.0
-- post.lua -- wrk script of the request-path benchmark: POSTs one form body
-- (KB_BODY_FILE) with the page's Origin (KB_ORIGIN) and Host (KB_HOST), over
-- keep-alive connections or, with KB_CLOSE=1, a new connection per request.
-- done() appends to KB_HIST the run's totals and its latency histogram
-- (microseconds), which run.sh merges across wrk instances.
local function slurp(path)
  local file = assert(io.open(path, "rb"))
  local text = file:read("*a")
  file:close()
  return (text:gsub("[\r\n]+$", ""))
end

wrk.method = "POST"
wrk.body = slurp(os.getenv("KB_BODY_FILE"))
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
wrk.headers["Origin"] = os.getenv("KB_ORIGIN") or "https://bench.example"
wrk.headers["Host"] = os.getenv("KB_HOST") or "localhost:56459"
if os.getenv("KB_CLOSE") == "1" then
  wrk.headers["Connection"] = "close"
else
  wrk.headers["Connection"] = "keep-alive"
end

function done(summary, latency, requests)
  local out = assert(io.open(os.getenv("KB_HIST"), "a"))
  local e = summary.errors
  out:write(string.format("total %d %d %d\n", summary.requests, summary.duration,
                          e.connect + e.read + e.write + e.status + e.timeout))
  for i = 1, #latency do
    local value, count = latency(i)
    out:write(string.format("%d %d\n", value, count))
  end
  out:close()
end
