-- wrk script of bench/soak.sh: requests a mix of URLs of one site of the soak's server and
-- checks every answer against what the rules allow, whichever variant of the configuration
-- files was in force: the status, the Location of a redirect, the page of a 200.
--
--   wrk -tT -cC ... -s soak.lua URL -- SITE C/T
--
-- SITE is 1 or 2, as bench/soak.sh sets them up; C/T the connections per wrk thread.
-- done() prints one line that bench/soak.sh reads:
--   soak site=N errors.read=N ... responses=N status.200=N ... seen.KIND=N ... unchecked=N
-- and the first few unexpected answers, each on a line of its own.
--
-- wrk hands an answer to response() only once the connection's slot has seen an answer with
-- a header line: the filter's 403 ("HTTP/1.1 403 Forbidden" and an empty line) would go
-- unchecked if it came first. So each connection's first request is for the home page, and
-- "unchecked" counts the answers wrk saw that this script did not; it must be 0.

-- Per site: the requests, and the answers they may get. "seen" names what must turn up at
-- least once in a run: each variant of a rule the soak switches between.
local sites = {
  ["1"] = {
    requests = {
      { path = "/index.html" },
      { path = "/products/42/blue-mug?ref=mail" },   -- site rule: rewritten to product.html
      { path = "/catalogue/mugs" },                  -- site rule: redirected (two variants)
      { path = "/wp-login.php" },                    -- global rule: refused
      { path = "/help/shipping" },                   -- global rule: rewritten (two variants)
      { path = "//index.html" },                     -- global rule: slashes merged (N)
      { path = "/index.html", headers = { Host = "www.example.com" } },  -- global: redirected
    },
    pages = { ["site 1 home\n"] = "home", ["product\n"] = "product",
              ["help\n"] = "help", ["help pages\n"] = "help-pages" },
    locations = { ["/products/mugs"] = "catalogue-products", ["/shop/mugs"] = "catalogue-shop",
                  ["http://example.com/index.html"] = "canonical-host" },
  },
  ["2"] = {
    requests = {
      { path = "/index.html" },
      { path = "/blog/2019/05/hello" },              -- site rule: redirected
      { path = "/feed" },                            -- site rule: rewritten to feed.xml
      { path = "/setup.exe" },                       -- global rule: refused
      { path = "/help/returns" },                    -- global rule: rewritten (two variants)
    },
    pages = { ["site 2 home\n"] = "home", ["feed\n"] = "feed",
              ["help\n"] = "help", ["help pages\n"] = "help-pages" },
    locations = { ["/posts/2019-05-hello"] = "blog" },
  },
}
local must_see = {
  ["1"] = { "home", "product", "help", "help-pages", "catalogue-products", "catalogue-shop",
            "canonical-host" },
  ["2"] = { "home", "feed", "help", "help-pages", "blog" },
}

local threads = {}
local site_id = nil

function setup(thread)
  table.insert(threads, thread)
end

-- Per thread from here on.
local site, prepared, next_request, first_requests = nil, {}, 0, 0
counts = {}        -- "status.200", "seen.help", "unexpected" -> count
unexpected = {}    -- the first few unexpected answers

function init(args)
  site_id = args[1]
  site = sites[site_id]
  if site == nil then error("soak.lua needs the site, 1 or 2, after --") end
  for i, r in ipairs(site.requests) do
    prepared[i] = wrk.format("GET", r.path, r.headers)
  end
  -- wrk connects all of a thread's connections and sends their first requests before any
  -- answer can come back: the first C/T requests go to distinct connections.
  first_requests = tonumber(args[2]) or error("soak.lua needs the connections per thread")
  counts["site." .. site_id] = 1
end

function request()
  if first_requests > 0 then
    first_requests = first_requests - 1
    return prepared[1]  -- the home page, answered with header lines
  end
  next_request = next_request % #prepared + 1
  return prepared[next_request]
end

local function count(key)
  counts[key] = (counts[key] or 0) + 1
end

local function reject(text)
  count("unexpected")
  if #unexpected < 5 then table.insert(unexpected, text) end
end

function response(status, headers, body)
  count("responses")
  count("status." .. status)
  if status == 200 then
    local kind = site.pages[body]
    if kind then count("seen." .. kind) else reject("200 with body " .. string.format("%q", body)) end
  elseif status == 302 then
    local location = headers["Location"] or headers["location"] or ""
    local kind = site.locations[location]
    if kind then count("seen." .. kind) else reject("302 to " .. location) end
  elseif status == 403 then
    count("seen.refused")
  else
    reject("status " .. status)
  end
end

function done(summary, latency, requests)
  local total, lines = {}, {}
  for _, thread in ipairs(threads) do
    local c = thread:get("counts")
    for key, value in pairs(c) do
      if key:sub(1, 5) == "site." then site_id = key:sub(6)
      else total[key] = (total[key] or 0) + value end
    end
    for _, text in ipairs(thread:get("unexpected")) do table.insert(lines, text) end
  end
  for _, kind in ipairs(must_see[site_id] or {}) do
    total["seen." .. kind] = total["seen." .. kind] or 0
  end
  total["unexpected"] = total["unexpected"] or 0
  total["responses"] = total["responses"] or 0
  total["unchecked"] = summary.requests - total["responses"]
  local e = summary.errors
  local parts = { "soak", "site=" .. tostring(site_id),
                  "errors.connect=" .. e.connect, "errors.read=" .. e.read,
                  "errors.write=" .. e.write, "errors.timeout=" .. e.timeout }
  local keys = {}
  for key in pairs(total) do table.insert(keys, key) end
  table.sort(keys)
  for _, key in ipairs(keys) do table.insert(parts, key .. "=" .. total[key]) end
  io.write(table.concat(parts, " "), "\n")
  for _, text in ipairs(lines) do io.write("unexpected answer: ", text, "\n") end
end
