-- Writes a batch of ban changes in one step, numbers it, appends it to the
-- change log under its number and announces the number.
-- Each change carries the time it was decided; it is applied only when that
-- is later than the decision Redis holds for the address, so a change kept
-- through an outage never undoes a later one written meanwhile.
--
-- KEYS: the ban set (address -> expiry, s), the change counter, the epoch,
--       the decision times (address -> us), the clear mark (us), the change
--       log (a stream whose entry 0-N holds change N).
-- ARGV: channel, epoch if none is set, 'set' or 'clear', how long decision
--       times are kept (us), entries the log keeps, then per change:
--       address, expiry (s; empty lifts the ban) and decision time (us;
--       empty means now).
-- Gives {number of the last change, {address, expiry held or '', ...} for
-- every change refused as older}.

-- Numbers the change, logs it and announces its number: listeners read the
-- change from the log, never from the announcement.
local function record(change)
  local seq = redis.call('INCR', KEYS[2])
  local id = '0-' .. seq
  local added = redis.pcall('XADD', KEYS[6], 'MAXLEN', '~', ARGV[5], id, 'c', change)
  if type(added) == 'table' and added.err then
    -- The log ran ahead of the counter (one of them was deleted): a new log,
    -- whose first entry tells listeners that they missed some.
    redis.call('DEL', KEYS[6])
    redis.call('XADD', KEYS[6], id, 'c', change)
  end
  redis.call('PUBLISH', ARGV[1], seq)
  return seq
end

local t = redis.call('TIME')
local now = tonumber(t[1])
local now_us = now * 1000000 + tonumber(t[2])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
-- A decision older than the kept times or than the last clear is older than
-- whatever Redis holds for any address.
local horizon = now_us - tonumber(ARGV[4])
redis.call('ZREMRANGEBYSCORE', KEYS[4], '-inf', horizon)
local floor = math.max(horizon, tonumber(redis.call('GET', KEYS[5]) or '0'))
redis.call('SET', KEYS[3], ARGV[2], 'NX')

if ARGV[3] == 'clear' then
  local last = redis.call('ZRANGE', KEYS[4], -1, -1, 'WITHSCORES')
  local mark = math.max(now_us, floor, tonumber(last[2] or '0'))
  redis.call('DEL', KEYS[1], KEYS[4])
  redis.call('SET', KEYS[5], string.format('%.0f', mark))
  return {record('clear'), {}}
end

local applied, refused = {}, {}
for i = 6, #ARGV, 3 do
  local ip, expires, decided = ARGV[i], tonumber(ARGV[i + 1]), ARGV[i + 2]
  local held = math.max(floor, tonumber(redis.call('ZSCORE', KEYS[4], ip) or '0'))
  if decided == '' then decided = math.max(now_us, held + 1) else decided = tonumber(decided) end
  if decided <= held then
    refused[#refused + 1] = ip
    refused[#refused + 1] = redis.call('ZSCORE', KEYS[1], ip) or ''
  else
    redis.call('ZADD', KEYS[4], string.format('%.0f', decided), ip)
    if expires and expires > now then
      redis.call('ZADD', KEYS[1], ARGV[i + 1], ip)
      applied[#applied + 1] = {ip, ARGV[i + 1]}
    else
      redis.call('ZREM', KEYS[1], ip)
      applied[#applied + 1] = {ip, cjson.null}
    end
  end
end
if #applied == 0 then
  return {tonumber(redis.call('GET', KEYS[2]) or '0'), refused}
end
return {record(cjson.encode(applied)), refused}
