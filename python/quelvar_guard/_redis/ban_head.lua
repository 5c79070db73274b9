-- Where a reload starts: the epoch and the number of the last change, read in
-- one step (the set itself is then read in pages, and the changes made
-- meanwhile from the log).
-- KEYS: the ban set, the change counter, the epoch. ARGV: now, epoch if none is set.
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', ARGV[1])
redis.call('SET', KEYS[3], ARGV[2], 'NX')
return {redis.call('GET', KEYS[3]), tonumber(redis.call('GET', KEYS[2]) or '0')}
