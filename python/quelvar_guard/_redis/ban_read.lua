-- The changes after number N, read in one step with what they belong to.
-- KEYS: the change counter, the epoch, the change log.
-- ARGV: N, most entries to give.
-- Gives {epoch (false when there is none), number of the last change,
-- {{'0-<number>', {'c', change}}, ...} in order}.
return {redis.call('GET', KEYS[2]), tonumber(redis.call('GET', KEYS[1]) or '0'),
        redis.call('XRANGE', KEYS[3], '(0-' .. ARGV[1], '+', 'COUNT', ARGV[2])}
