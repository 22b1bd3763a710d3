-- wrk script: POST one policy request body, as the hook sends it, over and
-- over, one connection per request like the hook.
--
--   TWK_TOKEN=... TWK_BODY_FILE=body.json \
--     wrk -t1 -c1 -d5s -s bench/wrk_post.lua http://127.0.0.1:PORT/v1/policy/hook
--
-- Prints one line "latency_us p50=.. p90=.. p99=.. mean=.. requests=.. errors=.."
-- after wrk's own report.
local file = assert(io.open(os.getenv("TWK_BODY_FILE"), "rb"))
wrk.method = "POST"
wrk.body = file:read("*a")
file:close()
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("TWK_TOKEN")
wrk.headers["Connection"] = "close"

function done(summary, latency, requests)
  local errors = summary.errors.connect + summary.errors.read +
    summary.errors.write + summary.errors.status + summary.errors.timeout
  io.write(string.format(
    "latency_us p50=%d p90=%d p99=%d mean=%.1f requests=%d errors=%d\n",
    latency:percentile(50), latency:percentile(90), latency:percentile(99),
    latency.mean, summary.requests, errors))
end
